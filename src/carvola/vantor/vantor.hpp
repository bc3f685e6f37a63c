// What the vantor sources share: the frame, loops over iterables, str.strip() with the
// semantics of the Python code it stands for, the merge of load_banned_words, word files.
#pragma once

#include "attributes.hpp"
#include "calls.hpp"
#include "errors.hpp"
#include "function.hpp"
#include "handling.hpp"
#include "module.hpp"

#include <cstdint>
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

// os.path, through the module global `os`.
inline GlobalAttribute os_path{"os"_n, "path"_n};

// obj.strip(): natively for an exact str, whose methods nobody can replace.
Ref strip(PyObject *obj) noexcept;

// for w in items: if [w and] w.strip(): take(w.strip()), with `w and` where truth_first
// holds. The condition and the element each strip, which only shows when strip is not str's.
template <typename Take>
bool each_stripped(PyObject *items, bool truth_first, Take &&take) {
    return for_each(items, [&](Ref w) {
        int kept = truth_first ? truth(w.get()) : 1;
        Ref condition = kept > 0 ? strip(w.get()) : Ref();
        if (kept > 0) kept = condition ? truth(condition.get()) : -1;
        if (kept <= 0) return kept == 0;
        Ref item = PyUnicode_CheckExact(w.get()) ? std::move(condition) : strip(w.get());
        return item && take(std::move(item));
    });
}

// The merge of load_banned_words: words from every source, stripped and de-duplicated in
// load order, then reduced by the exclusion list and sorted longest first.
class Merge {
public:
    // _add_words(words): for word in words: w = word.strip(); if w and w not in seen: keep w.
    bool add_all(PyObject *words) noexcept;
    // The same for one word.
    bool add(PyObject *word) noexcept;
    // Marks where a source begins and makes room for about `more` words to come, when
    // memory allows.
    void expect(std::size_t more) noexcept;
    // Drops the words kept since the mark: a source read in vain is taken back.
    void roll_back() noexcept;
    // The kept words without those self.exclude_words removes (self.ignore_case chooses
    // the comparison), sorted by length, longest first, keeping load order among equal
    // lengths: a new list.
    Ref finish(PyObject *self);

private:
    bool exclude(PyObject *self);
    Ref sorted_longest_first();

    // A kept word with what the exclusion and the sort ask of an exact str, noted while the
    // str is fresh in the cache: a long merge would otherwise fetch every word again.
    struct Word {
        Ref object;
        Py_ssize_t length;  // -1 for an object other than an exact str, until sorted
        Py_hash_t hash;     // of an exact str
        bool own_lower;     // an exact str equal to its lower()
    };
    struct Slot {
        uint32_t hash = 0;   // the word's, cut to 32 bits
        uint32_t index = 0;  // into words_, + 1; 0 for a free slot
        Slot() = default;
        Slot(Py_hash_t h, std::size_t k) : hash(static_cast<uint32_t>(h)), index(static_cast<uint32_t>(k + 1)) {}
    };
    Slot &slot(Py_hash_t hash, PyObject *w);
    void rehash(std::size_t size);
    bool to_set();

    std::vector<Word> words_;
    // `seen`: while every word is an exact str, an open-addressing table of words_ by hash,
    // which a long merge fills at a fraction of a set's cost; after any other object, a set
    // of the words.
    std::vector<Slot> table_;
    Ref seen_;
    std::size_t mark_ = 0;  // where the source being read began
};

// The body of _load_from_file: the words of a pickle or text file, by its extension. Given
// a merge, a text file read natively goes straight into it, each word while still fresh in
// the cache, and None comes back.
Ref load_from_file(PyObject *file_path, Merge *into) noexcept;
// The body of create_pickle_file: the cleaned words pickled into output_path.
Ref create_pickle_file(PyObject *words, PyObject *output_path) noexcept;

}  // namespace carvola::vantor
