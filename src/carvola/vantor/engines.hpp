// The engines of PromptBanChecker and the searches on them: a compiled regular expression
// for small word lists, an Aho-Corasick automaton for large ones when it is installed.
#pragma once

#include "vantor.hpp"

namespace carvola::vantor {
namespace {

Name n_re{"re"};
Name n_escape{"escape"};
Name n_compile{"compile"};
Name n_ignorecase_flag{"IGNORECASE"};
Name n_search{"search"};
Name n_findall{"findall"};
Name n_ahocorasick{"ahocorasick"};
Name n_automaton_type{"Automaton"};
Name n_add_word{"add_word"};
Name n_make_automaton{"make_automaton"};
Name n_iter{"iter"};
Name n_lower{"lower"};
Text t_comma{","};
Text t_bar{"|"};
Name n_ac_threshold{"_AC_THRESHOLD"};
Name n_has_ac{"_HAS_AC"};
Name n_prompt_ban_error{"PromptBanError"};
Name n_ignore_case{"ignore_case"};
Name n_banned_words{"banned_words"};
Name n_ban_regex{"_ban_regex"};
Name n_automaton{"_automaton"};
Name n_build_automaton{"_build_automaton"};
Name n_find_matched_words{"find_matched_words"};
Name n_has_banned_word{"_has_banned_word"};
Name n_flags{"flags"};
Name n_error_msg{"error_msg"};
Name n_data{"data"};

// Keyword names of the calls made with keywords.
NameTuple compile_keywords{n_flags};
NameTuple ban_error_keywords{n_error_msg, n_data};


// auto = ahocorasick.Automaton()
// for word in self.banned_words:
//     auto.add_word(word.lower() if self.ignore_case else word, word)
// auto.make_automaton()
Ref build_automaton(PyObject *self) {
    Ref ahocorasick = global(n_ahocorasick);
    Ref automaton_type = ahocorasick ? get_attr(ahocorasick.get(), n_automaton_type) : Ref();
    Ref automaton = automaton_type ? Ref::steal(PyObject_CallNoArgs(automaton_type.get())) : Ref();
    Ref words = automaton ? get_attr(self, n_banned_words) : Ref();
    Ref iter = words ? Ref::steal(PyObject_GetIter(words.get())) : Ref();
    if (!iter) return {};
    while (Ref word = Ref::steal(PyIter_Next(iter.get()))) {
        const int ignore_case = attr_truth(self, n_ignore_case);
        if (ignore_case < 0) return {};
        Ref key = ignore_case ? call_method(word.get(), n_lower) : word;
        if (!key || !call_method(automaton.get(), n_add_word, key.get(), word.get())) return {};
    }
    return !PyErr_Occurred() && call_method(automaton.get(), n_make_automaton) ? automaton : Ref();
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
    Ref words = set_attr(self, n_automaton, Py_None) ? get_attr(self, n_banned_words) : Ref();
    Ref escaped = words ? Ref::steal(PyList_New(0)) : Ref();
    Ref iter = escaped ? Ref::steal(PyObject_GetIter(words.get())) : Ref();
    if (!iter) return false;
    while (Ref word = Ref::steal(PyIter_Next(iter.get()))) {
        Ref re = global(n_re);
        Ref escape = re ? call_method(re.get(), n_escape, word.get()) : Ref();
        if (!escape || PyList_Append(escaped.get(), escape.get()) < 0) return false;
    }
    Ref pattern = PyErr_Occurred() ? Ref() : Ref::steal(PyUnicode_Join(t_bar, escaped.get()));
    const int ignore_case = pattern ? attr_truth(self, n_ignore_case) : -1;
    Ref re = ignore_case >= 0 ? global(n_re) : Ref();
    if (!re) return false;
    Ref flags = ignore_case ? get_attr(re.get(), n_ignorecase_flag) : Ref::steal(PyLong_FromLong(0));
    Ref compile = flags ? get_attr(re.get(), n_compile) : Ref();
    Ref regex = compile ? call_kw(compile.get(), compile_keywords, pattern.get(), flags.get()) : Ref();
    return regex && set_attr(self, n_ban_regex, regex.get());
}

Ref build_engine(PyObject *self) {
    // if not self.banned_words: self._ban_regex = None; self._automaton = None; return
    const int any = attr_truth(self, n_banned_words);
    if (any == 0 && set_attr(self, n_ban_regex, Py_None) && set_attr(self, n_automaton, Py_None)) return none();
    if (any <= 0) return {};
    // if len(self.banned_words) >= _AC_THRESHOLD and _HAS_AC:
    Ref words = get_attr(self, n_banned_words);
    const Py_ssize_t count = words ? PyObject_Size(words.get()) : -1;
    Ref size = count >= 0 ? Ref::steal(PyLong_FromSsize_t(count)) : Ref();
    Ref threshold = size ? global(n_ac_threshold) : Ref();
    Ref large = threshold ? Ref::steal(PyObject_RichCompare(size.get(), threshold.get(), Py_GE)) : Ref();
    int automaton = large ? truth(large.get()) : -1;
    if (automaton > 0) {
        Ref has_ac = global(n_has_ac);
        automaton = has_ac ? truth(has_ac.get()) : -1;
    }
    if (automaton < 0) return {};
    if (!automaton) return build_regex(self) ? none() : Ref();
    // self._automaton = self._build_automaton(); self._ban_regex = None
    Ref built = call_method(self, n_build_automaton);
    return built && set_attr(self, n_automaton, built.get()) && set_attr(self, n_ban_regex, Py_None) ? none() : Ref();
}

constexpr Function build_engine_contract{
    .name = "_build_engine",
    .params = {{"self"}},
    .return_annotation = "None",
    .doc = "根据词库规模自动选择最优匹配引擎：AC 自动机 或 正则",
    .body = native<build_engine>(),
};

// ----- matching -----

// iter(self._automaton.iter(text.lower() if self.ignore_case else text))
Ref automaton_matches(PyObject *self, PyObject *text) {
    const int ignore_case = attr_truth(self, n_ignore_case);
    if (ignore_case < 0) return {};
    Ref searched = ignore_case ? call_method(text, n_lower) : Ref::borrow(text);
    Ref automaton = searched ? get_attr(self, n_automaton) : Ref();
    Ref matches = automaton ? call_method(automaton.get(), n_iter, searched.get()) : Ref();
    return matches ? Ref::steal(PyObject_GetIter(matches.get())) : Ref();
}

// if self._automaton: the words of every hit; elif self._ban_regex: its findall(text);
// as a list without repeats.
Ref find_matched_words(PyObject *self, PyObject *text) {
    const int automaton = attr_truth(self, n_automaton);
    if (automaton < 0) return {};
    if (automaton) {
        Ref matches = automaton_matches(self, text);
        Ref hits = matches ? Ref::steal(PySet_New(nullptr)) : Ref();
        if (!hits) return {};
        while (Ref match = Ref::steal(PyIter_Next(matches.get()))) {
            Ref end_index, word;
            if (!unpack2(match.get(), end_index, word, Unpack::python) || PySet_Add(hits.get(), word.get()) < 0)
                return {};
        }
        return PyErr_Occurred() ? Ref() : Ref::steal(PySequence_List(hits.get()));
    }
    const int regex = attr_truth(self, n_ban_regex);
    if (regex <= 0) return regex < 0 ? Ref{} : Ref::steal(PyList_New(0));
    Ref pattern = get_attr(self, n_ban_regex);
    Ref found = pattern ? call_method(pattern.get(), n_findall, text) : Ref();
    Ref hits = found ? Ref::steal(PySet_New(found.get())) : Ref();
    return hits ? Ref::steal(PySequence_List(hits.get())) : Ref();
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

// if self._automaton: whether it has a first hit; elif self._ban_regex: whether its
// search(text) finds one.
Ref has_banned_word(PyObject *self, PyObject *text) {
    const int automaton = attr_truth(self, n_automaton);
    if (automaton < 0) return {};
    if (automaton) {
        Ref matches = automaton_matches(self, text);
        Ref first = matches ? Ref::steal(PyIter_Next(matches.get())) : Ref();
        return first || !PyErr_Occurred() ? Ref::borrow(first ? Py_True : Py_False) : Ref();
    }
    const int regex = attr_truth(self, n_ban_regex);
    if (regex <= 0) return regex < 0 ? Ref{} : Ref::borrow(Py_False);
    Ref pattern = get_attr(self, n_ban_regex);
    Ref match = pattern ? call_method(pattern.get(), n_search, text) : Ref();
    return match ? Ref::borrow(match.get() != Py_None ? Py_True : Py_False) : Ref();
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
    Ref hit_words = call_method(self, n_find_matched_words, prompt);
    Ref joined = hit_words ? Ref::steal(PyUnicode_Join(t_comma, hit_words.get())) : Ref();
    Ref message = joined ? prefixed("违禁词: ", joined.get()) : Ref();
    Ref error_type = message ? global(n_prompt_ban_error) : Ref();
    Ref error = error_type ? call_kw(error_type.get(), ban_error_keywords, message.get(), hit_words.get()) : Ref();
    if (error) raise(error.get());
    return {};
}

// if not self._has_banned_word(prompt): return prompt, else raise the ban
Ref check(PyObject *self, PyObject *prompt) {
    Ref found = call_method(self, n_has_banned_word, prompt);
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
