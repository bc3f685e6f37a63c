// carvola.vantor: PromptBanChecker, which merges a banned-word list from the built-in list,
// injected words and word files, and finds banned words in prompt text.
#include "errors.hpp"
#include "module.hpp"
#include "numbers.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

namespace carvola::vantor {
namespace {

Name n_os{"os"};
Name n_path{"path"};
Name n_exists{"exists"};
Name n_splitext{"splitext"};
Name n_open{"open"};
Name n_pickle{"pickle"};
Name n_loads{"loads"};
Name n_dump{"dump"};
Name n_load{"load"};
Name n_unpickler{"Unpickler"};
Name n_unpickling_error{"UnpicklingError"};
Name n_re{"re"};
Name n_escape{"escape"};
Name n_compile{"compile"};
Name n_ignorecase_flag{"IGNORECASE"};
Name n_flags{"flags"};
Name n_search{"search"};
Name n_findall{"findall"};
Name n_ahocorasick{"ahocorasick"};
Name n_automaton_type{"Automaton"};
Name n_add_word{"add_word"};
Name n_make_automaton{"make_automaton"};
Name n_iter{"iter"};
Name n_strip{"strip"};
Name n_lower{"lower"};
Name n_enter{"__enter__"};
Name n_exit{"__exit__"};
Name n_encoding{"encoding"};
Name n_mode_read{"r"};
Name n_mode_read_bytes{"rb"};
Name n_mode_write_bytes{"wb"};
Name n_utf8{"utf-8"};
Name n_pkl{".pkl"};
Name n_pickle_ext{".pickle"};
Name n_comma{","};
Name n_bar{"|"};
Name n_sildor{"_sildor"};
Name n_encrypted_data{"_ED"};
Name n_encryption_key{"_EK"};
Name n_xor{"_xor"};
Name n_load_default_words{"_load_default_words"};
Name n_ac_threshold{"_AC_THRESHOLD"};
Name n_has_ac{"_HAS_AC"};
Name n_prompt_ban_error{"PromptBanError"};
Name n_error_msg{"error_msg"};
Name n_data{"data"};
Name n_ban_word_file{"ban_word_file"};
Name n_ignore_case{"ignore_case"};
Name n_builtin_words{"builtin_words"};
Name n_use_default{"use_default"};
Name n_exclude_words{"exclude_words"};
Name n_banned_words{"banned_words"};
Name n_ban_regex{"_ban_regex"};
Name n_automaton{"_automaton"};
Name n_load_banned_words{"load_banned_words"};
Name n_load_from_file{"_load_from_file"};
Name n_build_engine{"_build_engine"};
Name n_build_automaton{"_build_automaton"};
Name n_find_matched_words{"find_matched_words"};
Name n_has_banned_word{"_has_banned_word"};
Name n_prompt_ban_checker{"PromptBanChecker"};

// What the fast paths compare against: while the module global `open` is still io.open,
// word files are read natively, and while an instance's _load_from_file is still the
// original one, the merge reads text files straight into the word list.
Retained original_open;
Retained original_load_from_file;

// Keyword-name tuples of the calls made with keywords.
Retained kwnames_encoding;
Retained kwnames_flags;
Retained kwnames_ban_error;
Retained sildor_fromlist;

// ----- small statement helpers -----

// Builds a tuple of the given names once and keeps it.
PyObject *names_tuple(Retained &cache, std::initializer_list<const Name *> names) {
    if (cache.get() != nullptr) return cache.get();
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!tuple) return nullptr;
    Py_ssize_t i = 0;
    for (const Name *n : names) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(n->get()));
    cache.keep(tuple.get());
    return cache.get();
}

// obj.name(args...), looked up as a method call does.
template <typename... A>
Ref call_method(PyObject *obj, PyObject *name, A... args) {
    PyObject *argv[] = {obj, args...};
    return Ref::steal(
        PyObject_VectorcallMethod(name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <typename... A>
Ref call(PyObject *callable, A... args) {
    PyObject *argv[] = {nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

bool set_attr(PyObject *obj, PyObject *name, PyObject *value) { return PyObject_SetAttr(obj, name, value) == 0; }

// The truth value of an attribute of `obj`: 1, 0, or -1 on error.
int attr_truth(PyObject *obj, PyObject *name) {
    Ref value = get_attr(obj, name);
    return value ? PyObject_IsTrue(value.get()) : -1;
}

// head + tail, with `head` a UTF-8 literal.
Ref prefixed(const char *head, PyObject *tail) {
    Ref text = Ref::steal(PyUnicode_FromString(head));
    if (!text) return {};
    return Ref::steal(PyUnicode_Concat(text.get(), tail));
}

// ----- str.strip() -----

struct Span {
    Py_ssize_t start, end;
};

// The part of text[start:end] that str.strip() keeps.
template <typename Char>
Span strip_span(const Char *data, Py_ssize_t start, Py_ssize_t end) {
    while (start < end && Py_UNICODE_ISSPACE(data[start])) ++start;
    while (end > start && Py_UNICODE_ISSPACE(data[end - 1])) --end;
    return {start, end};
}

Span strip_span(PyObject *text, Py_ssize_t start, Py_ssize_t end) {
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: return strip_span(PyUnicode_1BYTE_DATA(text), start, end);
        case PyUnicode_2BYTE_KIND: return strip_span(PyUnicode_2BYTE_DATA(text), start, end);
        default: return strip_span(PyUnicode_4BYTE_DATA(text), start, end);
    }
}

// obj.strip(): natively for an exact str, whose methods nobody can replace.
Ref strip(PyObject *obj) {
    if (!PyUnicode_CheckExact(obj)) return call_method(obj, n_strip);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(obj);
    const Span kept = strip_span(obj, 0, length);
    if (kept.start == 0 && kept.end == length) return Ref::borrow(obj);
    return Ref::steal(PyUnicode_Substring(obj, kept.start, kept.end));
}

// ----- the with statement -----

// A special method as the with statement finds it: on the type, bound to `obj`. Null
// without an exception when the type has none.
Ref special_method(PyObject *obj, PyObject *name) {
    Ref descr = Ref::borrow(_PyType_Lookup(Py_TYPE(obj), name));
    if (!descr) return {};
    descrgetfunc bind = Py_TYPE(descr.get())->tp_descr_get;
    if (bind == nullptr) return descr;
    return Ref::steal(bind(descr.get(), obj, reinterpret_cast<PyObject *>(Py_TYPE(obj))));
}

enum class Exit { normal, suppressed, failed };

// with <manager> as target: body(target). A failing body (false, exception set) hands its
// exception to __exit__, which may suppress it; an exception of __exit__ itself gets the
// body's as context, as it does while Python handles an exception.
template <typename Body>
Exit with_block(PyObject *manager, Body &&body) {
    Ref enter = special_method(manager, n_enter);
    if (!enter) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                         Py_TYPE(manager)->tp_name);
        return Exit::failed;
    }
    Ref exit = special_method(manager, n_exit);
    if (!exit) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError,
                         "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                         Py_TYPE(manager)->tp_name);
        return Exit::failed;
    }
    Ref target = Ref::steal(PyObject_CallNoArgs(enter.get()));
    if (!target) return Exit::failed;
    if (body(target.get())) {
        Ref done = call(exit.get(), Py_None, Py_None, Py_None);
        return done ? Exit::normal : Exit::failed;
    }
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr) PyException_SetTraceback(value, tb);
    Ref error_type = Ref::steal(type), error = Ref::steal(value), traceback = Ref::steal(tb);
    Ref handled = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(error.get());
    Ref answer = call(exit.get(), error_type.get(), error.get(), traceback ? traceback.get() : Py_None);
    const int suppress = answer ? PyObject_IsTrue(answer.get()) : -1;
    PyErr_SetHandledException(handled.get());
    if (suppress < 0) return Exit::failed;
    if (suppress) return Exit::suppressed;
    PyErr_Restore(error_type.release(), error.release(), traceback.release());
    return Exit::failed;
}

