// carvola.tulvene: GPTImageSizeCalculator, which computes a legal gpt-image-2 output size
// from an aspect-ratio string and a resolution preset under the model's size constraints.
#include "calls.hpp"
#include "errors.hpp"
#include "guard.hpp"
#include "module.hpp"
#include "number.hpp"
#include "sizes.hpp"
#include "text.hpp"

namespace carvola::tulvene {
namespace {

Guard math_sqrt{"math"_n, "sqrt"_n};
Guard math_floor{"math"_n, "floor"_n};
// The builtin round(), taken when the module is executed, as builtins are.
Guard builtin_round{"round"_n};
// The module's own classmethods, which calc_size may run natively.
Guard own_methods[] = {{"GPTImageSizeCalculator"_n, "round_to_multiple"_n},
                       {"GPTImageSizeCalculator"_n, "floor_to_multiple"_n},
                       {"GPTImageSizeCalculator"_n, "is_valid_image_size"_n}};

// The guard holds; a failed lookup is left to the Python run, which raises it where Python would.
bool holds(Guard &guard) {
    const int original = guard.holds();
    if (original < 0) PyErr_Clear();
    return original > 0;
}

// getattr(cls, name) when it can run no code: the metaclass is exactly `type` (which has
// no attribute of these names) and the value found is no descriptor. Borrowed; null, with
// no exception set, when getattr would have to run.
PyObject *plain_attribute(PyObject *cls, PyObject *name) {
    if (!Py_IS_TYPE(cls, &PyType_Type)) return nullptr;
    PyObject *found = class_lookup(cls, name);
    return found != nullptr && Py_TYPE(found)->tp_descr_get == nullptr ? found : nullptr;
}

// The class constants, in the order of Constant.
Name constant_names[] = {Name{"MIN_PIXELS"}, Name{"MAX_PIXELS"}, Name{"MAX_EDGE"},
                         Name{"MULTIPLE"}, Name{"MAX_RATIO"}};

// The class through Python: each constant and method is looked up where the code uses it.
struct Through {
    using Number = Object;
    PyObject *cls;

    Object constant(Constant k) const { return Object(get_attr(cls, constant_names[k])); }
    Object sqrt() const { return Object(math_sqrt.get()); }
    // cls.round_to_multiple(x) and so on
    Object round_to_multiple(const Object &x) const { return Object(call_method(cls, "round_to_multiple"_n, x.get())); }
    Object floor_to_multiple(const Object &x) const { return Object(call_method(cls, "floor_to_multiple"_n, x.get())); }
    Object is_valid(const Object &w, const Object &h) const {
        return Object(call_method(cls, "is_valid_image_size"_n, w.get(), h.get()));
    }
};

// A plain class, its constants read once as machine numbers: reading them again would
// give the same values, since the native run calls no Python code.
struct Native {
    using Number = Machine;
    Machine constants[5];

