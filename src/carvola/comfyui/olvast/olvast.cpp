// carvola.comfyui.olvast: ComfyUIManager, which restarts a ComfyUI server over its HTTP
// API and polls the server's status endpoint until it answers again or a budget is spent.
#include "attributes.hpp"
#include "calls.hpp"
#include "handling.hpp"
#include "module.hpp"

#include <array>
#include <concepts>
#include <cstddef>
#include <tuple>

namespace carvola::olvast {
namespace {

GlobalAttribute requests_exceptions{"requests"_n, "exceptions"_n}, requests_get{"requests"_n, "get"_n};
GlobalAttribute logging_get_logger{"logging"_n, "getLogger"_n};
GlobalAttribute time_time{"time"_n, "time"_n}, time_sleep{"time"_n, "sleep"_n};

// ----- except clauses -----

// except requests.exceptions.ConnectionError as e: handler(1, e)
// except Exception as e: handler(2, e)
// for the exception a failed try body raised; one that neither clause names goes on.
// false with an error set.
template <typename Handler>
bool except_clauses(Handler handler) {
    Caught caught;
    Ref exceptions = requests_exceptions.get();
    Ref connection_error = exceptions ? get_attr(exceptions.get(), "ConnectionError"_n) : Ref{};
    int clause = connection_error ? caught.matches(connection_error.get()) : -1;
    Ref exception = clause == 0 ? global("Exception"_n) : Ref{};
    if (clause == 0) clause = exception ? 2 * caught.matches(exception.get()) : -1;
    if (clause == 0) caught.reraise();
    return clause > 0 && handler(clause, caught.exception());
}

// ----- requests, logger, print -----

// requests.get(self.<url>, timeout=self.timeout)
Ref http_get(PyObject *self, const Name &url) {
    Ref get = requests_get.get();
    Ref target = get ? get_attr(self, url) : Ref{};
    Ref timeout = target ? get_attr(self, "timeout"_n) : Ref{};
    return timeout ? call_kw(get.get(), name_tuple<"timeout">, target.get(), timeout.get()) : Ref{};
}

// value <op> number: 1, 0, or -1 with an error set.
int compare(PyObject *value, long number, int op) {
    Ref other = Ref::steal(PyLong_FromLong(number));
    return other ? PyObject_RichCompareBool(value, other.get(), op) : -1;
}

// One argument of a call as it is evaluated: self.<attribute>, a value at hand, or what
// `read` gives at that point (another object's attribute, say).
Ref argument(PyObject *self, const Name &attribute) { return get_attr(self, attribute); }
Ref argument(PyObject *, PyObject *value) { return Ref::borrow(value); }
template <std::invocable F>
Ref argument(PyObject *, const F &read) {
    return read();
}

// callee(*args), the callee found first: then the arguments in order, as Python evaluates
// a call, stopping at the first that fails.
template <typename... A>
Ref call_with(PyObject *self, const Ref &callee, const A &...args) {
    std::array<Ref, sizeof...(A)> values;
    std::size_t n = 0;  // values[n] = the next argument, left to right until one fails
    const bool ok = callee && ((values[n] = argument(self, args), values[n++]) && ...);
    auto make_call = [&](const auto &...value) { return call(callee.get(), value.get()...); };
    return ok ? std::apply(make_call, values) : Ref{};
}

// self.logger.<level>(format, self.flag, *args): every line starts with the flag, and the
// logger does the %-formatting.
template <typename... A>
bool log(PyObject *self, const Name &level, const Text &format, const A &...args) {
    Ref logger = get_attr(self, "logger"_n);
    Ref method = logger ? get_attr(logger.get(), level) : Ref{};
    return static_cast<bool>(call_with(self, method, format, "flag"_n, args...));
}

// print(f"{self.flag}{text}{exception}")
bool print_line(PyObject *self, const Text &text, PyObject *exception) {
    Ref print = global("print"_n);
    Ref flag = print ? get_attr(self, "flag"_n) : Ref{};
    Ref head = flag ? Ref::steal(PyObject_Format(flag.get(), nullptr)) : Ref{};
    Ref tail = head ? Ref::steal(PyObject_Format(exception, nullptr)) : Ref{};
    Ref line = tail ? Ref::steal(PyUnicode_FromFormat("%U%U%U", head.get(), text.get(), tail.get())) : Ref{};
    return line && call(print.get(), line.get());
}

// ----- __init__ -----

// self.<name> = value, of a value that is null when making it failed.
bool set_attr(PyObject *self, const Name &name, const Ref &value) {
    return value && set_attr(self, name, value.get());
}

// self.<name> = self.base_url + path
bool set_endpoint(PyObject *self, const Name &name, const Text &path) {
    Ref base = get_attr(self, "base_url"_n);
    return set_attr(self, name, base ? Ref::steal(PyNumber_Add(base.get(), path)) : Ref{});
}

// logger or logging.getLogger(__name__)
Ref logger_or_module_logger(PyObject *logger) {
    const int truthy = truth(logger);
    if (truthy != 0) return truthy > 0 ? Ref::borrow(logger) : Ref{};
    return call_with(logger, logging_get_logger.get(), [] { return global("__name__"_n); });
}

Ref manager_init(PyObject *self, PyObject *base_url, PyObject *timeout, PyObject *max_wait_seconds,
                 double poll_interval, PyObject *logger) {
    if (!set_attr(self, "base_url"_n, call_method(base_url, "rstrip"_n, "/"_t.get())) ||
        !set_endpoint(self, "reboot_api"_n, "/api/manager/reboot"_t) ||
        !set_endpoint(self, "stats_api"_n, "/api/system_stats"_t))
        return {};
    if (!set_attr(self, "timeout"_n, timeout) || !set_attr(self, "max_wait"_n, max_wait_seconds)) return {};
    if (!set_attr(self, "poll_interval"_n, Ref::steal(PyFloat_FromDouble(poll_interval)))) return {};
    Ref flag = Ref::steal(PyUnicode_FromFormat("%U%U]", "comfyui服务重启 ["_t.get(), base_url));
    if (!set_attr(self, "flag"_n, flag)) return {};
    return set_attr(self, "logger"_n, logger_or_module_logger(logger)) ? none() : Ref{};
}

constexpr Function init_contract{
    .name = "__init__",
    .params = {{"self"},
               {"base_url", Conv::str, "str", dflt::text<"http://127.0.0.1:8188">},
               {"timeout", Conv::integer, "int", dflt::integer<5>},
               {"max_wait_seconds", Conv::integer, "int", dflt::integer<60>},
               {"poll_interval", Conv::real, "float", dflt::real<2>},
               {"logger", Conv::object, "Optional[logging.Logger]", dflt::none}},
    .body = native<manager_init>(),
};

// ----- trigger_reboot -----

// The try body: the request, then the line that reports it.
bool send_reboot(PyObject *self) {
    Ref response = http_get(self, "reboot_api"_n);
    if (!response) return false;
    // status = getattr(resp, "status_code", None)
    Ref status = get_attr(response.get(), "status_code"_n);
    if (!status && !PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();  // an AttributeError gives the default
    // isinstance(status, (int, float)) and status >= 400
    const bool number = status && (PyLong_Check(status.get()) || PyFloat_Check(status.get()));
    const int refused = number ? compare(status.get(), 400, Py_GE) : 0;
    if (refused < 0) return false;
    if (refused)
        return log(self, "error"_n, "%s 重启接口返回异常状态码 %s url=%s"_t, status.get(), "reboot_api"_n);
    return log(self, "debug"_n, "%s 调用重启接口 url=%s"_t, "reboot_api"_n);
}

Ref trigger_reboot(PyObject *self) {
    auto handled = [&](int clause, PyObject *e) {
        Ref text = Ref::steal(PyObject_Str(e));
        if (!text) return false;
        // A server that restarts drops the connection before it answers.
        const int closed = clause == 1 ? PySequence_Contains(text.get(), "Remote end closed connection"_t) : 0;
        if (closed != 0)
            return closed > 0 && log(self, "debug"_n, "%s 服务接收重启指令，主动断开连接，开始等待恢复 url=%s"_t, "reboot_api"_n);
        const Text &format = clause == 1 ? "%s 连接异常：%s url=%s"_t : "%s 发起重启请求异常: %s url=%s"_t;
        return log(self, "debug"_n, format, text.get(), "reboot_api"_n);
    };
    return send_reboot(self) || except_clauses(handled) ? none() : Ref{};
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
    Ref time = call_with(self, time_time.get());  // time.time()
    Ref elapsed = time ? Ref::steal(PyNumber_Subtract(time.get(), start_time)) : Ref{};
    Ref budget = elapsed ? get_attr(self, "max_wait"_n) : Ref{};
    return budget ? PyObject_RichCompareBool(elapsed.get(), budget.get(), Py_LT) : -1;
}

// One round's try statement: 1 when the status endpoint answered 200, 0 when it answered
// something else or the except clauses handled a failure, -1 with an error set.
int poll_round(PyObject *self) {
    Ref response = http_get(self, "stats_api"_n);
    Ref status = response ? get_attr(response.get(), "status_code"_n) : Ref{};
    int ready = status ? compare(status.get(), 200, Py_EQ) : -1;
    if (ready > 0 && !log(self, "debug"_n, "%s 服务已恢复正常，状态码200"_t)) ready = -1;
    auto status_code = [&] { return get_attr(response.get(), "status_code"_n); };  // read again for the line
    if (ready == 0 && !log(self, "debug"_n, "%s 接口返回异常状态码 %s，继续等待..."_t, status_code)) ready = -1;
    if (ready >= 0) return ready;
    auto printed = [&](int clause, PyObject *e) {
        if (clause == 1) return print_line(self, " 服务未启动/连接拒绝，等待中..."_t, ""_t);
        return print_line(self, " 请求异常: "_t, e);
    };
    return except_clauses(printed) ? 0 : -1;
}

Ref wait_service_ready(PyObject *self) {
    Ref start_time = call_with(self, time_time.get());  // time.time()
    if (!start_time || !log(self, "debug"_n, "%s 开始轮询 %s，最长等待 %ss"_t, "stats_api"_n, "max_wait"_n)) return {};
    for (int within; (within = within_budget(self, start_time.get())) != 0;) {
        const int ready = within < 0 ? -1 : poll_round(self);
        if (ready != 0) return ready > 0 ? Ref::borrow(Py_True) : Ref{};
        // time.sleep(self.poll_interval)
        if (!call_with(self, time_sleep.get(), "poll_interval"_n)) return {};
    }
    return log(self, "error"_n, "%s 超时 %ss，服务未恢复"_t, "max_wait"_n) ? Ref::borrow(Py_False) : Ref{};
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
    if (!call_method(self, "trigger_reboot"_n)) return {};
    Ref ready = call_method(self, "wait_service_ready"_n);
    const int truthy = ready ? truth(ready.get()) : -1;
    if (truthy < 0) return {};
    const bool logged = truthy ? log(self, "debug"_n, "%s 重启完成，服务正常可用"_t)
                               : log(self, "error"_n, "%s 重启后超时未恢复"_t);
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
    return m.import("time") && m.import("logging") && m.import("requests") && m.import_from<"Optional">("typing") &&
           m.add(comfyui_manager);
}

constexpr ModuleInfo olvast{"carvola.comfyui.olvast", execute};

}  // namespace
}  // namespace carvola::olvast

PyMODINIT_FUNC PyInit_olvast() { return carvola::module_init(carvola::olvast::olvast); }