// ----- word files -----

// os.path.splitext(file_path)[1].lower()
Ref file_extension(PyObject *file_path) {
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

// ext == ".pkl" or ext == ".pickle": 1, 0, or -1 on error.
int is_pickle_extension(PyObject *ext) {
    const int pkl = PyObject_RichCompareBool(ext, n_pkl, Py_EQ);
    return pkl != 0 ? pkl : PyObject_RichCompareBool(ext, n_pickle_ext, Py_EQ);
}

// Word files are pickles of plain data: the unpickler refuses every global, so a file
// can neither run code nor build objects of any class.
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

// The restricted subclass of the current module global pickle's Unpickler.
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

Ref load_pickle_file(PyObject *file_path) {
    Ref open = global(n_open);
    if (!open) return {};
    Ref file = call(open.get(), file_path, n_mode_read_bytes.get());
    if (!file) return {};
    Ref data;
    const Exit exit = with_block(file.get(), [&](PyObject *f) {
        Ref cls = restricted_unpickler();
        if (!cls) return false;
        Ref unpickler = call(cls.get(), f);
        if (!unpickler) return false;
        data = call_method(unpickler.get(), n_load);
        return static_cast<bool>(data);
    });
    if (exit == Exit::failed) return {};
    if (!data) {
        PyErr_SetString(PyExc_UnboundLocalError, "cannot access local variable 'data' where it is not associated with a value");
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

// Text mode as the general path: open(file_path, "r", encoding="utf-8"), every line
// stripped, blank lines kept as "".
Ref load_text_file_through_open(PyObject *file_path) {
    Ref open = global(n_open);
    if (!open) return {};
    PyObject *kwnames = names_tuple(kwnames_encoding, {&n_encoding});
    if (kwnames == nullptr) return {};
    PyObject *argv[] = {nullptr, file_path, n_mode_read, n_utf8};
    Ref file = Ref::steal(PyObject_Vectorcall(open.get(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    if (!file) return {};
    Ref words = Ref::steal(PyList_New(0));
    if (!words) return {};
    const Exit exit = with_block(file.get(), [&](PyObject *f) {
        Ref iter = Ref::steal(PyObject_GetIter(f));
        if (!iter) return false;
        while (Ref line = Ref::steal(PyIter_Next(iter.get()))) {
            Ref word = strip(line.get());
            if (!word || PyList_Append(words.get(), word.get()) < 0) return false;
        }
        return !PyErr_Occurred();
    });
    if (exit == Exit::failed) return {};
    return words;
}

// Calls sink(text, start, end) with the stripped span of every line of `text`, split as
// text mode splits: at "\n", "\r" and "\r\n" only (not at the other characters that
// str.splitlines() takes for line ends), with no empty line after a final line end.
template <typename Char, typename Sink>
bool for_each_stripped_line(PyObject *text, const Char *data, Py_ssize_t length, Sink &sink) {
    Py_ssize_t start = 0;
    while (start < length) {
        Py_ssize_t end = start;
        while (end < length && data[end] != '\n' && data[end] != '\r') ++end;
        const Span kept = strip_span(data, start, end);
        if (!sink(text, kept.start, kept.end)) return false;
        if (end < length && data[end] == '\r' && end + 1 < length && data[end + 1] == '\n') ++end;
        start = end + 1;
    }
    return true;
}

template <typename Sink>
bool for_each_stripped_line(PyObject *text, Sink &sink) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: return for_each_stripped_line(text, PyUnicode_1BYTE_DATA(text), length, sink);
        case PyUnicode_2BYTE_KIND: return for_each_stripped_line(text, PyUnicode_2BYTE_DATA(text), length, sink);
        default: return for_each_stripped_line(text, PyUnicode_4BYTE_DATA(text), length, sink);
    }
}

// Files above this size go through open(), which reads them in chunks.
constexpr off_t kWholeFileLimit = off_t{1} << 30;

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

enum class Read { done, through_open, failed };

// The whole of a regular file decoded as UTF-8, as open(file_path, "r", encoding="utf-8")
// would give it. Anything this does not read the same way (not a regular file, too large,
// not valid UTF-8) is left to open(), which then raises its own error: the file is read
// once more in that case.
Read read_utf8_file(PyObject *file_path, Ref &text) {
    PyObject *encoded = nullptr;
    if (!PyUnicode_FSConverter(file_path, &encoded)) {
        PyErr_Clear();
        return Read::through_open;
    }
    Ref encoded_path = Ref::steal(encoded);
    const char *path = PyBytes_AS_STRING(encoded);
    struct stat info;
    if (stat(path, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kWholeFileLimit) return Read::through_open;

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

    std::string bytes;
    bytes.resize(static_cast<std::size_t>(info.st_size) + 1);
    std::size_t used = 0;
    for (;;) {
        if (used == bytes.size()) bytes.resize(bytes.size() * 2);
        const ssize_t got = read(fd, bytes.data() + used, bytes.size() - used);
        if (got > 0) {
            used += static_cast<std::size_t>(got);
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            PyErr_SetFromErrno(PyExc_OSError);
            return Read::failed;
        }
    }
    text = Ref::steal(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(used), "strict"));
    if (text) return Read::done;
    PyErr_Clear();
    return Read::through_open;
}

// 1 while the module global `open` is io.open, 0 when it was replaced, -1 on error.
int open_is_original() {
    Ref open = global(n_open);
    if (!open) return -1;
    return open.get() == original_open.get() ? 1 : 0;
}

// The text branch of _load_from_file.
Ref load_text_file(PyObject *file_path) {
    const int original = PyUnicode_CheckExact(file_path) ? open_is_original() : 0;
    if (original < 0) return {};
    if (original) {
        Ref text;
        const Read read = read_utf8_file(file_path, text);
        if (read == Read::failed) return {};
        if (read == Read::done) {
            Ref words = Ref::steal(PyList_New(0));
            if (!words) return {};
            auto append = [&](PyObject *t, Py_ssize_t start, Py_ssize_t end) {
                Ref word = Ref::steal(PyUnicode_Substring(t, start, end));
                return word && PyList_Append(words.get(), word.get()) == 0;
            };
            if (!for_each_stripped_line(text.get(), append)) return {};
            return words;
        }
    }
    return load_text_file_through_open(file_path);
}

Ref load_from_file(PyObject *file_path) {
    Ref ext = file_extension(file_path);
    if (!ext) return {};
    const int pickled = is_pickle_extension(ext.get());
    if (pickled < 0) return {};
    return pickled ? load_pickle_file(file_path) : load_text_file(file_path);
}

constexpr Function load_from_file_contract{
    .name = "_load_from_file",
    .kind = Kind::staticmethod,
    .params = {{"file_path", Conv::str, "str"}},
    .returns = Ret::list,
    .return_annotation = "List[str]",
    .doc = "\n"
           "        根据文件扩展名加载违禁词列表。\n"
           "        - .pkl / .pickle: 使用 pickle 反序列化（期望内容为 list[str]）\n"
           "        - 其他: 按文本行逐行读取\n"
           "        ",
    .body = native<load_from_file>(),
};

// ----- the built-in list -----

Ref xor_bytes(PyObject *data, PyObject *key) {
    const Py_ssize_t length = PyBytes_GET_SIZE(data);
    const Py_ssize_t key_len = PyBytes_GET_SIZE(key);
    if (length > 0 && key_len == 0) {
        PyErr_SetString(PyExc_ZeroDivisionError, "integer modulo by zero");
        return {};
    }
    Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, length));
    if (!out) return {};
    const unsigned char *in = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(data));
    const unsigned char *k = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(key));
    unsigned char *o = reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(out.get()));
    for (Py_ssize_t i = 0, j = 0; i < length; ++i) {
        o[i] = in[i] ^ k[j];
        if (++j == key_len) j = 0;
    }
    return out;
}

