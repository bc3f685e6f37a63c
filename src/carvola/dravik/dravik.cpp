// carvola.dravik: FluxKontextImageScale, which resizes an image to the preferred Flux
// Kontext resolution whose width/height ratio is closest to the image's own.
#include "attributes.hpp"
#include "calls.hpp"
#include "errors.hpp"
#include "image.hpp"
#include "module.hpp"

namespace carvola::dravik {
namespace {

// Portrait to landscape; the second half mirrors the first.
Ref preferred_resolutions() {
    return Ref::steal(Py_BuildValue("[(ii)(ii)(ii)(ii)(ii)(ii)(ii)(ii)(ii)(ii)(ii)(ii)(ii)(ii)(ii)(ii)(ii)]",
                                    672, 1568, 688, 1504, 720, 1456, 752, 1392, 800, 1328, 832, 1248,
                                    880, 1184, 944, 1104, 1024, 1024, 1104, 944, 1184, 880, 1248, 832,
                                    1328, 800, 1392, 752, 1456, 720, 1504, 688, 1568, 672));
}

Ref scale_init(PyObject *self, PyObject *image) {
    return set_attr(self, "image"_n, image) ? none() : Ref();
}

constexpr Function init_contract{
    .name = "__init__",
    .params = {{"self"}, {"image", Conv::object, "Image"}},
    .doc = "\n"
           "        Args:\n"
           "            image: PIL Image 对象\n"
           "        ",
    .body = native<scale_init>(),
};

// The generator is an object of its own for a reader of tracebacks: an error while it
// runs (advancing the table, unpacking an entry, the arithmetic) gets an entry of its own
// below the one of start().
constexpr int kGeneratorLine = __LINE__;

// min() of the triples as the builtin takes it: a later triple replaces the best only
// when it compares strictly smaller, so the first of equal triples stays.
Ref closest_candidate(PyObject *resolutions, PyObject *aspect_ratio) {
    Ref entries = Ref::steal(PyObject_GetIter(resolutions));
    if (!entries) return {};
    Ref best;
    while (Ref entry = Ref::steal(PyIter_Next(entries.get()))) {
        // w, h = entry; the generator's item (abs(aspect_ratio - w / h), w, h)
        Ref w, h;
        if (!unpack2(entry.get(), w, h, Unpack::short_form)) break;
        Ref ratio = Ref::steal(PyNumber_TrueDivide(w.get(), h.get()));
        Ref delta = ratio ? Ref::steal(PyNumber_Subtract(aspect_ratio, ratio.get())) : Ref();
        Ref distance = delta ? Ref::steal(PyNumber_Absolute(delta.get())) : Ref();
        Ref triple = distance ? Ref::steal(PyTuple_Pack(3, distance.get(), w.get(), h.get())) : Ref();
        if (!triple) break;
        const int less = best ? PyObject_RichCompareBool(triple.get(), best.get(), Py_LT) : 1;
        if (less < 0) return {};
        if (less) best = std::move(triple);
    }
    if (PyErr_Occurred()) {
        add_traceback("genexpr", kGeneratorLine);
        return {};
    }
    if (!best) PyErr_SetString(PyExc_ValueError, "min() arg is an empty sequence");
    return best;
}

Ref scale_start(PyObject *self) {
    // self.image.width / self.image.height, reading self.image afresh for each side
    Ref image = get_attr(self, "image"_n);
    Ref width = image ? get_attr(image.get(), "width"_n) : Ref();
    image = width ? get_attr(self, "image"_n) : Ref();
    Ref height = image ? get_attr(image.get(), "height"_n) : Ref();
    Ref aspect_ratio = height ? Ref::steal(PyNumber_TrueDivide(width.get(), height.get())) : Ref();
    Ref resolutions = aspect_ratio ? get_attr(self, "PREFERED_KONTEXT_RESOLUTIONS"_n) : Ref();
    Ref best = resolutions ? closest_candidate(resolutions.get(), aspect_ratio.get()) : Ref();
    image = best ? get_attr(self, "image"_n) : Ref();
    if (!image) return {};
    // best is a triple built here: (distance, output_width, output_height).
    PyObject *output_width = PyTuple_GET_ITEM(best.get(), 1);
    return resized_lanczos(image.get(), output_width, PyTuple_GET_ITEM(best.get(), 2), ResamplingFrom::global);
}

constexpr Function start_contract{
    .name = "start",
    .params = {{"self"}},
    .return_annotation = "Image",
    .doc = "\n"
           "        根据原图宽高比匹配最优分辨率并缩放。\n"
           "\n"
           "        Returns:\n"
           "            缩放后的 PIL Image 对象\n"
           "        ",
    .body = native<scale_start>(),
};

constexpr Member scale_namespace[] = {
    constant("PREFERED_KONTEXT_RESOLUTIONS", preferred_resolutions),
    def(init_contract),
    def(start_contract),
};

constexpr Class flux_kontext_image_scale = make_class(
    "FluxKontextImageScale",
    "\n"
    "    将图片缩放到最接近 Flux Kontext 优选分辨率的尺寸。\n"
    "\n"
    "    根据原图宽高比，从预定义的分辨率列表中选取最匹配的分辨率，\n"
    "    使用 LANCZOS 算法进行高质量缩放。\n"
    "    ",
    scale_namespace, /*explicit_base=*/true);

bool execute(Module &m) noexcept {
    return m.import_from<"Image">("PIL") && m.import_from<"Resampling">("PIL.Image") &&
           m.add(flux_kontext_image_scale);
}

constexpr ModuleInfo dravik{"carvola.dravik", execute};

}  // namespace
}  // namespace carvola::dravik

PyMODINIT_FUNC PyInit_dravik() { return carvola::module_init(carvola::dravik::dravik); }
