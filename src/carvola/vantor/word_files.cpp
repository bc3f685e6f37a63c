// Banned-word files: the extension rule, pickle files read through an unpickler that
// refuses every global, text files read natively while `open` is the original, and the
// pickle writer.
#include "guard.hpp"
#include "vantor.hpp"

#include <cstring>

namespace carvola::vantor {

namespace {

// The text branch reads a file natively only while `open` is io.open.
Guard open_guard{"open"_n};

// with open(path, mode) as f: body(f), with encoding="utf-8" for a text mode ("r").
template <typename Body>
bool with_open(PyObject *path, const Text &mode, Body &&body) {
    Ref open = global("open"_n);
    if (!open) return false;
    Ref file = mode.text()[1] == 'b' ? call(open.get(), path, mode.get())
                                     : call_kw(open.get(), name_tuple<"encoding">, path, mode.get(), "utf-8"_t.get());
    return file && with_block(file.get(), body);
}

// ----- pickle files -----

// Word files hold plain data: the unpickler refuses every global, so a file can neither
// run code nor build objects of any class (a list subclass included).
// raise pickle.UnpicklingError(f"...: {module}.{name}")
Ref refuse_global(PyObject *, PyObject *module, PyObject *name) {
    Ref pickle = global("pickle"_n);
    Ref error = pickle ? get_attr(pickle.get(), "UnpicklingError"_n) : Ref();
    Ref message = error ? Ref::steal(PyUnicode_FromFormat("%S.%S", module, name)) : Ref();
    if (!message) return {};
    message = prefixed("违禁词 pickle 文件不得引用全局对象（只能包含 list、str 等基本数据）: ", message.get());
    Ref raised = message ? call(error.get(), message.get()) : Ref();
    if (raised) raise(raised.get());
    return {};
}

constexpr Function find_class_contract{
    .name = "find_class",
    .params = {{"self"}, {"module"}, {"name"}},
    .doc = "拒绝一切全局对象：违禁词 pickle 文件只能包含基本数据。",
    .body = native<refuse_global>(),
};
constexpr Member find_class_method = def(find_class_contract);

// The class last made and the Unpickler it derives from: made again only when that changes.
Retained unpickler_base, unpickler_class;

// class _RestrictedUnpickler(pickle.Unpickler), with the module global `pickle` as it is
// now, and find_class refusing.
Ref restricted_unpickler() {
    Ref pickle = global("pickle"_n);
    Ref base = pickle ? get_attr(pickle.get(), "Unpickler"_n) : Ref();
    if (base && base.get() == unpickler_base.get()) return Ref::borrow(unpickler_class.get());
    const char *name = "_RestrictedUnpickler";
    Ref find_class = base ? make_function(*find_class_method.function, name) : Ref();
    if (!find_class) return {};
    // type(name, (base,), {"__module__": ..., "__qualname__": name, "find_class": find_class})
    auto *type = reinterpret_cast<PyObject *>(&PyType_Type);
    Ref cls = Ref::steal(PyObject_CallFunction(type, "s(O){sssssO}", name, base.get(), "__module__", module_name(),
                                               "__qualname__", name, "find_class", find_class.get()));
    if (!cls) return {};
    unpickler_base.keep(base.get());
    unpickler_class.keep(cls.get());
    return cls;
}

// with open(file_path, "rb") as f: data = _RestrictedUnpickler(f).load()
// then data must be a list, of which str() of every item is a word.
Ref load_pickle_file(PyObject *file_path) {
    Ref data;
    const bool completed = with_open(file_path, "rb"_t, [&](PyObject *f) {
        Ref cls = restricted_unpickler();
        Ref unpickler = cls ? call(cls.get(), f) : Ref();
        data = unpickler ? call_method(unpickler.get(), "load"_n) : Ref();
        return static_cast<bool>(data);
    });
    if (completed && !data) raise_unbound_local("data");  // __exit__ suppressed the failure
    if (!completed || !data) return {};
    const int is_list = PyObject_IsInstance(data.get(), reinterpret_cast<PyObject *>(&PyList_Type));
    if (is_list > 0) return list_of(data.get(), [](PyObject *item) { return Ref::steal(PyObject_Str(item)); });
    Ref type_name = is_list == 0 ? Ref::steal(PyType_GetName(Py_TYPE(data.get()))) : Ref();
    Ref message = type_name ? prefixed("pickle 文件内容必须是 list，当前类型: ", type_name.get()) : Ref();
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return {};
}

// ----- text files -----

// with open(file_path, "r", encoding="utf-8") as f: for line in f: words.append(line.strip())
Ref load_text_file_through_open(PyObject *file_path) {
    Ref words = Ref::steal(PyList_New(0));
    auto append_lines = [&](PyObject *f) {
        return for_each(f, [&](Ref line) {
            Ref word = strip(line.get());
            return word && PyList_Append(words.get(), word.get()) == 0;
        });
    };
    // A suppressed failure returns the lines read so far, as the Python code would.
    return words && with_open(file_path, "r"_t, append_lines) ? words : Ref();
}

// The words of the lines of `text`, stripped as str.strip() strips: take(word) for each.
template <typename Take>
bool each_line(PyObject *text, Take &&take) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    return with_code_units(text, [&](const auto *data) {
        for (Py_ssize_t p = 0; p < length;) {
            const Py_ssize_t start = p;
            while (p < length && data[p] != '\n' && data[p] != '\r') ++p;
            const auto [first, last] = strip_span(data, start, p);
            Ref word = Ref::steal(PyUnicode_Substring(text, first, last));
            if (!word || !take(word.get())) return false;
            if (p < length && data[p++] == '\r' && p < length && data[p] == '\n') ++p;
        }
        return true;
    });
}

// The text branch of _load_from_file: every line stripped, blank lines kept as "". Read
// natively while `open` is the original, the lines split as text mode splits: at "\n",
// "\r" and "\r\n" only (not at the other line ends str.splitlines() knows), with no empty
// line after a final line end. The bytes decode in pieces that end after a "\n": a line
// end never falls inside a UTF-8 sequence, nor between the two of "\r\n", and small
// pieces spare a long file's copy of its whole text. Given a merge, the words go into it
// and None comes back.
Ref load_text_file(PyObject *file_path, Merge *into) {
    constexpr Py_ssize_t piece = 1 << 15;
    const int native = PyUnicode_CheckExact(file_path) ? open_guard.holds() : 0;
    if (native < 0) return {};
    // with open(file_path, "rb") as f: bytes = f.read(), while `open` is the original: the
    // audit event and the errors of the text mode's open(). A suppressed failure leaves none.
    Ref bytes;
    auto read = [&](PyObject *f) {
        bytes = call_method(f, "read"_n);
        return static_cast<bool>(bytes);
    };
    if (native && !with_open(file_path, "rb"_t, read)) return {};
    if (!bytes || !PyBytes_Check(bytes.get())) return load_text_file_through_open(file_path);
    Ref words = into ? none() : Ref::steal(PyList_New(0));
    if (!words) return {};
    const char *p = PyBytes_AS_STRING(bytes.get());
    const char *end = p + PyBytes_GET_SIZE(bytes.get());
    // Words are rarely shorter than 8 bytes with their line end.
    if (into) into->expect(static_cast<std::size_t>(end - p) / 8);
    auto take = [&](PyObject *word) { return into ? into->add(word) : PyList_Append(words.get(), word) == 0; };
    Ref text = none();
    while (p < end) {
        const void *cut = end - p > piece ? std::memchr(p + piece, '\n', end - p - piece) : nullptr;
        const char *stop = cut ? static_cast<const char *>(cut) + 1 : end;
        text = Ref::steal(PyUnicode_DecodeUTF8(p, stop - p, nullptr));
        if (!text) break;
        if (!each_line(text.get(), take)) return {};
        p = stop;
    }
    if (text) return words;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return {};
    // Bytes that are not UTF-8: open() reads them again and raises the decoder's error in
    // its own words; the words the merge took from this read are dropped.
    PyErr_Clear();
    if (into) into->roll_back();
    return load_text_file_through_open(file_path);
}

}  // namespace