constexpr Function xor_contract{
    .name = "_xor",
    .kind = Kind::function,
    .params = {{"data", Conv::bytes, "bytes"}, {"key", Conv::bytes, "bytes"}},
    .return_annotation = "bytes",
    .body = native<xor_bytes>(),
};

// from ._sildor import _ED, _EK; pickle.loads(_xor(_ED, _EK)), which must be a list or None.
Ref unpickled_default_words() {
    PyObject *fromlist = names_tuple(sildor_fromlist, {&n_encrypted_data, &n_encryption_key});
    if (fromlist == nullptr) return {};
    Ref sildor = import_module(n_sildor.text(), fromlist, 1);
    if (!sildor) return {};
    Ref data = import_name(sildor.get(), n_encrypted_data);
    if (!data) return {};
    Ref key = import_name(sildor.get(), n_encryption_key);
    if (!key) return {};
    Ref xor_fn = global(n_xor);
    if (!xor_fn) return {};
    Ref raw = call(xor_fn.get(), data.get(), key.get());
    if (!raw) return {};
    Ref pickle = global(n_pickle);
    if (!pickle) return {};
    Ref words = call_method(pickle.get(), n_loads, raw.get());
    if (!words) return {};
    if (PyList_CheckExact(words.get()) || words.get() == Py_None) return words;
    PyErr_SetString(PyExc_TypeError, "the built-in word list is not a list");
    return {};
}

Ref load_default_words() {
    Ref words = unpickled_default_words();
    if (words) return words;
    // A missing or broken built-in list only means no built-in words; interrupts and
    // exits still propagate.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
    PyErr_Clear();
    return Ref::steal(PyList_New(0));
}

