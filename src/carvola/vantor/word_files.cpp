// Banned-word files: the extension rule, pickle files read through an unpickler that
// refuses every global, text files read natively while `open` is the original, and the
// pickle writer.
#include "word_files.hpp"

#include "numbers.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

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
Name n_pkl{".pkl"};
Name n_pickle_ext{".pickle"};

Retained original_open;
Retained kwnames_encoding;

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

// Files above this size go through open(), which reads them in chunks.
constexpr off_t kWholeFileLimit = off_t{1} << 30;

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor() { close(fd_); }

private:
    int fd_;
};

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
    WithBlock with;
    if (!with.enter(file.get())) return {};
    Ref data;
    if (Ref cls = restricted_unpickler()) {
        if (Ref unpickler = call(cls.get(), with.target())) data = call_method(unpickler.get(), n_load);
    }
    if (with.exit(static_cast<bool>(data)) == WithBlock::Exit::failed) return {};
    if (!data) {
        PyErr_SetString(PyExc_UnboundLocalError,
                        "cannot access local variable 'data' where it is not associated with a value");
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
    PyObject *kwnames = names_tuple(kwnames_encoding, {&n_encoding});
    if (kwnames == nullptr) return {};
    PyObject *argv[] = {nullptr, file_path, n_mode_read, n_utf8};
    Ref file = Ref::steal(PyObject_Vectorcall(open.get(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    if (!file) return {};
    Ref words = Ref::steal(PyList_New(0));
    if (!words) return {};
    WithBlock with;
    if (!with.enter(file.get())) return {};
    bool read = false;
    if (Ref lines = Ref::steal(PyObject_GetIter(with.target()))) {
        read = true;
        while (Ref line = Ref::steal(PyIter_Next(lines.get()))) {
            Ref word = strip(line.get());
            if (!word || PyList_Append(words.get(), word.get()) < 0) {
                read = false;
                break;
            }
        }
        read = read && !PyErr_Occurred();
    }
    // A suppressed failure returns the lines read so far, as the Python code would.
    if (with.exit(read) == WithBlock::Exit::failed) return {};
    return words;
}

bool remember_open() noexcept {
    Ref io = Ref::steal(PyImport_ImportModule("io"));
    if (!io) return false;
    Ref open = Ref::steal(PyObject_GetAttrString(io.get(), "open"));
    if (!open) return false;
    original_open.keep(open.get());
    return true;
}

int open_is_original() noexcept {
    Ref open = global(n_open);
    if (!open) return -1;
    return open.get() == original_open.get() ? 1 : 0;
}

Read read_file_bytes(PyObject *file_path, FileBytes &bytes) noexcept {
    PyObject *encoded = nullptr;
    if (!PyUnicode_FSConverter(file_path, &encoded)) {
        PyErr_Clear();
        return Read::through_open;
    }
    Ref encoded_path = Ref::steal(encoded);
    const char *path = PyBytes_AS_STRING(encoded);
    struct stat info;
    if (stat(path, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kWholeFileLimit) return Read::through_open;

    // What open() does first: the audit event, then the system call.
    constexpr int kFlags = O_RDONLY | O_CLOEXEC;
    if (PySys_Audit("open", "Osi", file_path, "r", kFlags) < 0) return Read::failed;
    int fd;
    do fd = open(path, kFlags);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, file_path);
        return Read::failed;
    }
    FileDescriptor file(fd);
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return Read::through_open;

    // Left uninitialised: read() fills what is used.
    std::size_t capacity = static_cast<std::size_t>(info.st_size) + 1;
    bytes.size = 0;
    try {
        bytes.data.reset(new unsigned char[capacity]);
        for (;;) {
            if (bytes.size == capacity) {
                std::unique_ptr<unsigned char[]> larger(new unsigned char[capacity * 2]);
                std::memcpy(larger.get(), bytes.data.get(), bytes.size);
                bytes.data = std::move(larger);
                capacity *= 2;
            }
            const ssize_t got = read(fd, bytes.data.get() + bytes.size, capacity - bytes.size);
            if (got > 0) {
                bytes.size += static_cast<std::size_t>(got);
            } else if (got == 0) {
                return Read::done;
            } else if (errno != EINTR) {
                PyErr_SetFromErrno(PyExc_OSError);
                return Read::failed;
            }
        }
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return Read::failed;
    }
}

namespace {

// str.isspace() for ASCII: "\t" to "\r", "\x1c" to "\x1f" and the space.
bool ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f); }

// One UTF-8 sequence at p (p < end) as the strict decoder takes it: its length and code
// point, or 0 for a sequence the decoder refuses (a stray or overlong form, a surrogate,
// a code point past U+10FFFF, a cut-off sequence).
int utf8_sequence(const unsigned char *p, const unsigned char *end, Py_UCS4 &c) {
    const unsigned char b0 = p[0];
    auto continuation = [&](std::ptrdiff_t i) { return (p[i] & 0xC0) == 0x80; };
    if (b0 < 0x80) {
        c = b0;
        return 1;
    }
    if (b0 < 0xC2) return 0;
    if (b0 < 0xE0) {
        if (end - p < 2 || !continuation(1)) return 0;
        c = (static_cast<Py_UCS4>(b0 & 0x1F) << 6) | (p[1] & 0x3F);
        return 2;
    }
    if (b0 < 0xF0) {
        if (end - p < 3 || !continuation(1) || !continuation(2)) return 0;
        if ((b0 == 0xE0 && p[1] < 0xA0) || (b0 == 0xED && p[1] >= 0xA0)) return 0;
        c = (static_cast<Py_UCS4>(b0 & 0x0F) << 12) | (static_cast<Py_UCS4>(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
        return 3;
    }
    if (b0 < 0xF5) {
        if (end - p < 4 || !continuation(1) || !continuation(2) || !continuation(3)) return 0;
        if ((b0 == 0xF0 && p[1] < 0x90) || (b0 == 0xF4 && p[1] >= 0x90)) return 0;
        c = (static_cast<Py_UCS4>(b0 & 0x07) << 18) | (static_cast<Py_UCS4>(p[1] & 0x3F) << 12) |
            (static_cast<Py_UCS4>(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
        return 4;
    }
    return 0;
}

// bytes[start:stop] decoded as UTF-8 into a str of the narrowest kind.
Line decode_utf8(const unsigned char *start, const unsigned char *stop, Ref &text) {
    Py_ssize_t count = 0;
    Py_UCS4 widest = 0, c;
    for (const unsigned char *p = start; p < stop; ++count) {
        const int n = utf8_sequence(p, stop, c);
        if (n == 0) return Line::invalid;
        widest = std::max(widest, c);
        p += n;
    }
    text = Ref::steal(PyUnicode_New(count, widest));
    if (!text) return Line::failed;
    const int kind = PyUnicode_KIND(text.get());
    void *data = PyUnicode_DATA(text.get());
    Py_ssize_t i = 0;
    for (const unsigned char *p = start; p < stop; ++i) {
        p += utf8_sequence(p, stop, c);
        PyUnicode_WRITE(kind, data, i, c);
    }
    return Line::done;
}

}  // namespace

Line line_word(const unsigned char *start, const unsigned char *end, const unsigned char **stop, Ref &word) noexcept {
    const unsigned char *p = start;
    unsigned char high = 0;
    while (p < end && *p != '\n' && *p != '\r') high |= *p++;
    *stop = p;
    if (high >= 0x80) {
        Ref text;
        const Line line = decode_utf8(start, p, text);
        if (line != Line::done) return line;
        word = strip(text.get());
        return word ? Line::done : Line::failed;
    }
    while (start < p && ascii_space(*start)) ++start;
    while (p > start && ascii_space(p[-1])) --p;
    word = Ref::steal(PyUnicode_New(p - start, 127));
    if (!word) return Line::failed;
    std::memcpy(PyUnicode_1BYTE_DATA(word.get()), start, static_cast<std::size_t>(p - start));
    return Line::done;
}

Ref load_text_file(PyObject *file_path) noexcept {
    const int original = PyUnicode_CheckExact(file_path) ? open_is_original() : 0;
    if (original < 0) return {};
    if (original) {
        FileBytes bytes;
        const Read read = read_file_bytes(file_path, bytes);
        if (read == Read::failed) return {};
        if (read == Read::done) {
            Ref words = Ref::steal(PyList_New(0));
            if (!words) return {};
            const Line lines =
                for_each_line_word(bytes, [&](Ref word) { return PyList_Append(words.get(), word.get()) == 0; });
            if (lines == Line::failed) return {};
            if (lines == Line::done) return words;
        }
    }
    return load_text_file_through_open(file_path);
}

bool write_pickle_file(PyObject *words, PyObject *output_path) noexcept {
    Ref open = global(n_open);
    if (!open) return false;
    Ref file = call(open.get(), output_path, n_mode_write_bytes.get());
    if (!file) return false;
    WithBlock with;
    if (!with.enter(file.get())) return false;
    Ref pickle = global(n_pickle);
    const bool dumped = pickle && call_method(pickle.get(), n_dump, words, with.target());
    return with.exit(dumped) != WithBlock::Exit::failed;
}

}  // namespace carvola::vantor
