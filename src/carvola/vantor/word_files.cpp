// Banned-word files: the extension rule, pickle files read through an unpickler that
// refuses every global, text files read natively while `open` is the original, and the
// pickle writer.
#include "word_files.hpp"

#include "guard.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

namespace carvola::vantor {

namespace {

Name n_os{"os"};
Name n_path{"path"};
Name n_splitext{"splitext"};
Name n_lower{"lower"};
Name n_open{"open"};
Name n_pickle{"pickle"};
Name n_dump{"dump"};
Name n_load{"load"};
Name n_unpickler{"Unpickler"};
Name n_unpickling_error{"UnpicklingError"};
Name n_encoding{"encoding"};
Name n_mode_read{"r"};
Name n_mode_read_bytes{"rb"};
Name n_mode_write_bytes{"wb"};
Name n_utf8{"utf-8"};
Name n_file_io{"FileIO"};
Name n_readall{"readall"};
Name n_pkl{".pkl"};
Name n_pickle_ext{".pickle"};

// The text branch reads a file natively only while `open` is io.open.
Guard open_guard{n_open};
NameTuple encoding_keyword{n_encoding};

// ----- pickle files -----

// Word files hold plain data: the unpickler refuses every global, so a file can neither
// run code nor build objects of any class (a list subclass included).
struct RestrictedUnpickler {
    Retained base;   // the pickle.Unpickler it derives from
    Retained cls;
    Retained error;  // pickle.UnpicklingError of the same module
};

RestrictedUnpickler restricted;

Ref refuse_global(PyObject *, PyObject *module, PyObject *name) {
    Ref message = Ref::steal(PyUnicode_FromFormat("%S.%S", module, name));
    if (!message) return {};
    message = prefixed("违禁词 pickle 文件不得引用全局对象（只能包含 list、str 等基本数据）: ", message.get());
    if (message) PyErr_SetObject(restricted.error.get(), message.get());
    return {};
}

constexpr Function find_class_contract{
    .name = "find_class",
    .params = {{"self"}, {"module"}, {"name"}},
    .doc = "拒绝一切全局对象：违禁词 pickle 文件只能包含基本数据。",
    .body = native<refuse_global>(),
};
constexpr Member find_class_method = def(find_class_contract);

// The restricted subclass of the Unpickler of the module global `pickle` as it is now.
Ref restricted_unpickler() {
    Ref pickle = global(n_pickle);
    if (!pickle) return {};
    Ref base = get_attr(pickle.get(), n_unpickler);
    if (!base) return {};
    if (base.get() == restricted.base.get()) return Ref::borrow(restricted.cls.get());
    Ref error = get_attr(pickle.get(), n_unpickling_error);
    if (!error) return {};
    Ref name = Ref::steal(PyUnicode_FromString("_RestrictedUnpickler"));
    Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
    Ref ns = Ref::steal(PyDict_New());
    Ref module = Ref::steal(PyUnicode_FromString(module_name()));
    Ref find_class = make_function(*find_class_method.function, "_RestrictedUnpickler");
    if (!name || !bases || !ns || !module || !find_class) return {};
    if (PyDict_SetItemString(ns.get(), "__module__", module.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", name.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "find_class", find_class.get()) < 0) {
        return {};
    }
    Ref cls = call(reinterpret_cast<PyObject *>(&PyType_Type), name.get(), bases.get(), ns.get());
    if (!cls) return {};
    restricted.base.keep(base.get());
    restricted.cls.keep(cls.get());
    restricted.error.keep(error.get());
    return cls;
}

// ----- text files -----

}  // namespace

Ref file_extension(PyObject *file_path) noexcept {
    Ref os = global(n_os);
    if (!os) return {};
    Ref os_path = get_attr(os.get(), n_path);
    if (!os_path) return {};
    Ref parts = call_method(os_path.get(), n_splitext, file_path);
    if (!parts) return {};
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one) return {};
    Ref ext = Ref::steal(PyObject_GetItem(parts.get(), one.get()));
    if (!ext) return {};
    return call_method(ext.get(), n_lower);
}

int is_pickle_extension(PyObject *ext) noexcept {
    const int pkl = PyObject_RichCompareBool(ext, n_pkl, Py_EQ);
    return pkl != 0 ? pkl : PyObject_RichCompareBool(ext, n_pickle_ext, Py_EQ);
}

Ref load_pickle_file(PyObject *file_path) noexcept {
    Ref open = global(n_open);
    if (!open) return {};
    Ref file = call(open.get(), file_path, n_mode_read_bytes.get());
    if (!file) return {};
    Ref data;
    const bool completed = with_block(file.get(), [&](PyObject *f) {
        Ref cls = restricted_unpickler();
        Ref unpickler = cls ? call(cls.get(), f) : Ref();
        data = unpickler ? call_method(unpickler.get(), n_load) : Ref();
        return static_cast<bool>(data);
    });
    if (!completed) return {};
    if (!data) {  // __exit__ suppressed the failure
        raise_unbound_local("data");
        return {};
    }
    const int is_list = PyObject_IsInstance(data.get(), reinterpret_cast<PyObject *>(&PyList_Type));
    if (is_list < 0) return {};
    if (!is_list) {
        Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(data.get())));
        if (!type_name) return {};
        Ref message = prefixed("pickle 文件内容必须是 list，当前类型: ", type_name.get());
        if (message) PyErr_SetObject(PyExc_ValueError, message.get());
        return {};
    }
    Ref words = Ref::steal(PyList_New(0));
    Ref iter = Ref::steal(PyObject_GetIter(data.get()));
    if (!words || !iter) return {};
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        Ref text = Ref::steal(PyObject_Str(item.get()));
        if (!text || PyList_Append(words.get(), text.get()) < 0) return {};
    }
    if (PyErr_Occurred()) return {};
    return words;
}