constexpr Function load_default_words_contract{
    .name = "_load_default_words",
    .kind = Kind::function,
    .returns = Ret::list,
    .return_annotation = "List[str]",
    .doc = "\n"
           "    从加密的内置词库加载违禁词。\n"
           "    _sildor 模块由独立的构建脚本生成，内含经 XOR 加密的 pickle 数据，\n"
           "    随包内的扩展模块一同发布，缺失或损坏时返回空列表。\n"
           "    ",
    .body = native<load_default_words>(),
};

// ----- merging -----

// The local state of load_banned_words: the words met so far and the list in load order.
struct Merge {
    Ref seen = Ref::steal(PySet_New(nullptr));
    Ref words = Ref::steal(PyList_New(0));

    // A stripped exact str: one set insertion tells whether it is new.
    bool add_text(PyObject *w) {
        if (PyUnicode_GET_LENGTH(w) == 0) return true;
        const Py_ssize_t before = PySet_GET_SIZE(seen.get());
        if (PySet_Add(seen.get(), w) < 0) return false;
        return PySet_GET_SIZE(seen.get()) == before || PyList_Append(words.get(), w) == 0;
    }

    // w = word.strip(); if w and w not in seen: seen.add(w); word_list.append(w)
    bool add(PyObject *word) {
        Ref w = strip(word);
        if (!w) return false;
        if (PyUnicode_CheckExact(w.get())) return add_text(w.get());
        const int truth = PyObject_IsTrue(w.get());
        if (truth <= 0) return truth == 0;
        const int found = PySequence_Contains(seen.get(), w.get());
        if (found != 0) return found > 0;
        return PySet_Add(seen.get(), w.get()) == 0 && PyList_Append(words.get(), w.get()) == 0;
    }

    // _add_words(source)
    bool add_all(PyObject *source) {
        if (PyList_CheckExact(source)) {
            // A list iterator's walk: the length is read again after every item.
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(source); ++i) {
                Ref word = Ref::borrow(PyList_GET_ITEM(source, i));
                if (!add(word.get())) return false;
            }
            return true;
        }
        Ref iter = Ref::steal(PyObject_GetIter(source));
        if (!iter) return false;
        while (Ref word = Ref::steal(PyIter_Next(iter.get())))
            if (!add(word.get())) return false;
        return !PyErr_Occurred();
    }
};

// Step 5 of the merge, the word file, when the instance's _load_from_file is the
// original: a text file goes line by line straight into the merge, without the list
// _load_from_file would build.
bool add_file_words(Merge &merge, PyObject *file_path) {
    Ref ext = file_extension(file_path);
    if (!ext) return false;
    const int pickled = is_pickle_extension(ext.get());
    if (pickled < 0) return false;
    if (!pickled) {
        const int original = open_is_original();
        if (original < 0) return false;
        if (original) {
            Ref text;
            const Read read = read_utf8_file(file_path, text);
            if (read == Read::failed) return false;
            if (read == Read::done) {
                auto add = [&](PyObject *t, Py_ssize_t start, Py_ssize_t end) {
                    if (start == end) return true;
                    Ref word = Ref::steal(PyUnicode_Substring(t, start, end));
                    return word && merge.add_text(word.get());
                };
                return for_each_stripped_line(text.get(), add);
            }
        }
    }
    Ref words = pickled ? load_pickle_file(file_path) : load_text_file_through_open(file_path);
    return words && merge.add_all(words.get());
}

// Lower-casing never changes a str's length except for U+0130, whose lower case is two
// characters, so a word of another length than every exclusion entry can skip lower().
bool lower_keeps_length(PyObject *w) {
    const int kind = PyUnicode_KIND(w);
    if (kind == PyUnicode_1BYTE_KIND) return true;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(w);
    const void *data = PyUnicode_DATA(w);
    for (Py_ssize_t i = 0; i < length; ++i)
        if (PyUnicode_READ(kind, data, i) == 0x130) return false;
    return true;
}

// Step 6: the words that no exclusion entry removes, in a new list. `ignore_case`
// compares lower-cased words with the lower-cased entries.
Ref without_excluded(PyObject *self, PyObject *words) {
    Ref exclude_words = get_attr(self, n_exclude_words);
    if (!exclude_words) return {};
    const int any = PyObject_IsTrue(exclude_words.get());
    if (any <= 0) return any == 0 ? Ref::borrow(words) : Ref{};
    const int ignore_case = attr_truth(self, n_ignore_case);
    if (ignore_case < 0) return {};

    Ref exclude_set = Ref::steal(PySet_New(nullptr));
    Ref iter = Ref::steal(PyObject_GetIter(exclude_words.get()));
    if (!exclude_set || !iter) return {};
    std::vector<Py_ssize_t> lengths;  // of the entries, while all are exact str
    bool all_text = true;
    while (Ref e = Ref::steal(PyIter_Next(iter.get()))) {
        // {e.strip()[.lower()] for e in exclude_words if e.strip()}: strip runs twice
        // unless it is str's own.
        Ref condition = strip(e.get());
        if (!condition) return {};
        const int truth = PyObject_IsTrue(condition.get());
        if (truth < 0) return {};
        if (!truth) continue;
        Ref entry = PyUnicode_CheckExact(e.get()) ? std::move(condition) : strip(e.get());
        if (entry && ignore_case) entry = call_method(entry.get(), n_lower);
        if (!entry || PySet_Add(exclude_set.get(), entry.get()) < 0) return {};
        if (PyUnicode_CheckExact(entry.get()))
            lengths.push_back(PyUnicode_GET_LENGTH(entry.get()));
        else
            all_text = false;
    }
    if (PyErr_Occurred()) return {};

    Ref kept = Ref::steal(PyList_New(0));
    if (!kept) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(words); ++i) {
        Ref w = Ref::borrow(PyList_GET_ITEM(words, i));
        if (ignore_case) {
            // An exact str whose lower case has a length no entry has cannot be one.
            const bool cannot_match = all_text && PyUnicode_CheckExact(w.get()) &&
                                      std::find(lengths.begin(), lengths.end(), PyUnicode_GET_LENGTH(w.get())) ==
                                          lengths.end() &&
                                      lower_keeps_length(w.get());
            if (!cannot_match) {
                Ref key = call_method(w.get(), n_lower);
                if (!key) return {};
                const int excluded = PySequence_Contains(exclude_set.get(), key.get());
                if (excluded < 0) return {};
                if (excluded) continue;
            }
        } else {
            const int excluded = PySequence_Contains(exclude_set.get(), w.get());
            if (excluded < 0) return {};
            if (excluded) continue;
        }
        if (PyList_Append(kept.get(), w.get()) < 0) return {};
    }
    return kept;
}

