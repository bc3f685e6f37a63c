// carvola.vantor: PromptBanChecker, which merges a banned-word list from the built-in list,
// injected words and word files, and finds banned words in prompt text.
#include "engines.hpp"
#include "guard.hpp"

namespace carvola::vantor {
namespace {

// While an instance's _load_from_file is the module's own, the merge calls its body directly.
Guard load_from_file_guard{"PromptBanChecker"_n, "_load_from_file"_n};

// ----- word files -----

Ref load_words(PyObject *file_path) { return load_from_file(file_path, nullptr); }

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
    .body = native<load_words>(),
};

// ----- the built-in list -----

Ref xor_bytes(PyObject *data, PyObject *key) {
    const Py_ssize_t length = PyBytes_GET_SIZE(data);
    const Py_ssize_t key_len = PyBytes_GET_SIZE(key);
    if (length > 0 && key_len == 0) {
        PyErr_SetString(PyExc_ZeroDivisionError, "integer modulo by zero");
        return {};
    }
    // bytes(b ^ key[i % key_len] for i, b in enumerate(data))
    Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, length));
    if (!out) return {};
    const char *in = PyBytes_AS_STRING(data), *k = PyBytes_AS_STRING(key);
    char *o = PyBytes_AS_STRING(out.get());
    for (Py_ssize_t i = 0, j = 0; i < length; ++i, j = j + 1 == key_len ? 0 : j + 1) o[i] = in[i] ^ k[j];
    return out;
}

constexpr Function xor_contract{
    .name = "_xor",
    .kind = Kind::function,
    .params = {{"data", Conv::bytes, "bytes"}, {"key", Conv::bytes, "bytes"}},
    .return_annotation = "bytes",
    .body = native<xor_bytes>(),
};