Ref load_text_file_through_open(PyObject *file_path) noexcept {
    Ref open = global(n_open);
    if (!open) return {};
    Ref file = call_kw(open.get(), encoding_keyword, file_path, n_mode_read, n_utf8);
    if (!file) return {};
    Ref words = Ref::steal(PyList_New(0));
    if (!words) return {};
    const bool completed = with_block(file.get(), [&](PyObject *f) {
        Ref lines = Ref::steal(PyObject_GetIter(f));
        if (!lines) return false;
        while (Ref line = Ref::steal(PyIter_Next(lines.get()))) {
            Ref word = strip(line.get());
            if (!word || PyList_Append(words.get(), word.get()) < 0) return false;
        }
        return !PyErr_Occurred();
    });
    // A suppressed failure returns the lines read so far, as the Python code would.
    return completed ? words : Ref();
}

namespace {

// The bytes open(file_path, "r", encoding="utf-8") would decode, read through io.FileIO,
// which open() itself opens first: the same audit event and the same errors.
Ref file_bytes(PyObject *file_path) {
    Ref io = Ref::steal(PyImport_ImportModule("io"));
    Ref file_io = io ? get_attr(io.get(), n_file_io) : Ref();
    Ref file = file_io ? call(file_io.get(), file_path) : Ref();
    if (!file) return {};
    Ref bytes;
    // with io.FileIO(file_path) as f: bytes = f.readall()
    const bool completed = with_block(file.get(), [&](PyObject *f) {
        bytes = call_method(f, n_readall);
        return static_cast<bool>(bytes);
    });
    return completed && bytes && PyBytes_Check(bytes.get()) ? bytes : Ref();
}

// str.isspace() for ASCII: "\t" to "\r", "\x1c" to "\x1f" and the space.
bool ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f); }

// The line bytes[start:end] decoded and stripped as str.strip() strips. Read::through_open,
// with no exception set, when it is not UTF-8.
Read line_word(const unsigned char *start, const unsigned char *end, bool ascii, Ref &word) {
    if (!ascii) {
        Ref text = Ref::steal(PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(start), end - start, nullptr));
        if (!text) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return Read::failed;
            PyErr_Clear();
            return Read::through_open;
        }
        word = strip(text.get());
        return word ? Read::done : Read::failed;
    }
    while (start < end && ascii_space(*start)) ++start;
    while (end > start && ascii_space(end[-1])) --end;
    word = Ref::steal(PyUnicode_New(end - start, 127));
    if (!word) return Read::failed;
    std::memcpy(PyUnicode_1BYTE_DATA(word.get()), start, static_cast<std::size_t>(end - start));
    return Read::done;
}

}  // namespace

// Every line split as text mode splits: at "\n", "\r" and "\r\n" only (not at the other
// line ends str.splitlines() knows), with no empty line after a final line end. Line ends
// never fall inside a UTF-8 sequence, so each line decodes on its own.
Read read_text_words(PyObject *file_path, const WordSink &sink,
                     const std::function<void(std::size_t)> &expect) noexcept {
    const int original = PyUnicode_CheckExact(file_path) ? open_guard.holds() : 0;
    if (original <= 0) return original < 0 ? Read::failed : Read::through_open;
    Ref bytes = file_bytes(file_path);
    if (!bytes) return PyErr_Occurred() ? Read::failed : Read::through_open;
    const auto *p = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(bytes.get()));
    const unsigned char *end = p + PyBytes_GET_SIZE(bytes.get());
    if (expect) expect(static_cast<std::size_t>(end - p));
    while (p < end) {
        const unsigned char *start = p;
        unsigned char high = 0;
        while (p < end && *p != '\n' && *p != '\r') high |= *p++;
        Ref word;
        const Read line = line_word(start, p, high < 0x80, word);
        if (line != Read::done) return line;
        if (!sink(std::move(word))) return Read::failed;
        if (p < end && *p++ == '\r' && p < end && *p == '\n') ++p;
    }
    return Read::done;
}

Ref load_text_file(PyObject *file_path) noexcept {
    Ref words = Ref::steal(PyList_New(0));
    if (!words) return {};
    const Read read =
        read_text_words(file_path, [&](Ref word) { return PyList_Append(words.get(), word.get()) == 0; });
    if (read == Read::through_open) return load_text_file_through_open(file_path);  // a new list
    return read == Read::done ? words : Ref();
}

bool write_pickle_file(PyObject *words, PyObject *output_path) noexcept {
    Ref open = global(n_open);
    if (!open) return false;
    Ref file = call(open.get(), output_path, n_mode_write_bytes.get());
    if (!file) return false;
    return with_block(file.get(), [&](PyObject *f) {
        Ref pickle = global(n_pickle);
        return pickle && call_method(pickle.get(), n_dump, words, f);
    });
}

}  // namespace carvola::vantor
