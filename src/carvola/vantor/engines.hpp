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
    Ref pattern = Ref::steal(PyUnicode_Join(t_bar, escaped.get()));
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
    if (!compile) return false;
    Ref regex = call_kw(compile.get(), compile_keywords, pattern.get(), flags.get());
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
    Ref joined = Ref::steal(PyUnicode_Join(t_comma, hit_words.get()));
    if (!joined) return {};
    Ref message = prefixed("违禁词: ", joined.get());
    Ref error_type = global(n_prompt_ban_error);
    if (!message || !error_type) return {};
    Ref error = call_kw(error_type.get(), ban_error_keywords, message.get(), hit_words.get());
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

}  // namespace
}  // namespace carvola::vantor
