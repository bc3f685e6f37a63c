// The merge of load_banned_words: words from every source, stripped and de-duplicated in
// load order, then reduced by the exclusion list and sorted longest first.
#pragma once

#include "support.hpp"

#include <cstdint>
#include <vector>

namespace carvola::vantor {

class Merge {
public:
    Merge() = default;
    Merge(const Merge &) = delete;
    Merge &operator=(const Merge &) = delete;
    ~Merge();

    // _add_words(words): w = word.strip(); if w and w not in seen: keep w.
    bool add_all(PyObject *words) noexcept;
    // One already stripped exact str (a new reference, taken over).
    bool add_text(Ref w) noexcept;
    // Makes room for `more` words to come; may throw std::bad_alloc.
    void expect(std::size_t more);
    // How many words are kept so far, and dropping the words kept after that: a source
    // read in vain is taken back. mark() may throw std::bad_alloc.
    std::size_t mark();
    void roll_back(std::size_t mark) noexcept;
    // The kept words without those self.exclude_words removes (self.ignore_case chooses
    // the comparison), sorted by length, longest first, keeping load order among equal
    // lengths: a new list, which takes the merge's references over.
    Ref finish(PyObject *self) noexcept;

private:
    struct Word {
        PyObject *object;        // owned; null once handed to the finished list
        Py_ssize_t length;       // -1 for an object other than an exact str, until sorted
        uint32_t hash;           // of an exact str's code units
        bool text;               // an exact str
        bool lower_unchanged;    // w.lower() == w
        bool lower_same_length;  // len(w.lower()) == len(w)
    };
    static Word word(PyObject *object, Py_ssize_t length, uint32_t hash);
    struct Pending {
        PyObject *object;  // owned
        Py_ssize_t length;
        uint32_t hash;
    };
    static constexpr std::size_t kBatch = 32;

    bool add(PyObject *word);
    bool keep(Ref w, Py_ssize_t length);
    void resize_table(std::size_t size);
    void reserve_table(std::size_t count);
    void flush();
    bool use_seen_set();
    bool exclusions(PyObject *self, std::vector<std::size_t> &kept);
    Ref sorted_longest_first(const std::vector<std::size_t> &kept);

    std::vector<Word> words_;
    std::vector<Pending> pending_;  // exact strs not yet compared with the words
    // `seen`: while every word is an exact str, a native table (a 32-bit hash of the code
    // units, then index + 1 into words_; 0 is free); after any other object, a set.
    std::vector<uint64_t> table_;
    Ref seen_;
};

}  // namespace carvola::vantor
