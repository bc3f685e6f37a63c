"""ComfyUIManager written in plain Python, the behaviour the module must match.

The tests load it with runpy under the module's name and compare what both do with the
same fakes. The constructor takes its arguments already converted: the native frame
converts and checks them before the body runs.
"""

import time
import logging
import requests
from typing import Optional


class ComfyUIManager:
    def __init__(
        self,
        base_url: str = "http://127.0.0.1:8188",
        timeout: int = 5,
        max_wait_seconds: int = 60,
        poll_interval: float = 2.0,
        logger: Optional[logging.Logger] = None,
    ):
        self.base_url = base_url.rstrip("/")
        self.reboot_api = self.base_url + "/api/manager/reboot"
        self.stats_api = self.base_url + "/api/system_stats"
        self.timeout = timeout
        self.max_wait = max_wait_seconds
        self.poll_interval = float(poll_interval)
        self.flag = "comfyui服务重启 [" + base_url + "]"
        self.logger = logger or logging.getLogger(__name__)

    def trigger_reboot(self) -> None:
        try:
            resp = requests.get(self.reboot_api, timeout=self.timeout)
            status = getattr(resp, "status_code", None)
            if isinstance(status, (int, float)) and status >= 400:
                self.logger.error("%s 重启接口返回异常状态码 %s url=%s", self.flag, status, self.reboot_api)
            else:
                self.logger.debug("%s 调用重启接口 url=%s", self.flag, self.reboot_api)
        except requests.exceptions.ConnectionError as e:
            text = str(e)
            if "Remote end closed connection" in text:
                self.logger.debug("%s 服务接收重启指令，主动断开连接，开始等待恢复 url=%s", self.flag, self.reboot_api)
            else:
                self.logger.debug("%s 连接异常：%s url=%s", self.flag, text, self.reboot_api)
        except Exception as e:
            text = str(e)
            self.logger.debug("%s 发起重启请求异常: %s url=%s", self.flag, text, self.reboot_api)

    def wait_service_ready(self) -> bool:
        start_time = time.time()
        self.logger.debug("%s 开始轮询 %s，最长等待 %ss", self.flag, self.stats_api, self.max_wait)
        while time.time() - start_time < self.max_wait:
            try:
                resp = requests.get(self.stats_api, timeout=self.timeout)
                if resp.status_code == 200:
                    self.logger.debug("%s 服务已恢复正常，状态码200", self.flag)
                    return True
                self.logger.debug("%s 接口返回异常状态码 %s，继续等待...", self.flag, resp.status_code)
            except requests.exceptions.ConnectionError:
                print(f"{self.flag} 服务未启动/连接拒绝，等待中...")
            except Exception as e:
                print(f"{self.flag} 请求异常: {e}")
            time.sleep(self.poll_interval)
        self.logger.error("%s 超时 %ss，服务未恢复", self.flag, self.max_wait)
        return False

    def run_reboot_and_wait(self) -> bool:
        self.trigger_reboot()
        ready = self.wait_service_ready()
        if ready:
            self.logger.debug("%s 重启完成，服务正常可用", self.flag)
        else:
            self.logger.error("%s 重启后超时未恢复", self.flag)
        return ready
