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
Name n_rstrip{"rstrip"};
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
Text slash{"/"};
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

NameTuple timeout_keyword{n_timeout};  // the keyword names of every request

GlobalAttribute requests_exceptions{n_requests, n_exceptions}, requests_get{n_requests, n_get};
GlobalAttribute logging_get_logger{n_logging, n_get_logger};
GlobalAttribute time_time{n_time, n_time}, time_sleep{n_time, n_sleep};

// ----- except clauses -----

// except requests.exceptions.ConnectionError as e: handler(1, e)
// except Exception as e: handler(2, e)
// for the exception a failed try body raised; one that neither clause names goes on.
// false with an error set.
template <typename Handler>
bool except_clauses(Handler handler) {
    Caught caught;
    Ref exceptions = requests_exceptions.get();
    Ref connection_error = exceptions ? get_attr(exceptions.get(), n_connection_error) : Ref{};
    int clause = connection_error ? caught.matches(connection_error.get()) : -1;
    if (clause == 0) {
        Ref exception = global(n_exception);
        clause = exception ? 2 * caught.matches(exception.get()) : -1;
    }
    if (clause == 0) caught.reraise();
    return clause > 0 && handler(clause, caught.exception());
}

// ----- requests, logger, print -----

// requests.get(self.<url>, timeout=self.timeout)
Ref http_get(PyObject *self, const Name &url) {
    Ref get = requests_get.get();
    Ref target = get ? get_attr(self, url) : Ref{};
    Ref timeout = target ? get_attr(self, n_timeout) : Ref{};
    return timeout ? call_kw(get.get(), timeout_keyword, target.get(), timeout.get()) : Ref{};
}

// A log call's argument owner.<attribute>, where the argument is not an attribute of self.
struct Read {
    PyObject *owner;
    const Name &attribute;
};

// One argument of a log call as it is evaluated: self.<attribute>, another object's
// attribute, or a value at hand.
Ref argument(PyObject *self, const Name &attribute) { return get_attr(self, attribute); }
Ref argument(PyObject *, const Read &read) { return get_attr(read.owner, read.attribute); }
Ref argument(PyObject *, PyObject *value) { return Ref::borrow(value); }

// self.logger.<level>(format, *args): the method first, then the arguments in order, as
// Python evaluates the call, stopping at the first that fails. The logger does the
// %-formatting.
template <typename... A>
bool log(PyObject *self, const Name &level, const Text &format, const A &...args) {
    Ref logger = get_attr(self, n_logger);
    Ref method = logger ? get_attr(logger.get(), level) : Ref{};
    bool ok = static_cast<bool>(method);
    auto evaluate = [&](const auto &arg) {
        Ref value = ok ? argument(self, arg) : Ref{};
        ok = static_cast<bool>(value);
        return value;
    };
    const Ref values[] = {Ref::borrow(format.get()), evaluate(args)...};  // braces evaluate left to right
    if (!ok) return false;
    PyObject *argv[sizeof...(A) + 1];
    for (std::size_t i = 0; i <= sizeof...(A); ++i) argv[i] = values[i].get();
    return static_cast<bool>(Ref::steal(PyObject_Vectorcall(method.get(), argv, sizeof...(A) + 1, nullptr)));
}

// print(f"{self.flag}{text}{exception}"), with the exception part only when given.
bool print_line(PyObject *self, const Text &text, PyObject *exception) {
    Ref print = global(n_print);
    Ref flag = print ? get_attr(self, n_flag) : Ref{};
    Ref line = flag ? Ref::steal(PyObject_Format(flag.get(), nullptr)) : Ref{};
    if (line) line = Ref::steal(PyUnicode_Concat(line.get(), text));
    if (line && exception != nullptr) {
        Ref shown = Ref::steal(PyObject_Format(exception, nullptr));
        line = shown ? Ref::steal(PyUnicode_Concat(line.get(), shown.get())) : Ref{};
    }
    return line && call(print.get(), line.get());
}

// ----- __init__ -----

// self.<name> = self.base_url + path
bool set_endpoint(PyObject *self, const Name &name, const Text &path) {
    Ref base = get_attr(self, n_base_url);
    Ref url = base ? Ref::steal(PyNumber_Add(base.get(), path)) : Ref{};
    return url && set_attr(self, name, url.get());
}

// logger or logging.getLogger(__name__)
Ref logger_or_module_logger(PyObject *logger) {
    const int truthy = truth(logger);
    if (truthy != 0) return truthy > 0 ? Ref::borrow(logger) : Ref{};
    Ref get_logger = logging_get_logger.get();
    Ref name = get_logger ? global(n_module_name) : Ref{};
    return name ? call(get_logger.get(), name.get()) : Ref{};
}

