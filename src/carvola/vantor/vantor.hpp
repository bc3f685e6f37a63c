// What the vantor sources share: the frame, str.strip() with the semantics of the Python
// code it stands for, the merge of load_banned_words and the word files.
#pragma once

#include "attributes.hpp"
#include "calls.hpp"
#include "errors.hpp"
#include "function.hpp"
#include "handling.hpp"
#include "module.hpp"

#include <utility>
#include <vector>

namespace carvola::vantor {

// f(data), with data the code units of the exact str `text`, whatever their width.
template <typename F>
auto with_code_units(PyObject *text, F &&f) {
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: return f(PyUnicode_1BYTE_DATA(text));
        case PyUnicode_2BYTE_KIND: return f(PyUnicode_2BYTE_DATA(text));
        default: return f(PyUnicode_4BYTE_DATA(text));
    }
}

// The part [start, end) of data[start:end] that str.strip() keeps.
template <typename Char>
std::pair<Py_ssize_t, Py_ssize_t> strip_span(const Char *data, Py_ssize_t start, Py_ssize_t end) {
    while (start < end && Py_UNICODE_ISSPACE(data[start])) ++start;
    while (end > start && Py_UNICODE_ISSPACE(data[end - 1])) --end;
    return {start, end};
}

// obj.strip(): natively for an exact str, whose methods nobody can replace.
Ref strip(PyObject *obj) noexcept;

// The merge of load_banned_words: words from every source, stripped and de-duplicated in
// load order, then reduced by the exclusion list and sorted longest first.
class Merge {
public:
    // _add_words(words): for word in words: w = word.strip(); if w and w not in seen: keep w.
    bool add_all(PyObject *words) noexcept;
    // The kept words without those self.exclude_words removes (self.ignore_case chooses
    // the comparison), sorted by length, longest first, keeping load order among equal
    // lengths: a new list.
    Ref finish(PyObject *self) noexcept;

private:
    bool add(PyObject *word);
    bool exclude(PyObject *self);
    Ref sorted_longest_first();

    std::vector<Ref> words_;
    Ref seen_;
};

// The body of _load_from_file: the words of a pickle or text file, by its extension.
Ref load_from_file(PyObject *file_path) noexcept;
// The body of create_pickle_file: the cleaned words pickled into output_path.
Ref create_pickle_file(PyObject *words, PyObject *output_path) noexcept;

}  // namespace carvola::vantor