Ref load_from_file(PyObject *file_path, Merge *into) noexcept {
    // ext = os.path.splitext(file_path)[1].lower()
    Ref path = os_path.get();
    Ref parts = path ? call_method(path.get(), "splitext"_n, file_path) : Ref();
    Ref one = parts ? Ref::steal(PyLong_FromLong(1)) : Ref();
    Ref ext = one ? Ref::steal(PyObject_GetItem(parts.get(), one.get())) : Ref();
    if (ext) ext = call_method(ext.get(), "lower"_n);
    if (!ext) return {};
    // if ext == ".pkl" or ext == ".pickle"
    int pickled = PyObject_RichCompareBool(ext.get(), ".pkl"_t, Py_EQ);
    if (pickled == 0) pickled = PyObject_RichCompareBool(ext.get(), ".pickle"_t, Py_EQ);
    if (pickled < 0) return {};
    return pickled ? load_pickle_file(file_path) : load_text_file(file_path, into);
}

Ref create_pickle_file(PyObject *words, PyObject *output_path) noexcept {
    // with open(output_path, "wb") as f: pickle.dump(cleaned, f)
    // cleaned = [w.strip() for w in words if w and w.strip()]
    Ref cleaned = Ref::steal(PyList_New(0));
    auto append = [&](Ref w) { return PyList_Append(cleaned.get(), w.get()) == 0; };
    auto dump = [&](PyObject *f) {
        Ref pickle = global("pickle"_n);
        return pickle && call_method(pickle.get(), "dump"_n, cleaned.get(), f);
    };
    return cleaned && each_stripped(words, true, append) && with_open(output_path, "wb"_t, dump) ? none() : Ref();
}

}  // namespace carvola::vantor
