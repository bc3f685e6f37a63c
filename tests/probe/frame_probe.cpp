// frame_probe: a test-only module built by the frame tests (never shipped). It exercises
// the parts of the frame that the shipped modules reach only in some of their functions.
// The tests build it pretending another Python minor version, to see the warning.
#include "attributes.hpp"
#include "calls.hpp"
#include "errors.hpp"
#include "guard.hpp"
#include "handling.hpp"
#include "module.hpp"

#include <cstring>

namespace carvola::probe {
namespace {

Name n_mode{"MODE"};
Name n_record{"record"};
Name n_key{"key"};
Name n_sys{"sys"};
Name n_getrecursionlimit{"getrecursionlimit"};

Guard sys_module{n_sys};
Guard recursion_limit{n_sys, n_getrecursionlimit};

Ref build(std::initializer_list<PyObject *> items) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) return {};
    Py_ssize_t i = 0;
    for (PyObject *item : items) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(item));
    return tuple;
}

// Every conversion, handed back as the body saw it.
Ref kinds(PyObject *number, double real, bool truth, PyObject *data, PyObject *items, PyObject *text) {
    Ref r = Ref::steal(PyFloat_FromDouble(real));
    if (!r) return {};
    return build({number, r.get(), truth ? Py_True : Py_False, data, items, text});
}

constexpr Function kinds_contract{
    .name = "kinds",
    .kind = Kind::function,
    .params = {{"number", Conv::integer, "int"},
               {"real", Conv::real, "float"},
               {"truth", Conv::truth, "bool"},
               {"data", Conv::bytes, "bytes"},
               {"items", Conv::list, "Optional[List[str]]"},
               {"text", Conv::str, "str", dflt::none}},
    .doc = "Echo of every conversion.",
    .body = native<kinds>(),
};

// A str parameter before an int one: the int conversion still fails first.
Ref ordered(PyObject *label, PyObject *count) { return build({label, count}); }

constexpr Function ordered_contract{
    .name = "ordered",
    .kind = Kind::function,
    .params = {{"label", Conv::str, "str"}, {"count", Conv::integer, "int"}},
    .body = native<ordered>(),
};

Ref echo(PyObject *value) { return Ref::borrow(value); }

constexpr Function as_int_contract{
    .name = "as_int", .kind = Kind::function, .params = {{"value"}}, .returns = Ret::integer,
    .return_annotation = "int", .body = native<echo>()};
constexpr Function as_str_contract{
    .name = "as_str", .kind = Kind::function, .params = {{"value"}}, .returns = Ret::str,
    .return_annotation = "str", .body = native<echo>()};
constexpr Function as_list_contract{
    .name = "as_list", .kind = Kind::function, .params = {{"value"}}, .returns = Ret::list,
    .return_annotation = "List[str]", .body = native<echo>()};

Ref keywords(PyObject *first, PyObject *second, PyObject *rest) { return build({first, second, rest}); }

constexpr Function keywords_contract{
    .name = "keywords",
    .kind = Kind::function,
    .params = {{"first"}, {"second", Conv::object, nullptr, dflt::integer<2>}},
    .var_keywords = true,
    .body = native<keywords>(),
};

Ref raise_it(PyObject *obj) { return Ref::steal(raise(obj)); }

constexpr Function raise_contract{
    .name = "raise_it", .kind = Kind::function, .params = {{"obj"}}, .body = native<raise_it>()};

Ref unpack(PyObject *obj, bool short_form) {
    Ref a, b;
    if (!unpack2(obj, a, b, short_form ? Unpack::short_form : Unpack::python)) return {};
    return build({a.get(), b.get()});
}

constexpr Function unpack_contract{
    .name = "unpack",
    .kind = Kind::function,
    .params = {{"obj"}, {"short_form", Conv::truth, "bool", dflt::boolean<false>}},
    .body = native<unpack>(),
};

// Every call form on `target`: target(), target(a), target.record(a, b), target(a, key=b)
// and target.record(a, key=b).
Ref calls(PyObject *target, PyObject *a, PyObject *b) {
    Ref none = call(target);
    Ref one = none ? call(target, a) : Ref();
    Ref method = one ? call_method(target, n_record, a, b) : Ref();
    Ref keyword = method ? call_kw(target, name_tuple<"key">, a, b) : Ref();
    Ref record = keyword ? get_attr(target, n_record) : Ref();
    Ref method_keyword = record ? call_kw(record.get(), name_tuple<"key">, a, b) : Ref();
    if (!method_keyword) return {};
    return build({none.get(), one.get(), method.get(), keyword.get(), method_keyword.get()});
}

constexpr Function calls_contract{
    .name = "calls", .kind = Kind::function, .params = {{"target"}, {"a"}, {"b"}}, .body = native<calls>()};

