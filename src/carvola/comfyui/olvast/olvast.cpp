// carvola.comfyui.olvast: ComfyUIManager, which restarts a ComfyUI server over its HTTP
// API and polls the server's status endpoint until it answers again or a budget is spent.
#include "attributes.hpp"
#include "calls.hpp"
#include "handling.hpp"
#include "module.hpp"

#include <cstddef>

namespace carvola::olvast {
namespace {

Name n_time{"time"};
Name n_sleep{"sleep"};
Name n_logging{"logging"};
Name n_get_logger{"getLogger"};
Name n_requests{"requests"};
Name n_get{"get"};
Name n_exceptions{"exceptions"};
Name n_connection_error{"ConnectionError"};
Name n_exception{"Exception"};
Name n_print{"print"};
Name n_module_name{"__name__"};
Name n_debug{"debug"};
Name n_error{"error"};
Name n_status_code{"status_code"};
Name n_base_url{"base_url"};
Name n_reboot_api{"reboot_api"};
Name n_stats_api{"stats_api"};
Name n_timeout{"timeout"};
Name n_max_wait{"max_wait"};
Name n_poll_interval{"poll_interval"};
Name n_flag{"flag"};
Name n_logger{"logger"};
Name n_trigger_reboot{"trigger_reboot"};
Name n_wait_service_ready{"wait_service_ready"};

// The texts the manager writes.
Text reboot_path{"/api/manager/reboot"};
Text stats_path{"/api/system_stats"};
Text flag_head{"comfyui服务重启 ["};
Text flag_tail{"]"};
Text remote_closed{"Remote end closed connection"};
Text called_reboot{"%s 调用重启接口 url=%s"};
Text reboot_refused{"%s 重启接口返回异常状态码 %s url=%s"};
Text reboot_accepted{"%s 服务接收重启指令，主动断开连接，开始等待恢复 url=%s"};
Text reboot_connection_failed{"%s 连接异常：%s url=%s"};
Text reboot_failed{"%s 发起重启请求异常: %s url=%s"};
Text polling_started{"%s 开始轮询 %s，最长等待 %ss"};
Text service_ready{"%s 服务已恢复正常，状态码200"};
Text service_not_ready{"%s 接口返回异常状态码 %s，继续等待..."};
Text polling_timed_out{"%s 超时 %ss，服务未恢复"};
Text connection_refused_line{" 服务未启动/连接拒绝，等待中..."};
Text request_failed_line{" 请求异常: "};
Text restart_done{"%s 重启完成，服务正常可用"};
Text restart_timed_out{"%s 重启后超时未恢复"};

AttributeCache time_time_cache;
AttributeCache time_sleep_cache;
AttributeCache logging_get_logger_cache;
AttributeCache requests_get_cache;
AttributeCache requests_exceptions_cache;
AttributeCache connection_error_cache;

NameTuple timeout_keyword{n_timeout};  // the keyword names of every request

// ----- except clauses -----

// requests.exceptions.ConnectionError, looked up when an except clause needs it.
Ref connection_error_class() {
    Ref requests = global(n_requests);
    if (!requests) return {};
    Ref exceptions = module_attribute(requests.get(), n_exceptions, requests_exceptions_cache);
    if (!exceptions) return {};
    return module_attribute(exceptions.get(), n_connection_error, connection_error_cache);
}

// The two clauses every request is wrapped in: 1 for `except ConnectionError`, 2 for
// `except Exception`, 0 when neither matches, -1 with an error set.
int classify(const Caught &caught) {
    Ref connection_error = connection_error_class();
    if (!connection_error) return -1;
    const int is_connection_error = caught.matches(connection_error.get());
    if (is_connection_error != 0) return is_connection_error;
    Ref exception = global(n_exception);
    if (!exception) return -1;
    const int is_exception = caught.matches(exception.get());
    return is_exception > 0 ? 2 : is_exception;
}

// ----- requests, time, logger, print -----

// requests.get(self.<url>, timeout=self.timeout)
Ref http_get(PyObject *self, const Name &url) {
    Ref requests = global(n_requests);
    if (!requests) return {};
    Ref get = module_attribute(requests.get(), n_get, requests_get_cache);
    if (!get) return {};
    Ref target = get_attr(self, url);
    if (!target) return {};
    Ref timeout = get_attr(self, n_timeout);
    if (!timeout) return {};
    return call_kw(get.get(), timeout_keyword, target.get(), timeout.get());
}

// time.<fn>(args...)
template <typename... A>
Ref call_time(const Name &fn, AttributeCache &cache, const A &...args) {
    Ref time = global(n_time);
    if (!time) return {};
    Ref callable = module_attribute(time.get(), fn, cache);
    if (!callable) return {};
    return call(callable.get(), args...);
}

// One argument of a log call: an attribute of the instance (or of `owner`), read when
// the call's arguments are evaluated, or a value at hand.
struct LogArg {
    LogArg(const Name &attribute) : attribute(&attribute) {}
    LogArg(PyObject *owner, const Name &attribute) : owner(owner), attribute(&attribute) {}
    LogArg(PyObject *value) : value(value) {}
    PyObject *owner = nullptr;
    const Name *attribute = nullptr;
    PyObject *value = nullptr;
};

// self.logger.<level>(format, *args): the method first, then the arguments in order, as
// Python evaluates the call. The logger does the %-formatting.
template <typename... A>
bool log(PyObject *self, const Name &level, const Text &format, const A &...arg) {
    constexpr std::size_t n = sizeof...(A);
    Ref logger = get_attr(self, n_logger);
    if (!logger) return false;
    Ref method = get_attr(logger.get(), level);
    if (!method) return false;
    const LogArg args[] = {LogArg(arg)...};
    Ref read[n];
    PyObject *argv[n + 1] = {format.get()};
    for (std::size_t i = 0; i < n; ++i) {
        if (args[i].attribute != nullptr) {
            read[i] = get_attr(args[i].owner != nullptr ? args[i].owner : self, *args[i].attribute);
            if (!read[i]) return false;
        }
        argv[i + 1] = args[i].attribute != nullptr ? read[i].get() : args[i].value;
    }
    return static_cast<bool>(Ref::steal(PyObject_Vectorcall(method.get(), argv, n + 1, nullptr)));
}

// print(f"{self.flag}{text}{exception}"), with the exception part only when given.
bool print_line(PyObject *self, const Text &text, PyObject *exception) {
    Ref print = global(n_print);
    if (!print) return false;
    Ref flag = get_attr(self, n_flag);
    if (!flag) return false;
    Ref line = Ref::steal(PyObject_Format(flag.get(), nullptr));
    if (line) line = Ref::steal(PyUnicode_Concat(line.get(), text));
    if (line && exception != nullptr) {
        Ref shown = Ref::steal(PyObject_Format(exception, nullptr));
        line = shown ? Ref::steal(PyUnicode_Concat(line.get(), shown.get())) : Ref{};
    }
    if (!line) return false;
    return static_cast<bool>(call(print.get(), line.get()));
}

// ----- __init__ -----

// str.rstrip("/"); an unchanged str comes back as the same object, as rstrip gives it.
Ref without_trailing_slashes(PyObject *text) {
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    Py_ssize_t end = PyUnicode_GET_LENGTH(text);
    while (end > 0 && PyUnicode_READ(kind, data, end - 1) == '/') --end;
    return Ref::steal(PyUnicode_Substring(text, 0, end));
}

// self.<name> = self.base_url + path
bool set_endpoint(PyObject *self, const Name &name, const Text &path) {
    Ref base = get_attr(self, n_base_url);
    if (!base) return false;
    Ref url = Ref::steal(PyNumber_Add(base.get(), path));
    return url && set_attr(self, name, url.get());
}

// logger or logging.getLogger(__name__)
Ref logger_or_module_logger(PyObject *logger) {
    const int truthy = truth(logger);
    if (truthy != 0) return truthy > 0 ? Ref::borrow(logger) : Ref{};
    Ref logging = global(n_logging);
    if (!logging) return {};
    Ref get_logger = module_attribute(logging.get(), n_get_logger, logging_get_logger_cache);
    if (!get_logger) return {};
    Ref name = global(n_module_name);
    if (!name) return {};
    return call(get_logger.get(), name.get());
}

Ref manager_init(PyObject *self, PyObject *base_url, PyObject *timeout, PyObject *max_wait_seconds,
                 double poll_interval, PyObject *logger) {
    Ref stripped = without_trailing_slashes(base_url);
    if (!stripped || !set_attr(self, n_base_url, stripped.get())) return {};
    if (!set_endpoint(self, n_reboot_api, reboot_path) || !set_endpoint(self, n_stats_api, stats_path)) return {};
    Ref interval = Ref::steal(PyFloat_FromDouble(poll_interval));
    if (!interval || !set_attr(self, n_timeout, timeout) || !set_attr(self, n_max_wait, max_wait_seconds) ||
        !set_attr(self, n_poll_interval, interval.get())) {
        return {};
    }
    Ref flag = Ref::steal(PyUnicode_Concat(flag_head, base_url));
    if (flag) flag = Ref::steal(PyUnicode_Concat(flag.get(), flag_tail));
    if (!flag || !set_attr(self, n_flag, flag.get())) return {};
    Ref chosen = logger_or_module_logger(logger);
    if (!chosen || !set_attr(self, n_logger, chosen.get())) return {};
    return none();
}

constexpr Function init_contract{
    .name = "__init__",
    .params = {{"self"},
               {"base_url", Conv::str, "str", dflt::text("http://127.0.0.1:8188")},
               {"timeout", Conv::integer, "int", dflt::integer(5)},
               {"max_wait_seconds", Conv::integer, "int", dflt::integer(60)},
               {"poll_interval", Conv::real, "float", dflt::real(2.0)},
               {"logger", Conv::object, "Optional[logging.Logger]", dflt::none}},
    .body = native<manager_init>(),
};

// ----- trigger_reboot -----

// 1 when the restart endpoint refused the request: its status code is a number of 400 or
// more. A response without a status code, or with one that is not a number, is taken as
// delivered, as it always was.
int refused_status(PyObject *response, Ref &status) {
    status = get_attr(response, n_status_code);
    if (!status) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!PyLong_Check(status.get()) && !PyFloat_Check(status.get())) return 0;
    Ref least = Ref::steal(PyLong_FromLong(400));
    if (!least) return -1;
    return PyObject_RichCompareBool(status.get(), least.get(), Py_GE);
}

// The try body: the request, then the line that reports it.
bool send_reboot(PyObject *self) {
    Ref response = http_get(self, n_reboot_api);
    if (!response) return false;
    Ref status;
    const int refused = refused_status(response.get(), status);
    if (refused < 0) return false;
    if (refused) return log(self, n_error, reboot_refused, n_flag, status.get(), n_reboot_api);
    return log(self, n_debug, called_reboot, n_flag, n_reboot_api);
}

Ref trigger_reboot(PyObject *self) {
    if (send_reboot(self)) return none();
    Caught caught;
    const int clause = classify(caught);
    if (clause < 0) return {};
    if (clause == 0) return caught.reraise();
    Ref text = Ref::steal(PyObject_Str(caught.exception()));
    if (!text) return {};
    bool logged;
    if (clause == 1) {
        // A server that restarts drops the connection before it answers.
        const int closed = PySequence_Contains(text.get(), remote_closed);
        if (closed < 0) return {};
        logged = closed ? log(self, n_debug, reboot_accepted, n_flag, n_reboot_api)
                        : log(self, n_debug, reboot_connection_failed, n_flag, text.get(), n_reboot_api);
    } else {
        logged = log(self, n_debug, reboot_failed, n_flag, text.get(), n_reboot_api);
    }
    return logged ? none() : Ref{};
}

constexpr Function trigger_reboot_contract{
    .name = "trigger_reboot",
    .params = {{"self"}},
    .return_annotation = "None",
    .doc = "发起重启请求，无返回值；远程断开视为下发成功",
    .body = native<trigger_reboot>(),
};

// ----- wait_service_ready -----

// time.time() - start_time < self.max_wait: 1, 0, or -1 with an error set.
int within_budget(PyObject *self, PyObject *start_time) {
    Ref now = call_time(n_time, time_time_cache);
    if (!now) return -1;
    Ref elapsed = Ref::steal(PyNumber_Subtract(now.get(), start_time));
    if (!elapsed) return -1;
    Ref budget = get_attr(self, n_max_wait);
    if (!budget) return -1;
    return PyObject_RichCompareBool(elapsed.get(), budget.get(), Py_LT);
}

// The try body of one round: 1 when the status endpoint answered 200, 0 when it answered
// something else, -1 with the exception set.
int poll_status(PyObject *self) {
    Ref response = http_get(self, n_stats_api);
    if (!response) return -1;
    Ref status = get_attr(response.get(), n_status_code);
    if (!status) return -1;
    Ref ok = Ref::steal(PyLong_FromLong(200));
    if (!ok) return -1;
    Ref equal = Ref::steal(PyObject_RichCompare(status.get(), ok.get(), Py_EQ));
    if (!equal) return -1;
    const int ready = truth(equal.get());
    if (ready < 0) return -1;
    if (ready) return log(self, n_debug, service_ready, n_flag) ? 1 : -1;
    return log(self, n_debug, service_not_ready, n_flag, LogArg(response.get(), n_status_code)) ? 0 : -1;
}

// One round with its except clauses: 1 ready, 0 not yet, -1 with an error set.
int poll_round(PyObject *self) {
    const int ready = poll_status(self);
    if (ready >= 0) return ready;
    Caught caught;
    const int clause = classify(caught);
    if (clause < 0) return -1;
    if (clause == 0) {
        caught.reraise();
        return -1;
    }
    const bool printed = clause == 1 ? print_line(self, connection_refused_line, nullptr)
                                     : print_line(self, request_failed_line, caught.exception());
    return printed ? 0 : -1;
}

Ref wait_service_ready(PyObject *self) {
    Ref start_time = call_time(n_time, time_time_cache);
    if (!start_time) return {};
    if (!log(self, n_debug, polling_started, n_flag, n_stats_api, n_max_wait)) return {};
    for (;;) {
        const int within = within_budget(self, start_time.get());
        if (within < 0) return {};
        if (!within) break;
        const int ready = poll_round(self);
        if (ready < 0) return {};
        if (ready) return Ref::borrow(Py_True);
        Ref interval = get_attr(self, n_poll_interval);
        if (!interval) return {};
        if (!call_time(n_sleep, time_sleep_cache, interval.get())) return {};
    }
    if (!log(self, n_error, polling_timed_out, n_flag, n_max_wait)) return {};
    return Ref::borrow(Py_False);
}

constexpr Function wait_service_ready_contract{
    .name = "wait_service_ready",
    .params = {{"self"}},
    .return_annotation = "bool",
    .doc = "轮询检测服务是否恢复，60秒超时",
    .body = native<wait_service_ready>(),
};

// ----- run_reboot_and_wait -----

Ref run_reboot_and_wait(PyObject *self) {
    // Through the instance, so that a subclass's methods are the ones called.
    if (!call_method(self, n_trigger_reboot)) return {};
    Ref ready = call_method(self, n_wait_service_ready);
    if (!ready) return {};
    const int truthy = truth(ready.get());
    if (truthy < 0) return {};
    const bool logged =
        truthy ? log(self, n_debug, restart_done, n_flag) : log(self, n_error, restart_timed_out, n_flag);
    return logged ? ready : Ref{};
}

constexpr Function run_reboot_and_wait_contract{
    .name = "run_reboot_and_wait",
    .params = {{"self"}},
    .return_annotation = "bool",
    .doc = "完整流程：发起重启 + 等待恢复",
    .body = native<run_reboot_and_wait>(),
};

// ----- module -----

constexpr Member manager_namespace[] = {
    def(init_contract),
    def(trigger_reboot_contract),
    def(wait_service_ready_contract),
    def(run_reboot_and_wait_contract),
};

constexpr Class comfyui_manager = make_class("ComfyUIManager",
                                             "\n"
                                             "    ComfyUI 服务管理工具\n"
                                             "\n"
                                             "    功能：\n"
                                             "    - 调用 reboot 接口发起服务重启\n"
                                             "    - 轮询 system_stats 接口等待服务恢复\n"
                                             "    - 完整流程：重启 + 等待恢复\n"
                                             "    ",
                                             manager_namespace);

bool execute(Module &m) noexcept {
    return m.import("time") && m.import("logging") && m.import("requests") && m.import_from("typing", {"Optional"}) &&
           m.add(comfyui_manager);
}

constexpr ModuleInfo olvast{"carvola.comfyui.olvast", execute};

}  // namespace
}  // namespace carvola::olvast

PyMODINIT_FUNC PyInit_olvast() { return carvola::module_init(carvola::olvast::olvast); }
