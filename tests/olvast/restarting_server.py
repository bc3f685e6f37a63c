"""A stand-in ComfyUI server on 127.0.0.1 that restarts the way the manager extension does.

GET /api/manager/reboot: the server reads the whole request, closes its listening socket
and then the connection without answering, and re-executes itself (same process id); the
new process waits --restart-delay seconds before it listens again on the same port, so
clients meet a refused connection meanwhile. GET /api/system_stats answers 503 to the
first --warmup-polls requests a process gets, then 200 with a system-stats JSON body.

--reboot exit: the process exits instead of re-executing itself (a server that never
comes back); --reboot missing: the restart endpoint answers 404 (no manager extension);
--reboot stay: the restart endpoint answers --reboot-status (default 200) and the server
goes on serving, never going down.

Every process prints "listening PORT GENERATION" once it listens; --port 0 (the default)
takes an ephemeral port, which the restarted processes keep.
"""

import argparse
import http.server
import json
import os
import platform
import socket
import socketserver
import sys
import time

REBOOT = "/api/manager/reboot"
STATS = "/api/system_stats"


class Server(socketserver.TCPServer):
    allow_reuse_address = True  # the port is bound again while old connections linger

    def __init__(self, options):
        self.options = options
        self.status_requests = 0
        super().__init__(("127.0.0.1", options.port), Handler)

    def restart(self, handler):
        # Closing the listening socket first means a client that sees its connection
        # dropped finds the port refusing connections until the new process listens.
        self.socket.close()
        handler.connection.shutdown(socket.SHUT_RDWR)
        sys.stdout.flush()
        if self.options.reboot == "exit":
            os._exit(0)
        o = self.options
        os.execv(
            sys.executable,
            [sys.executable, os.path.abspath(__file__), f"--port={self.server_address[1]}",
             f"--generation={o.generation + 1}", f"--restart-delay={o.restart_delay}",
             f"--warmup-polls={o.warmup_polls}", f"--reboot={o.reboot}"],
        )  # fmt: skip


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        # A GET carries no body, but a client may still send one: what is left unread
        # when the connection closes makes the kernel reset it instead of closing it.
        length = int(self.headers.get("Content-Length") or 0)
        if length:
            self.rfile.read(length)
        options = self.server.options
        if self.path == REBOOT and options.reboot == "stay":
            self.send_json({}, options.reboot_status)
        elif self.path == REBOOT and options.reboot != "missing":
            self.server.restart(self)
        elif self.path == STATS:
            self.server.status_requests += 1
            if self.server.status_requests <= options.warmup_polls:
                self.send_error(503, "starting")
            else:
                self.send_json(system_stats(options.generation))
        else:
            self.send_error(404)

    def send_json(self, value, status=200):
        body = json.dumps(value).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format, *args):  # noqa: A002 - the base class's signature
        pass


def system_stats(generation):
    return {
        "system": {
            "os": os.name,
            "ram_total": 0,
            "ram_free": 0,
            "comfyui_version": f"test-{generation}",
            "python_version": platform.python_version(),
            "pytorch_version": "none",
            "embedded_python": False,
            "argv": ["main.py"],
        },
        "devices": [
            {
                "name": "cpu",
                "type": "cpu",
                "index": None,
                "vram_total": 0,
                "vram_free": 0,
                "torch_vram_total": 0,
                "torch_vram_free": 0,
            }
        ],
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--generation", type=int, default=0)
    parser.add_argument("--restart-delay", type=float, default=0.3)
    parser.add_argument("--warmup-polls", type=int, default=0)
    parser.add_argument("--reboot", choices=["restart", "exit", "missing", "stay"], default="restart")
    parser.add_argument("--reboot-status", type=int, default=200)
    options = parser.parse_args()
    if options.generation > 0:
        time.sleep(options.restart_delay)
    with Server(options) as server:
        print("listening", server.server_address[1], options.generation, flush=True)
        server.serve_forever()


if __name__ == "__main__":
    main()