// try: return attempt()
// except cls as e: return handler(e)
Ref except_call(PyObject *attempt, PyObject *cls, PyObject *handler) {
    if (Ref result = call(attempt)) return result;
    Caught caught;
    const int match = caught.matches(cls);
    if (match <= 0) return match < 0 ? Ref() : caught.reraise();
    return call(handler, caught.exception());
}

constexpr Function except_call_contract{
    .name = "except_call",
    .kind = Kind::function,
    .params = {{"attempt"}, {"cls"}, {"handler"}},
    .body = native<except_call>(),
};

// with manager as value: return body(value)
// None when __exit__ suppressed the body's exception.
Ref with_call(PyObject *manager, PyObject *body) {
    Ref result;
    const bool completed = with_block(manager, [&](PyObject *value) {
        result = call(body, value);
        return static_cast<bool>(result);
    });
    if (!completed) return {};
    return result ? result : Ref::borrow(Py_None);
}

// raise_it(obj), called natively: the traceback gets raise_it's entry below this one.
Ref direct(PyObject *obj) { return call_direct<raise_it>(raise_contract, obj); }

constexpr Function direct_contract{
    .name = "direct", .kind = Kind::function, .params = {{"obj"}}, .body = native<direct>()};

// (whether `sys` is still the module imported, whether sys.getrecursionlimit still is)
Ref guards() {
    const int module = sys_module.holds(), function = recursion_limit.holds();
    if (module < 0 || function < 0) return {};
    return build({module ? Py_True : Py_False, function ? Py_True : Py_False});
}

constexpr Function guards_contract{.name = "guards", .kind = Kind::function, .body = native<guards>()};

constexpr Function with_call_contract{
    .name = "with_call", .kind = Kind::function, .params = {{"manager"}, {"body"}}, .body = native<with_call>()};

Ref lookup(PyObject *name) { return global(name); }

constexpr Function lookup_contract{
    .name = "lookup", .kind = Kind::function, .params = {{"name", Conv::str, "str"}}, .body = native<lookup>()};

// A class written with `object` as its explicit base, with every kind of method.
Ref pair(PyObject *a, PyObject *b) { return build({a, b}); }

constexpr Function make_contract{
    .name = "make",
    .kind = Kind::classmethod,
    .params = {{"cls"}, {"size", Conv::integer, "int"}},
    .doc = "A classmethod.",
    .body = native<pair>(),
};

Ref single(PyObject *value) { return build({value}); }

constexpr Function helper_contract{
    .name = "helper", .kind = Kind::staticmethod, .params = {{"value"}}, .body = native<single>()};

Ref scaled(PyObject *self, double scale) {
    Ref r = Ref::steal(PyFloat_FromDouble(scale));
    if (!r) return {};
    return build({self, r.get()});
}

constexpr Function method_contract{
    .name = "method",
    .params = {{"self"}, {"scale", Conv::real, "float", dflt::real<2>}},
    .body = native<scaled>(),
};

Ref answer() { return Ref::steal(PyLong_FromLong(42)); }

constexpr Member shape_namespace[] = {
    constant("ANSWER", answer),
    def(make_contract),
    def(helper_contract),
    def(method_contract),
};

constexpr Class shape = make_class("Shape", "A probe class.", shape_namespace, true);

// MODE in an optional module `probe_mode` decides how execution ends: "fail" raises,
// "fail_silently" fails without an exception.
bool execute(Module &m) noexcept {
    if (!m.import("sys") || !m.add(def(kinds_contract)) || !m.add(def(ordered_contract)) ||
        !m.add(def(as_int_contract)) || !m.add(def(as_str_contract)) || !m.add(def(as_list_contract)) ||
        !m.add(def(keywords_contract)) || !m.add(def(raise_contract)) || !m.add(def(direct_contract)) ||
        !m.add(def(guards_contract)) || !m.add(def(unpack_contract)) || !m.add(def(calls_contract)) ||
        !m.add(def(except_call_contract)) || !m.add(def(with_call_contract)) || !m.add(def(lookup_contract)) ||
        !m.add(shape)) {
        return false;
    }
    Ref control = Ref::steal(PyImport_ImportModule("probe_mode"));
    if (!control) {
        PyErr_Clear();
        return true;
    }
    Ref mode = Ref::steal(PyObject_GetAttr(control.get(), n_mode));
    if (!mode) return false;
    const char *text = PyUnicode_AsUTF8(mode.get());
    if (text == nullptr) return false;
    if (std::strcmp(text, "fail") == 0) return m.import("probe_missing_module");
    return std::strcmp(text, "fail_silently") != 0;
}

constexpr ModuleInfo frame_probe{"frame_probe", execute};

}  // namespace
}  // namespace carvola::probe

PyMODINIT_FUNC PyInit_frame_probe() { return carvola::module_init(carvola::probe::frame_probe); }