Ref manager_init(PyObject *self, PyObject *base_url, PyObject *timeout, PyObject *max_wait_seconds,
                 double poll_interval, PyObject *logger) {
    Ref stripped = call_method(base_url, n_rstrip, slash.get());
    if (!stripped || !set_attr(self, n_base_url, stripped.get())) return {};
    if (!set_endpoint(self, n_reboot_api, reboot_path) || !set_endpoint(self, n_stats_api, stats_path)) return {};
    if (!set_attr(self, n_timeout, timeout) || !set_attr(self, n_max_wait, max_wait_seconds)) return {};
    Ref interval = Ref::steal(PyFloat_FromDouble(poll_interval));
    if (!interval || !set_attr(self, n_poll_interval, interval.get())) return {};
    Ref flag = Ref::steal(PyUnicode_Concat(flag_head, base_url));
    if (flag) flag = Ref::steal(PyUnicode_Concat(flag.get(), flag_tail));
    if (!flag || !set_attr(self, n_flag, flag.get())) return {};
    Ref chosen = logger_or_module_logger(logger);
    return chosen && set_attr(self, n_logger, chosen.get()) ? none() : Ref{};
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

// The try body: the request, then the line that reports it.
bool send_reboot(PyObject *self) {
    Ref response = http_get(self, n_reboot_api);
    if (!response) return false;
    // status = getattr(resp, "status_code", None)
    Ref status = get_attr(response.get(), n_status_code);
    if (!status) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
    }
    // isinstance(status, (int, float)) and status >= 400
    int refused = 0;
    if (status && (PyLong_Check(status.get()) || PyFloat_Check(status.get()))) {
        Ref least = Ref::steal(PyLong_FromLong(400));
        refused = least ? PyObject_RichCompareBool(status.get(), least.get(), Py_GE) : -1;
    }
    if (refused < 0) return false;
    if (refused) return log(self, n_error, reboot_refused, n_flag, status.get(), n_reboot_api);
    return log(self, n_debug, called_reboot, n_flag, n_reboot_api);
}

Ref trigger_reboot(PyObject *self) {
    const bool done = send_reboot(self) || except_clauses([&](int clause, PyObject *e) {
        Ref text = Ref::steal(PyObject_Str(e));
        // A server that restarts drops the connection before it answers.
        const int closed = !text ? -1 : clause == 1 ? PySequence_Contains(text.get(), remote_closed) : 0;
        if (closed != 0) return closed > 0 && log(self, n_debug, reboot_accepted, n_flag, n_reboot_api);
        const Text &format = clause == 1 ? reboot_connection_failed : reboot_failed;
        return log(self, n_debug, format, n_flag, text.get(), n_reboot_api);
    });
    return done ? none() : Ref{};
}

constexpr Function trigger_reboot_contract{
    .name = "trigger_reboot",
    .params = {{"self"}},
    .return_annotation = "None",
    .doc = "发起重启请求，无返回值；远程断开视为下发成功",
    .body = native<trigger_reboot>(),
};

// ----- wait_service_ready -----

// time.time()
Ref now() {
    Ref time = time_time.get();
    return time ? call(time.get()) : Ref{};
}

// time.time() - start_time < self.max_wait: 1, 0, or -1 with an error set.
int within_budget(PyObject *self, PyObject *start_time) {
    Ref time = now();
    Ref elapsed = time ? Ref::steal(PyNumber_Subtract(time.get(), start_time)) : Ref{};
    Ref budget = elapsed ? get_attr(self, n_max_wait) : Ref{};
    return budget ? PyObject_RichCompareBool(elapsed.get(), budget.get(), Py_LT) : -1;
}

// The try body of one round: 1 when the status endpoint answered 200, 0 when it answered
// something else, -1 with the exception set.
int poll_status(PyObject *self) {
    Ref response = http_get(self, n_stats_api);
    Ref status = response ? get_attr(response.get(), n_status_code) : Ref{};
    Ref ok = status ? Ref::steal(PyLong_FromLong(200)) : Ref{};
    Ref equal = ok ? Ref::steal(PyObject_RichCompare(status.get(), ok.get(), Py_EQ)) : Ref{};
    const int ready = equal ? truth(equal.get()) : -1;
    if (ready < 0) return -1;
    if (ready) return log(self, n_debug, service_ready, n_flag) ? 1 : -1;
    return log(self, n_debug, service_not_ready, n_flag, Read{response.get(), n_status_code}) ? 0 : -1;
}

// One round with its except clauses: 1 ready, 0 not yet, -1 with an error set.
int poll_round(PyObject *self) {
    const int ready = poll_status(self);
    if (ready >= 0) return ready;
    const bool printed = except_clauses([&](int clause, PyObject *e) {
        return clause == 1 ? print_line(self, connection_refused_line, nullptr)
                           : print_line(self, request_failed_line, e);
    });
    return printed ? 0 : -1;
}

Ref wait_service_ready(PyObject *self) {
    Ref start_time = now();
    if (!start_time || !log(self, n_debug, polling_started, n_flag, n_stats_api, n_max_wait)) return {};
    for (int within; (within = within_budget(self, start_time.get())) != 0;) {
        const int ready = within < 0 ? -1 : poll_round(self);
        if (ready != 0) return ready > 0 ? Ref::borrow(Py_True) : Ref{};
        // time.sleep(self.poll_interval)
        Ref sleep = time_sleep.get();
        Ref interval = sleep ? get_attr(self, n_poll_interval) : Ref{};
        if (!interval || !call(sleep.get(), interval.get())) return {};
    }
    return log(self, n_error, polling_timed_out, n_flag, n_max_wait) ? Ref::borrow(Py_False) : Ref{};
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
    const int truthy = ready ? truth(ready.get()) : -1;
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
