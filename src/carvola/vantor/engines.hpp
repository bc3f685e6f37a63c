// The engines of PromptBanChecker and the searches on them: a compiled regular expression
// for small word lists, an Aho-Corasick automaton for large ones when it is installed.
#pragma once

#include "vantor.hpp"

namespace carvola::vantor {
namespace {

// auto = ahocorasick.Automaton()
// for word in self.banned_words:
//     auto.add_word(word.lower() if self.ignore_case else word, word)
// auto.make_automaton()
Ref build_automaton(PyObject *self) {
    Ref ahocorasick = global("ahocorasick"_n);
    Ref automaton_type = ahocorasick ? get_attr(ahocorasick.get(), "Automaton"_n) : Ref();
    Ref automaton = automaton_type ? Ref::steal(PyObject_CallNoArgs(automaton_type.get())) : Ref();
    Ref words = automaton ? get_attr(self, "banned_words"_n) : Ref();
    auto add_word = [&](Ref word) {
        const int ignore_case = attr_truth(self, "ignore_case"_n);
        Ref key = ignore_case > 0 ? call_method(word.get(), "lower"_n) : ignore_case == 0 ? word : Ref();
        return key && call_method(automaton.get(), "add_word"_n, key.get(), word.get());
    };
    const bool added = words && for_each(words.get(), add_word);
    return added && call_method(automaton.get(), "make_automaton"_n) ? automaton : Ref();
}

constexpr Function build_automaton_contract{
    .name = "_build_automaton",
    .params = {{"self"}},
    .doc = "构建 Aho-Corasick 自动机",
    .body = native<build_automaton>(),
};

// self._automaton = None
// self._ban_regex = re.compile("|".join([re.escape(w) for w in self.banned_words]),
//                              flags=re.IGNORECASE if self.ignore_case else 0)
bool build_regex(PyObject *self) {
    Ref words = set_attr(self, "_automaton"_n, Py_None) ? get_attr(self, "banned_words"_n) : Ref();
    auto escape = [](PyObject *word) {
        Ref re = global("re"_n);
        return re ? call_method(re.get(), "escape"_n, word) : Ref();
    };
    Ref escaped = words ? list_of(words.get(), escape) : Ref();
    Ref pattern = escaped ? Ref::steal(PyUnicode_Join("|"_t, escaped.get())) : Ref();
    const int ignore_case = pattern ? attr_truth(self, "ignore_case"_n) : -1;
    Ref re = ignore_case >= 0 ? global("re"_n) : Ref();
    if (!re) return false;
    Ref flags = ignore_case ? get_attr(re.get(), "IGNORECASE"_n) : Ref::steal(PyLong_FromLong(0));
    Ref compile = flags ? get_attr(re.get(), "compile"_n) : Ref();
    Ref regex = compile ? call_kw(compile.get(), name_tuple<"flags">, pattern.get(), flags.get()) : Ref();
    return regex && set_attr(self, "_ban_regex"_n, regex.get());
}

Ref build_engine(PyObject *self) {
    // if not self.banned_words: self._ban_regex = None; self._automaton = None; return
    const int any = attr_truth(self, "banned_words"_n);
    if (any == 0 && set_attr(self, "_ban_regex"_n, Py_None) && set_attr(self, "_automaton"_n, Py_None)) return none();
    if (any <= 0) return {};
    // if len(self.banned_words) >= _AC_THRESHOLD and _HAS_AC:
    Ref words = get_attr(self, "banned_words"_n);
    const Py_ssize_t count = words ? PyObject_Size(words.get()) : -1;
    Ref size = count >= 0 ? Ref::steal(PyLong_FromSsize_t(count)) : Ref();
    Ref threshold = size ? global("_AC_THRESHOLD"_n) : Ref();
    int automaton = threshold ? PyObject_RichCompareBool(size.get(), threshold.get(), Py_GE) : -1;
    if (automaton > 0) {
        Ref has_ac = global("_HAS_AC"_n);
        automaton = has_ac ? truth(has_ac.get()) : -1;
    }
    if (automaton < 0) return {};
    if (!automaton) return build_regex(self) ? none() : Ref();
    // self._automaton = self._build_automaton(); self._ban_regex = None
    Ref built = call_method(self, "_build_automaton"_n);
    if (!built || !set_attr(self, "_automaton"_n, built.get())) return {};
    return set_attr(self, "_ban_regex"_n, Py_None) ? none() : Ref();
}

constexpr Function build_engine_contract{
    .name = "_build_engine",
    .params = {{"self"}},
    .return_annotation = "None",
    .doc = "根据词库规模自动选择最优匹配引擎：AC 自动机 或 正则",
    .body = native<build_engine>(),
};

// ----- matching -----

// if self._automaton: 1, with `found` = iter(self._automaton.iter(text.lower() if
// self.ignore_case else text)); otherwise 0, with `found` = self._ban_regex.<method>(text)
// if self._ban_regex else null; -1 with an exception set.
int search(PyObject *self, PyObject *text, const Name &method, Ref &found) {
    const int automaton = attr_truth(self, "_automaton"_n);
    const int ignore_case = automaton > 0 ? attr_truth(self, "ignore_case"_n) : 0;
    if (automaton < 0 || ignore_case < 0) return -1;
    if (automaton) {
        Ref searched = ignore_case ? call_method(text, "lower"_n) : Ref::borrow(text);
        Ref engine = searched ? get_attr(self, "_automaton"_n) : Ref();
        Ref matches = engine ? call_method(engine.get(), "iter"_n, searched.get()) : Ref();
        found = matches ? Ref::steal(PyObject_GetIter(matches.get())) : Ref();
        return found ? 1 : -1;
    }
    const int regex = attr_truth(self, "_ban_regex"_n);
    Ref engine = regex > 0 ? get_attr(self, "_ban_regex"_n) : Ref();
    found = engine ? call_method(engine.get(), method, text) : Ref();
    return found || regex == 0 ? 0 : -1;
}

// list(set(the words of every hit, or self._ban_regex.findall(text))); [] without an engine
Ref find_matched_words(PyObject *self, PyObject *text) {
    Ref found;
    const int automaton = search(self, text, "findall"_n, found);
    Ref hits = automaton < 0 ? Ref() : Ref::steal(PySet_New(automaton ? nullptr : found.get()));
    auto add_hit = [&](Ref match) {
        Ref end_index, word;
        return unpack2(match.get(), end_index, word, Unpack::python) && PySet_Add(hits.get(), word.get()) == 0;
    };
    if (!hits || (automaton && !for_each(found.get(), add_hit))) return {};
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

// Whether the automaton has a first hit, or self._ban_regex.search(text) is not None;
// False without an engine.
Ref has_banned_word(PyObject *self, PyObject *text) {
    Ref found;
    const int automaton = search(self, text, "search"_n, found);
    if (automaton > 0) found = Ref::steal(PyIter_Next(found.get()));
    if (automaton < 0 || PyErr_Occurred()) return {};
    return Ref::borrow(found && (automaton || found.get() != Py_None) ? Py_True : Py_False);
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

// hit_words = self.find_matched_words(prompt)
// raise PromptBanError(error_msg="违禁词: " + ",".join(hit_words), data=hit_words)
Py_NO_INLINE Ref raise_ban(PyObject *self, PyObject *prompt) {
    Ref hit_words = call_method(self, "find_matched_words"_n, prompt);
    Ref joined = hit_words ? Ref::steal(PyUnicode_Join(","_t, hit_words.get())) : Ref();
    Ref message = joined ? prefixed("违禁词: ", joined.get()) : Ref();
    Ref error_type = message ? global("PromptBanError"_n) : Ref();
    Ref error =
        error_type ? call_kw(error_type.get(), name_tuple<"error_msg", "data">, message.get(), hit_words.get()) : Ref();
    if (error) raise(error.get());
    return {};
}

// if not self._has_banned_word(prompt): return prompt, else raise the ban
Ref check(PyObject *self, PyObject *prompt) {
    Ref found = call_method(self, "_has_banned_word"_n, prompt);
    const int banned = found ? truth(found.get()) : -1;
    if (banned < 0) return {};
    return banned ? raise_ban(self, prompt) : Ref::borrow(prompt);
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

}  // namespace
}  // namespace carvola::vantor