// word_list.sort(key=lambda x: len(x), reverse=True): stable, longest first. A word list
// has few distinct lengths, so a counting sort places every word in one pass.
Ref sorted_longest_first(PyObject *words) {
    const Py_ssize_t count = PyList_GET_SIZE(words);
    std::vector<Py_ssize_t> lengths(static_cast<std::size_t>(count));
    Py_ssize_t longest = 0;
    bool all_text = true;
    for (Py_ssize_t i = 0; i < count && all_text; ++i) {
        PyObject *w = PyList_GET_ITEM(words, i);
        all_text = PyUnicode_CheckExact(w);
        if (all_text) lengths[i] = PyUnicode_GET_LENGTH(w);
    }
    if (!all_text) {
        for (Py_ssize_t i = 0; i < count; ++i) {
            Ref w = Ref::borrow(PyList_GET_ITEM(words, i));
            lengths[i] = PyObject_Size(w.get());
            if (lengths[i] < 0) return {};
        }
    }
    for (Py_ssize_t length : lengths) longest = std::max(longest, length);

    std::vector<Py_ssize_t> order(static_cast<std::size_t>(count));
    if (longest <= 4 * count + 64) {
        std::vector<Py_ssize_t> next(static_cast<std::size_t>(longest) + 1, 0);
        for (Py_ssize_t length : lengths) ++next[length];
        Py_ssize_t position = 0;
        for (Py_ssize_t length = longest; length >= 0; --length) {
            const Py_ssize_t words_of_length = next[length];
            next[length] = position;
            position += words_of_length;
        }
        for (Py_ssize_t i = 0; i < count; ++i) order[next[lengths[i]]++] = i;
    } else {
        for (Py_ssize_t i = 0; i < count; ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&](Py_ssize_t a, Py_ssize_t b) { return lengths[a] > lengths[b]; });
    }
    Ref sorted = Ref::steal(PyList_New(count));
    if (!sorted) return {};
    for (Py_ssize_t i = 0; i < count; ++i) PyList_SET_ITEM(sorted.get(), i, Py_NewRef(PyList_GET_ITEM(words, order[i])));
    return sorted;
}

Py_NO_INLINE Ref raise_missing_file(PyObject *file_path) {
    Ref shown = Ref::steal(PyObject_Format(file_path, nullptr));
    if (!shown) return {};
    Ref message = prefixed("违禁词文件不存在: ", shown.get());
    if (message) PyErr_SetObject(PyExc_FileNotFoundError, message.get());
    return {};
}

// if self.ban_word_file: check it exists, then _add_words(self._load_from_file(...))
bool merge_word_file(PyObject *self, Merge &merge) {
    const int any = attr_truth(self, n_ban_word_file);
    if (any <= 0) return any == 0;
    Ref file_path = get_attr(self, n_ban_word_file);
    if (!file_path) return false;
    Ref os = global(n_os);
    if (!os) return false;
    Ref os_path = get_attr(os.get(), n_path);
    if (!os_path) return false;
    Ref exists = call_method(os_path.get(), n_exists, file_path.get());
    if (!exists) return false;
    const int found = PyObject_IsTrue(exists.get());
    if (found < 0) return false;
    if (!found) {
        Ref again = get_attr(self, n_ban_word_file);
        if (again) raise_missing_file(again.get());
        return false;
    }
    Ref loader = get_attr(self, n_load_from_file);
    if (!loader) return false;
    file_path = get_attr(self, n_ban_word_file);
    if (!file_path) return false;
    if (loader.get() == original_load_from_file.get() && PyUnicode_CheckExact(file_path.get()))
        return add_file_words(merge, file_path.get());
    Ref words = call(loader.get(), file_path.get());
    return words && merge.add_all(words.get());
}

Ref load_banned_words(PyObject *self) {
    Merge merge;
    if (!merge.seen || !merge.words) return {};
    const int use_default = attr_truth(self, n_use_default);
    if (use_default < 0) return {};
    if (use_default) {
        Ref load_default = global(n_load_default_words);
        if (!load_default) return {};
        Ref defaults = Ref::steal(PyObject_CallNoArgs(load_default.get()));
        if (!defaults || !merge.add_all(defaults.get())) return {};
    }
    Ref injected = get_attr(self, n_builtin_words);
    if (!injected || !merge.add_all(injected.get())) return {};
    if (!merge_word_file(self, merge)) return {};
    Ref kept = without_excluded(self, merge.words.get());
    if (!kept) return {};
    Ref sorted = sorted_longest_first(kept.get());
    if (!sorted || !set_attr(self, n_banned_words, sorted.get())) return {};
    if (!call_method(self, n_build_engine)) return {};
    return Ref::borrow(Py_None);
}

constexpr Function load_banned_words_contract{
    .name = "load_banned_words",
    .params = {{"self"}},
    .return_annotation = "None",
    .doc = "\n"
           "        按优先级加载并合并多来源违禁词，清洗、去重、长词优先排序，重建正则。\n"
           "        加载顺序：1. 包内置默认词库 → 2. builtin_words 参数 → 3. ban_word_file 用户文件\n"
           "        ",
    .body = native<load_banned_words>(),
};