    Machine constant(Constant k) const { return constants[k]; }
    auto sqrt() const { return machine_sqrt; }
    Machine round_to_multiple(Machine x) const { return aligned(x, constants[multiple], machine_round); }
    Machine floor_to_multiple(Machine x) const { return aligned(x, constants[multiple], machine_floor); }
    Machine is_valid(Machine w, Machine h) const { return validity(*this, w, h); }
};

// The Native view of the last class met, kept under its version tag: the interpreter gives
// a class a new tag whenever it or a base changes, and never reuses one, so an equal tag
// means equal lookups. The tag is private, but 3.11 has no public way to learn that a
// class is unchanged, and these lookups would otherwise cost more than the arithmetic.
// A class without a tag is remembered under 0, which no tag equals.
struct View {
    unsigned int version = 0;
    bool plain = false;      // metaclass `type`, every constant an exact int or float in range
    bool originals = false;  // and the methods calc_size calls are the module's own
    Native native;
};

// The Native view of a plain class; with `calls`, only while the methods calc_size calls
// and math.sqrt and math.floor are the originals too. Failed hands the run over to Through.
const Native &native_class(PyObject *cls, bool calls = true) {
    static View view;
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls);
    const bool tagged = PyType_Check(cls) && PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
    if (!tagged || type->tp_version_tag != view.version) {
        view = {.version = tagged ? type->tp_version_tag : 0};
        try {
            for (int k = min_pixels; k <= max_ratio; ++k)
                view.native.constants[k] = Machine::of(plain_attribute(cls, constant_names[k]));
            view.plain = view.originals = true;
        } catch (const Failed &) {
        }
        for (const Guard &method : own_methods) view.originals = view.originals && method.found_in(cls);
    }
    const bool native = calls ? view.originals && holds(math_sqrt) && holds(math_floor) : view.plain;
    return native ? view.native : throw Failed{};
}

Ref calculator_init(PyObject *) { return none(); }

constexpr Function init_contract{
    .name = "__init__",
    .params = {{"self"}},
    .body = native<calculator_init>(),
};

// round_to_multiple and floor_to_multiple (Floor), whose `whole` is round or math.floor:
// if multiple is None: multiple = cls.MULTIPLE (a plain class's, as the view holds it)
// val = whole(value / multiple) * multiple; return max(multiple, int(val))
// on machine numbers while the native `whole` may stand in for the function, else on objects.
template <bool Floor>
Ref aligned_to_multiple(PyObject *cls, PyObject *value, PyObject *multiple) {
    const bool given = multiple != Py_None;
    return fast_or_general(
        [&] {
            const Machine m = given ? Machine::of(multiple) : native_class(cls, false).constant(Constant::multiple);
            if (Floor && !holds(math_floor)) throw Failed{};
            return Floor ? aligned(Machine::of(value), m, machine_floor).object()
                         : aligned(Machine::of(value), m, machine_round).object();
        },
        [&] {
            const Object m(given ? Ref::borrow(multiple) : get_attr(cls, constant_names[Constant::multiple]));
            const Object whole(Floor ? math_floor.get() : Ref::borrow(builtin_round.original()));
            return aligned(Object::of(value), m, whole).object();
        });
}

// The contract of an aligning classmethod.
consteval Function aligning(const char *name, const char *doc, Body body) {
    return {.name = name,
            .kind = Kind::classmethod,
            .params = {{"cls"}, {"value"}, {"multiple", Conv::object, nullptr, dflt::none}},
            .returns = Ret::integer,
            .return_annotation = "int",
            .doc = doc,
            .body = body};
}

constexpr Function round_to_multiple_contract =
    aligning("round_to_multiple", "四舍五入对齐到指定倍数，最小不低于倍数本身", native<aligned_to_multiple<false>>());
constexpr Function floor_to_multiple_contract =
    aligning("floor_to_multiple", "向下对齐倍数，用于像素超限时压缩", native<aligned_to_multiple<true>>());

Ref is_valid_image_size(PyObject *cls, PyObject *width, PyObject *height) {
    return fast_or_general(
        [&] { return validity(native_class(cls, false), Machine::of(width), Machine::of(height)).object(); },
        [&] { return validity(Through{cls}, Object::of(width), Object::of(height)).object(); });
}

constexpr Function is_valid_image_size_contract{
    .name = "is_valid_image_size",
    .kind = Kind::classmethod,
    .params = {{"cls"}, {"width", Conv::integer, "int"}, {"height", Conv::integer, "int"}},
    .return_annotation = "bool",
    .doc = "完整校验所有尺寸约束",
    .body = native<is_valid_image_size>(),
};

// cls.RESOLUTION_PRESET.get(resolution, cls.RESOLUTION_PRESET["2k"]). `key` equals
// `resolution` and is an exact str: an exact dict finds the same entry under either, and
// the caller's own string usually has its hash computed already.
Ref target_pixels(PyObject *cls, PyObject *resolution, PyObject *key) {
    // A plain exact dict: its get is dict.get, and the second read gives the same dict.
    // Held while the lookups run, since a key's __eq__ could drop the class's reference.
    Ref preset = Ref::borrow(plain_attribute(cls, "RESOLUTION_PRESET"_n));
    if (preset && PyDict_CheckExact(preset.get())) {
        Ref fallback = Ref::steal(PyObject_GetItem(preset.get(), "2k"_t));
        if (!fallback) return {};
        if (PyObject *found = PyDict_GetItemWithError(preset.get(), key)) return Ref::borrow(found);
        return PyErr_Occurred() ? Ref() : fallback;
    }
    preset = get_attr(cls, "RESOLUTION_PRESET"_n);
    Ref get = preset ? get_attr(preset.get(), "get"_n) : Ref();
    Ref table = get ? get_attr(cls, "RESOLUTION_PRESET"_n) : Ref();
    Ref fallback = table ? Ref::steal(PyObject_GetItem(table.get(), "2k"_t)) : Ref();
    return fallback ? call(get.get(), resolution, fallback.get()) : Ref();
}

// The keys of calc_size's result in order, each mapped to None: a copy with its values
// replaced costs less than inserting the keys anew.
Retained result_shape;
Text result_keys[] = {Text{"width"},        Text{"height"},     Text{"size"}, Text{"pixels"},
                      Text{"aspect_ratio"}, Text{"resolution"}, Text{"valid"}};

// The result of calc_size from the preset's pixel count and the ratio.
template <typename C, typename N = Number<C>>
Ref sized_result(const C &c, const N &target, const N &ratio, PyObject *aspect_ratio, PyObject *resolution) {
    // target_pixels = max(cls.MIN_PIXELS, min(target_pixels, cls.MAX_PIXELS))
    const N min_p = c.constant(min_pixels);
    const N clamped = max_of(min_p, min_of(target, c.constant(max_pixels)));
    // w = math.sqrt(target_pixels * ratio); h = w / ratio
    N w = c.sqrt()(clamped * ratio);
    N h = w / ratio;
    corrected(c, w, h);
    // width = int(w); height = int(h); final_pixels = width * height
    const N width = to_int(w);
    const N height = to_int(h);
    const N pixels = width * height;
    // "valid": cls.is_valid_image_size(width, height); the size text, formatted before it
    // in Python, is made from exact ints, which no code can observe.
    const N valid = c.is_valid(width, height);
    const Ref values[] = {width.object(), height.object(), pixels.object(), valid.object()};
    for (const Ref &value : values)
        if (!value) return {};
    Ref size = int_pair_text(values[0].get(), 'x', values[1].get());
    Ref result = size ? Ref::steal(PyDict_Copy(result_shape.get())) : Ref();
    if (!result) return {};
    PyObject *items[] = {values[0].get(), values[1].get(), size.get(), values[2].get(),
                         aspect_ratio,    resolution,      values[3].get()};
    for (int i = 0; i < 7; ++i)
        if (PyDict_SetItem(result.get(), result_keys[i], items[i]) < 0) return {};
    return result;
}

// Each stage runs natively for a plain class with the module's own methods, and runs
// again through Python when a number leaves the machine range: the native run calls no
// Python code, so the Python run can start the stage afresh.
Ref calc_size(PyObject *cls, PyObject *aspect_ratio, PyObject *resolution_arg, bool strict) {
    // resolution = resolution.lower(); rw, rh = map(int, aspect_ratio.split(":"))
    bool same;
    Ref resolution = lowered(resolution_arg, same);
    Ref rw, rh;
    if (!resolution || !parse_ratio(aspect_ratio, rw, rh)) return {};
    bool refused = false;
    const auto ratio_of = [&]<typename C, typename N = Number<C>>(const C &c) {
        N w = N::of(rw.get()), h = N::of(rh.get()), ratio;
        refused = !narrowed_ratio(c, w, h, strict, ratio);
        return refused ? Ref() : ratio.object();
    };
    Ref ratio = fast_or_general([&] { return ratio_of(native_class(cls)); }, [&] { return ratio_of(Through{cls}); });
    if (refused) {
        // raise ServiceError("...", aspect_ratio=aspect_ratio)
        const Text &message = "图像宽高比不合法, 相差太大"_t;
        Ref factory = global("ServiceError"_n);
        Ref error = factory ? call_kw(factory.get(), name_tuple<"aspect_ratio">, message.get(), aspect_ratio) : Ref();
        if (error) raise(error.get());
        return {};
    }
    PyObject *key = same && PyUnicode_CheckExact(resolution_arg) ? resolution_arg : resolution.get();
    Ref target = ratio ? target_pixels(cls, resolution.get(), key) : Ref();
    if (!target) return {};
    const auto result_of = [&]<typename C, typename N = Number<C>>(const C &c) {
        return sized_result(c, N::of(target.get()), N::of(ratio.get()), aspect_ratio, resolution.get());
    };
    return fast_or_general([&] { return result_of(native_class(cls)); }, [&] { return result_of(Through{cls}); });
}

constexpr Function calc_size_contract{
    .name = "calc_size",
    .kind = Kind::classmethod,
    .params = {{"cls"},
               {"aspect_ratio", Conv::str, "str", dflt::text<"1:1">},
               {"resolution", Conv::str, "str", dflt::text<"2k">},
               {"strict", Conv::truth, "bool", dflt::boolean<false>}},
    .doc =
        "\n"
        "        生成合规图像尺寸，严格限制总像素不超过8294400\n"
        "        Args:\n"
        "            aspect_ratio: 宽高比字符串，如 1:1 / 16:9 / 9:16 / 4:3 / 7:10\n"
        "            resolution: 档位 1k / 2k / 4k\n"
        "            strict: 是否严格校验 gpt-image-2 约束，默认 False（超限比例自动钳位到最近合法比例）；\n"
        "                    设为 True 时，超限比例直接抛出 ServiceError\n"
        "        Returns:\n"
        "            包含宽、高、尺寸字符串、总像素、比例、档位、是否合法的字典\n"
        "        ",
    .body = native<calc_size>(),
};

constexpr Member calculator_namespace[] = {
    constant("MIN_PIXELS", [] { return Ref::steal(PyLong_FromLong(655360)); }),
    constant("MAX_PIXELS", [] { return Ref::steal(PyLong_FromLong(8294400)); }),
    constant("MAX_EDGE", [] { return Ref::steal(PyLong_FromLong(3840)); }),
    constant("MULTIPLE", [] { return Ref::steal(PyLong_FromLong(2)); }),
    constant("MAX_RATIO", [] { return Ref::steal(PyFloat_FromDouble(3.0)); }),
    constant("RESOLUTION_PRESET",
             [] { return Ref::steal(Py_BuildValue("{s:l,s:l,s:l}", "1k", 1572516L, "2k", 6553600L, "4k", 8294400L)); }),
    def(init_contract),
    def(round_to_multiple_contract),
    def(floor_to_multiple_contract),
    def(is_valid_image_size_contract),
    def(calc_size_contract),
};

constexpr Class calculator = make_class("GPTImageSizeCalculator",
                                        "\n"
                                        "    gpt-image-2 尺寸计算器\n"
                                        "\n"
                                        "    功能：\n"
                                        "    - 根据 aspect_ratio + resolution 自动生成合法尺寸\n"
                                        "    - 自动满足约束：\n"
                                        "        * 最大边 <= 3840\n"
                                        "        * 宽高为16倍数\n"
                                        "        * 宽高比 <= 3:1\n"
                                        "        * 总像素 655360 ≤ pixels ≤ 8294400\n"
                                        "    ",
                                        calculator_namespace);

bool make_result_shape() {
    Ref shape = Ref::steal(PyDict_New());
    if (!shape) return false;
    for (const Text &key : result_keys)
        if (PyDict_SetItem(shape.get(), key, Py_None) < 0) return false;
    result_shape.keep(shape.get());
    return true;
}

bool execute(Module &m) noexcept {
    return m.import("math") && m.import_from<"ServiceError">("pelvane") && m.add(calculator) &&
           make_result_shape();
}

constexpr ModuleInfo tulvene{"carvola.tulvene", execute};

}  // namespace
}  // namespace carvola::tulvene

PyMODINIT_FUNC PyInit_tulvene() { return carvola::module_init(carvola::tulvene::tulvene); }