// try: from ._sildor import _ED, _EK; raw = _xor(_ED, _EK); words = pickle.loads(raw)
// then words when exactly a list or None; otherwise [], as when the try fails with an
// Exception (a missing or broken built-in list). Interrupts and exits still propagate.
Ref load_default_words() {
    PyObject *fromlist = name_tuple<"_ED", "_EK">.get();
    Ref sildor = fromlist ? import_module("_sildor"_n.text(), fromlist, 1) : Ref();
    Ref data = sildor ? import_name(sildor.get(), "_ED"_n) : Ref();
    Ref key = data ? import_name(sildor.get(), "_EK"_n) : Ref();
    Ref xor_fn = key ? global("_xor"_n) : Ref();
    Ref raw = xor_fn ? call(xor_fn.get(), data.get(), key.get()) : Ref();
    Ref pickle = raw ? global("pickle"_n) : Ref();
    Ref words = pickle ? call_method(pickle.get(), "loads"_n, raw.get()) : Ref();
    if (words && (PyList_CheckExact(words.get()) || words.get() == Py_None)) return words;
    if (!words && !PyErr_ExceptionMatches(PyExc_Exception)) return {};
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

// if self.ban_word_file:
//     if not os.path.exists(self.ban_word_file):
//         raise FileNotFoundError(f"违禁词文件不存在: {self.ban_word_file}")
//     _add_words(self._load_from_file(self.ban_word_file))
bool merge_word_file(PyObject *self, Merge &merge) {
    const int any = attr_truth(self, "ban_word_file"_n);
    if (any <= 0) return any == 0;
    Ref path = os_path.get();
    Ref exists = path ? get_attr(path.get(), "exists"_n) : Ref();
    Ref file_path = exists ? get_attr(self, "ban_word_file"_n) : Ref();
    Ref existing = file_path ? call(exists.get(), file_path.get()) : Ref();
    const int found = existing ? PyObject_IsTrue(existing.get()) : -1;
    if (found == 0) {
        file_path = get_attr(self, "ban_word_file"_n);
        Ref shown = file_path ? Ref::steal(PyObject_Format(file_path.get(), nullptr)) : Ref();
        Ref message = shown ? prefixed("违禁词文件不存在: ", shown.get()) : Ref();
        if (message) PyErr_SetObject(PyExc_FileNotFoundError, message.get());
    }
    if (found <= 0) return false;
    Ref loader = get_attr(self, "_load_from_file"_n);
    file_path = loader ? get_attr(self, "ban_word_file"_n) : Ref();
    if (!file_path) return false;
    // The body is called directly while the loader is the module's own and the path is
    // what its contract accepts; a text file read natively goes straight into the merge.
    Ref words = load_from_file_guard.is(loader.get()) && PyUnicode_CheckExact(file_path.get())
                    ? call_direct<load_from_file>(load_from_file_contract, file_path.get(), &merge)
                    : call(loader.get(), file_path.get());
    return words && (words.get() == Py_None || merge.add_all(words.get()));
}

Ref load_banned_words(PyObject *self) {
    Merge merge;
    // if self.use_default: _add_words(_load_default_words())
    const int use_default = attr_truth(self, "use_default"_n);
    Ref load_default = use_default > 0 ? global("_load_default_words"_n) : Ref();
    Ref defaults = load_default ? Ref::steal(PyObject_CallNoArgs(load_default.get())) : Ref();
    if (use_default < 0 || (use_default && (!defaults || !merge.add_all(defaults.get())))) return {};
    Ref injected = get_attr(self, "builtin_words"_n);
    if (!injected || !merge.add_all(injected.get()) || !merge_word_file(self, merge)) return {};
    // self.banned_words = word_list; self._build_engine()
    Ref banned_words = merge.finish(self);
    if (!banned_words || !set_attr(self, "banned_words"_n, banned_words.get())) return {};
    return call_method(self, "_build_engine"_n) ? none() : Ref();
}

constexpr Function load_banned_words_contract{
    .name = "load_banned_words",
    .params = {{"self"}},
    .return_annotation = "None",
    .doc =
        "\n"
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
    const bool set = injected && excluded && banned && set_attr(self, "ban_word_file"_n, ban_word_file) &&
                     set_attr(self, "ignore_case"_n, ignore_case ? Py_True : Py_False) &&
                     set_attr(self, "builtin_words"_n, injected.get()) &&
                     set_attr(self, "use_default"_n, use_default ? Py_True : Py_False) &&
                     set_attr(self, "exclude_words"_n, excluded.get()) &&
                     set_attr(self, "banned_words"_n, banned.get()) && set_attr(self, "_ban_regex"_n, Py_None) &&
                     set_attr(self, "_automaton"_n, Py_None);
    return set && call_method(self, "load_banned_words"_n) ? none() : Ref();
}

constexpr Function init_contract{
    .name = "__init__",
    .params = {{"self"},
               {"ban_word_file", Conv::str, "Optional[str]", dflt::none},
               {"ignore_case", Conv::truth, "bool", dflt::boolean<true>},
               {"builtin_words", Conv::list, "Optional[List[str]]", dflt::none},
               {"use_default", Conv::truth, "bool", dflt::boolean<true>},
               {"exclude_words", Conv::list, "Optional[List[str]]", dflt::none}},
    .doc =
        "\n"
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

// ----- pickle word files -----

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

bool execute(Module &m) noexcept {
    return m.import("os") && m.import("pickle") && m.import("re") &&
           m.import_from<"List", "Optional", "Set">("typing") && m.import_from<"PromptBanError">("pelvane") &&
           m.set("_AC_THRESHOLD", Ref::steal(PyLong_FromLong(50))) && import_ahocorasick(m) && m.add(xor_function) &&
           m.add(load_default_words_function) && m.add(prompt_ban_checker);
}

constexpr ModuleInfo vantor{"carvola.vantor", execute};

}  // namespace
}  // namespace carvola::vantor

PyMODINIT_FUNC PyInit_vantor() { return carvola::module_init(carvola::vantor::vantor); }