// ----- construction -----

Ref checker_init(PyObject *self, PyObject *ban_word_file, bool ignore_case, PyObject *builtin_words, bool use_default,
                 PyObject *exclude_words) {
    auto given_or_new = [](PyObject *words) {
        return words != Py_None && PyList_GET_SIZE(words) > 0 ? Ref::borrow(words) : Ref::steal(PyList_New(0));
    };
    Ref injected = given_or_new(builtin_words);
    Ref excluded = given_or_new(exclude_words);
    Ref banned = Ref::steal(PyList_New(0));
    if (!injected || !excluded || !banned) return {};
    if (!set_attr(self, n_ban_word_file, ban_word_file) ||
        !set_attr(self, n_ignore_case, ignore_case ? Py_True : Py_False) ||
        !set_attr(self, n_builtin_words, injected.get()) ||
        !set_attr(self, n_use_default, use_default ? Py_True : Py_False) ||
        !set_attr(self, n_exclude_words, excluded.get()) || !set_attr(self, n_banned_words, banned.get()) ||
        !set_attr(self, n_ban_regex, Py_None) || !set_attr(self, n_automaton, Py_None)) {
        return {};
    }
    if (!call_method(self, n_load_banned_words)) return {};
    return Ref::borrow(Py_None);
}

constexpr Function init_contract{
    .name = "__init__",
    .params = {{"self"},
               {"ban_word_file", Conv::str, "Optional[str]", dflt::none},
               {"ignore_case", Conv::truth, "bool", dflt::boolean(true)},
               {"builtin_words", Conv::list, "Optional[List[str]]", dflt::none},
               {"use_default", Conv::truth, "bool", dflt::boolean(true)},
               {"exclude_words", Conv::list, "Optional[List[str]]", dflt::none}},
    .doc = "\n"
           "        初始化违禁词检测器\n"
           "        :param ban_word_file: 用户自定义违禁词文件路径（可选，支持 .txt / .pkl / .pickle）\n"
           "        :param ignore_case: 是否忽略大小写匹配，默认True\n"
           "        :param builtin_words: 运行时注入的内置违禁词列表（可选）\n"
           "        :param use_default: 是否加载包内置默认违禁词库，默认True\n"
           "        :param exclude_words: 需要从最终词库中排除的词列表（可选），\n"
           "                              会从已加载的所有来源词库中移除匹配项\n"
           "        ",
    .body = native<checker_init>(),
};

// ----- engines -----

Ref build_automaton(PyObject *self) {
    Ref ahocorasick = global(n_ahocorasick);
    if (!ahocorasick) return {};
    Ref automaton_type = get_attr(ahocorasick.get(), n_automaton_type);
    if (!automaton_type) return {};
    Ref automaton = Ref::steal(PyObject_CallNoArgs(automaton_type.get()));
    if (!automaton) return {};
    Ref words = get_attr(self, n_banned_words);
    if (!words) return {};
    Ref iter = Ref::steal(PyObject_GetIter(words.get()));
    if (!iter) return {};
    while (Ref word = Ref::steal(PyIter_Next(iter.get()))) {
        const int ignore_case = attr_truth(self, n_ignore_case);
        if (ignore_case < 0) return {};
        Ref key = ignore_case ? call_method(word.get(), n_lower) : word;
        if (!key || !call_method(automaton.get(), n_add_word, key.get(), word.get())) return {};
    }
    if (PyErr_Occurred() || !call_method(automaton.get(), n_make_automaton)) return {};
    return automaton;
}

constexpr Function build_automaton_contract{
    .name = "_build_automaton",
    .params = {{"self"}},
    .doc = "构建 Aho-Corasick 自动机",
    .body = native<build_automaton>(),
};

