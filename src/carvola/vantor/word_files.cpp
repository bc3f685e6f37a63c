// Banned-word files: the extension rule, pickle files read through an unpickler that
// refuses every global, text files read natively while `open` is the original, and the
// pickle writer.
#include "word_files.hpp"

#include "guard.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

// Files above this size go through open(), which reads them in chunks.
constexpr off_t kWholeFileLimit = off_t{1} << 30;

// A file's bytes, read whole.
struct FileBytes {
    std::unique_ptr<unsigned char[]> data;
    std::size_t size = 0;
};

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

// The bytes open(file_path, "r", encoding="utf-8") would decode. A file this does not read
// the same way (not a regular file, too large) is left to open(): Read::through_open,
// with no exception set.
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
Read read_text_words(PyObject *file_path, const WordSink &sink) noexcept {
    const int original = PyUnicode_CheckExact(file_path) ? open_guard.holds() : 0;
    if (original <= 0) return original < 0 ? Read::failed : Read::through_open;
    FileBytes bytes;
    const Read read = read_file_bytes(file_path, bytes);
    if (read != Read::done) return read;
    const unsigned char *p = bytes.data.get();
    const unsigned char *end = p + bytes.size;
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