// The regular-expression engine: re.compile("|".join(re.escape(w) for w in words), flags).
bool build_regex(PyObject *self) {
    if (!set_attr(self, n_automaton, Py_None)) return false;
    Ref words = get_attr(self, n_banned_words);
    if (!words) return false;
    Ref escaped = Ref::steal(PyList_New(0));
    Ref iter = Ref::steal(PyObject_GetIter(words.get()));
    if (!escaped || !iter) return false;
    while (Ref word = Ref::steal(PyIter_Next(iter.get()))) {
        Ref re = global(n_re);
        if (!re) return false;
        Ref escape = call_method(re.get(), n_escape, word.get());
        if (!escape || PyList_Append(escaped.get(), escape.get()) < 0) return false;
    }
    if (PyErr_Occurred()) return false;
    Ref pattern = Ref::steal(PyUnicode_Join(n_bar, escaped.get()));
    if (!pattern) return false;
    const int ignore_case = attr_truth(self, n_ignore_case);
    if (ignore_case < 0) return false;
    Ref flags;
    if (ignore_case) {
        Ref re = global(n_re);
        if (re) flags = get_attr(re.get(), n_ignorecase_flag);
    } else {
        flags = Ref::steal(PyLong_FromLong(0));
    }
    Ref re = global(n_re);
    if (!flags || !re) return false;
    Ref compile = get_attr(re.get(), n_compile);
    PyObject *kwnames = names_tuple(kwnames_flags, {&n_flags});
    if (!compile || kwnames == nullptr) return false;
    PyObject *argv[] = {nullptr, pattern.get(), flags.get()};
    Ref regex = Ref::steal(PyObject_Vectorcall(compile.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    return regex && set_attr(self, n_ban_regex, regex.get());
}

Ref build_engine(PyObject *self) {
    const int any = attr_truth(self, n_banned_words);
    if (any < 0) return {};
    if (!any) {
        if (!set_attr(self, n_ban_regex, Py_None) || !set_attr(self, n_automaton, Py_None)) return {};
        return Ref::borrow(Py_None);
    }
    Ref words = get_attr(self, n_banned_words);
    if (!words) return {};
    const Py_ssize_t count = PyObject_Size(words.get());
    if (count < 0) return {};
    Ref size = Ref::steal(PyLong_FromSsize_t(count));
    Ref threshold = global(n_ac_threshold);
    if (!size || !threshold) return {};
    Ref large = Ref::steal(PyObject_RichCompare(size.get(), threshold.get(), Py_GE));
    if (!large) return {};
    int automaton = PyObject_IsTrue(large.get());
    if (automaton > 0) {
        Ref has_ac = global(n_has_ac);
        automaton = has_ac ? PyObject_IsTrue(has_ac.get()) : -1;
    }
    if (automaton < 0) return {};
    if (automaton) {
        Ref built = call_method(self, n_build_automaton);
        if (!built || !set_attr(self, n_automaton, built.get()) || !set_attr(self, n_ban_regex, Py_None)) return {};
        return Ref::borrow(Py_None);
    }
    if (!build_regex(self)) return {};
    return Ref::borrow(Py_None);
}

constexpr Function build_engine_contract{
    .name = "_build_engine",
    .params = {{"self"}},
    .return_annotation = "None",
    .doc = "根据词库规模自动选择最优匹配引擎：AC 自动机 或 正则",
    .body = native<build_engine>(),
};

// ----- matching -----

// text.lower() if self.ignore_case else text
Ref search_text(PyObject *self, PyObject *text) {
    const int ignore_case = attr_truth(self, n_ignore_case);
    if (ignore_case < 0) return {};
    return ignore_case ? call_method(text, n_lower) : Ref::borrow(text);
}

// iter(self._automaton.iter(self-cased text))
Ref automaton_matches(PyObject *self, PyObject *text) {
    Ref searched = search_text(self, text);
    if (!searched) return {};
    Ref automaton = get_attr(self, n_automaton);
    if (!automaton) return {};
    Ref matches = call_method(automaton.get(), n_iter, searched.get());
    if (!matches) return {};
    return Ref::steal(PyObject_GetIter(matches.get()));
}

Ref find_matched_words(PyObject *self, PyObject *text) {
    const int automaton = attr_truth(self, n_automaton);
    if (automaton < 0) return {};
    if (automaton) {
        Ref matches = automaton_matches(self, text);
        Ref hits = Ref::steal(PySet_New(nullptr));
        if (!matches || !hits) return {};
        while (Ref match = Ref::steal(PyIter_Next(matches.get()))) {
            Ref end_index, word;
            if (!unpack2(match.get(), end_index, word, Unpack::python) || PySet_Add(hits.get(), word.get()) < 0)
                return {};
        }
        if (PyErr_Occurred()) return {};
        return Ref::steal(PySequence_List(hits.get()));
    }
    const int regex = attr_truth(self, n_ban_regex);
    if (regex <= 0) return regex < 0 ? Ref{} : Ref::steal(PyList_New(0));
    Ref pattern = get_attr(self, n_ban_regex);
    if (!pattern) return {};
    Ref found = call_method(pattern.get(), n_findall, text);
    if (!found) return {};
    Ref hits = Ref::steal(PySet_New(found.get()));
    if (!hits) return {};
    return Ref::steal(PySequence_List(hits.get()));
}

constexpr Function find_matched_words_contract{
    .name = "find_matched_words",
    .params = {{"self"}, {"text", Conv::str, "str"}},
    .returns = Ret::list,
    .return_annotation = "List[str]",
    .doc = "\n"
           "        查找文本中所有命中的违禁词（去重返回）\n"
           "\n"
           "        Args:\n"
           "            text: 待检测文本\n"
           "\n"
           "        Returns:\n"
           "            命中的违禁词列表\n"
           "        ",
    .body = native<find_matched_words>(),
};

Ref has_banned_word(PyObject *self, PyObject *text) {
    const int automaton = attr_truth(self, n_automaton);
    if (automaton < 0) return {};
    if (automaton) {
        Ref matches = automaton_matches(self, text);
        if (!matches) return {};
        Ref first = Ref::steal(PyIter_Next(matches.get()));
        if (!first && PyErr_Occurred()) return {};
        return Ref::borrow(first ? Py_True : Py_False);
    }
    const int regex = attr_truth(self, n_ban_regex);
    if (regex <= 0) return regex < 0 ? Ref{} : Ref::borrow(Py_False);
    Ref pattern = get_attr(self, n_ban_regex);
    if (!pattern) return {};
    Ref match = call_method(pattern.get(), n_search, text);
    if (!match) return {};
    return Ref::borrow(match.get() != Py_None ? Py_True : Py_False);
}

constexpr Function has_banned_word_contract{
    .name = "_has_banned_word",
    .params = {{"self"}, {"text", Conv::str, "str"}},
    .return_annotation = "bool",
    .doc = "\n"
           "        快速判断文本中是否包含违禁词（首次命中即返回）。\n"
           "        用于 check() 方法的快速路径。\n"
           "        ",
    .body = native<has_banned_word>(),
};

Py_NO_INLINE Ref raise_ban(PyObject *self, PyObject *prompt) {
    Ref hit_words = call_method(self, n_find_matched_words, prompt);
    if (!hit_words) return {};
    Ref joined = Ref::steal(PyUnicode_Join(n_comma, hit_words.get()));
    if (!joined) return {};
    Ref message = prefixed("违禁词: ", joined.get());
    Ref error_type = global(n_prompt_ban_error);
    PyObject *kwnames = names_tuple(kwnames_ban_error, {&n_error_msg, &n_data});
    if (!message || !error_type || kwnames == nullptr) return {};
    PyObject *argv[] = {nullptr, message.get(), hit_words.get()};
    Ref error = Ref::steal(PyObject_Vectorcall(error_type.get(), argv + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    if (!error) return {};
    raise(error.get());
    return {};
}

Ref check(PyObject *self, PyObject *prompt) {
    Ref found = call_method(self, n_has_banned_word, prompt);
    if (!found) return {};
    const int banned = PyObject_IsTrue(found.get());
    if (banned < 0) return {};
    if (!banned) return Ref::borrow(prompt);
    return raise_ban(self, prompt);
}

constexpr Function check_contract{
    .name = "check",
    .params = {{"self"}, {"prompt", Conv::str, "str"}},
    .returns = Ret::str,
    .return_annotation = "str",
    .doc = "\n"
           "        校验提示词，存在违禁词则抛出自定义异常\n"
           "\n"
           "        Args:\n"
           "            prompt: 待检测文本\n"
           "\n"
           "        Returns:\n"
           "            原文本（校验通过）\n"
           "\n"
           "        Raises:\n"
           "            PromptBanError: 检测到违禁词时抛出\n"
           "        ",
    .body = native<check>(),
};

// ----- pickle word files -----

// [w.strip() for w in words if w and w.strip()]
Ref cleaned_words(PyObject *words) {
    Ref cleaned = Ref::steal(PyList_New(0));
    if (!cleaned) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(words); ++i) {
        Ref w = Ref::borrow(PyList_GET_ITEM(words, i));
        const int truth = PyObject_IsTrue(w.get());
        if (truth < 0) return {};
        if (!truth) continue;
        Ref condition = strip(w.get());
        if (!condition) return {};
        const int kept = PyObject_IsTrue(condition.get());
        if (kept < 0) return {};
        if (!kept) continue;
        Ref word = PyUnicode_CheckExact(w.get()) ? std::move(condition) : strip(w.get());
        if (!word || PyList_Append(cleaned.get(), word.get()) < 0) return {};
    }
    return cleaned;
}

Ref create_pickle_file(PyObject *words, PyObject *output_path) {
    Ref cleaned = cleaned_words(words);
    if (!cleaned) return {};
    Ref open = global(n_open);
    if (!open) return {};
    Ref file = call(open.get(), output_path, n_mode_write_bytes.get());
    if (!file) return {};
    const Exit exit = with_block(file.get(), [&](PyObject *f) {
        Ref pickle = global(n_pickle);
        return pickle && call_method(pickle.get(), n_dump, cleaned.get(), f);
    });
    if (exit == Exit::failed) return {};
    return Ref::borrow(Py_None);
}

constexpr Function create_pickle_file_contract{
    .name = "create_pickle_file",
    .kind = Kind::staticmethod,
    .params = {{"words", Conv::list, "List[str]"}, {"output_path", Conv::str, "str"}},
    .return_annotation = "None",
    .doc = "\n"
           "        将违禁词列表序列化为 pickle 文件，供后续加载使用。\n"
           "\n"
           "        Args:\n"
           "            words: 违禁词列表\n"
           "            output_path: 输出文件路径（建议以 .pkl 结尾）\n"
           "        ",
    .body = native<create_pickle_file>(),
};

// ----- module -----

constexpr Member checker_namespace[] = {
    def(init_contract),
    def(load_banned_words_contract),
    def(load_from_file_contract),
    def(build_engine_contract),
    def(build_automaton_contract),
    def(find_matched_words_contract),
    def(has_banned_word_contract),
    def(check_contract),
    def(create_pickle_file_contract),
};

constexpr Class prompt_ban_checker = make_class(
    "PromptBanChecker",
    "\n"
    "    提示词违禁词校验工具。\n"
    "\n"
    "    内置默认违禁词库，开箱即用；同时支持通过 builtin_words 或 ban_word_file\n"
    "    追加自定义违禁词，多来源词库自动合并去重。\n"
    "    词库较小时使用正则预编译匹配；词库较大时自动切换 Aho-Corasick 算法\n"
    "    （需安装 pyahocorasick: pip install carvola[fast]），实现 O(n) 扫描。\n"
    "    支持忽略大小写、长词优先匹配。\n"
    "    ",
    checker_namespace);

constexpr Member xor_function = def(xor_contract);
constexpr Member load_default_words_function = def(load_default_words_contract);

// import ahocorasick; _HAS_AC = True, or _HAS_AC = False when it cannot be imported.
bool import_ahocorasick(Module &m) {
    if (m.import("ahocorasick")) return m.set("_HAS_AC", Ref::borrow(Py_True));
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return false;
    PyErr_Clear();
    return m.set("_HAS_AC", Ref::borrow(Py_False));
}

bool remember_originals() {
    Ref io = Ref::steal(PyImport_ImportModule("io"));
    if (!io) return false;
    Ref open = Ref::steal(PyObject_GetAttrString(io.get(), "open"));
    Ref cls = global(n_prompt_ban_checker);
    if (!open || !cls) return false;
    Ref loader = Ref::steal(PyObject_GetAttr(cls.get(), n_load_from_file));
    if (!loader) return false;
    original_open.keep(open.get());
    original_load_from_file.keep(loader.get());
    return true;
}

bool execute(Module &m) noexcept {
    return m.import("os") && m.import("pickle") && m.import("re") &&
           m.import_from("typing", {"List", "Optional", "Set"}) && m.import_from("pelvane", {"PromptBanError"}) &&
           m.set("_AC_THRESHOLD", Ref::steal(PyLong_FromLong(50))) && import_ahocorasick(m) && m.add(xor_function) &&
           m.add(load_default_words_function) && m.add(prompt_ban_checker) && remember_originals();
}

constexpr ModuleInfo vantor{"carvola.vantor", execute};

}  // namespace
}  // namespace carvola::vantor

PyMODINIT_FUNC PyInit_vantor() { return carvola::module_init(carvola::vantor::vantor); }
