// The merge of load_banned_words: words from every source, stripped and de-duplicated in
// load order, then reduced by the exclusion list and sorted longest first.
#pragma once

#include "support.hpp"

#include <cstdint>
#include <vector>

namespace carvola::vantor {

class Merge {
public:
    // _add_words(words): for word in words: w = word.strip(); if w and w not in seen: keep w.
    bool add_all(PyObject *words) noexcept;
    // One word that is already stripped and an exact str.
    bool add_text(Ref w) noexcept;
    // Makes room for about `more` words to come, when memory allows.
    void expect(std::size_t more) noexcept;
    // How many words are kept, and dropping those kept since: a source read in vain is
    // taken back.
    std::size_t size() const noexcept { return words_.size(); }
    void roll_back(std::size_t mark) noexcept;
    // The kept words without those self.exclude_words removes (self.ignore_case chooses
    // the comparison), sorted by length, longest first, keeping load order among equal
    // lengths: a new list.
    Ref finish(PyObject *self) noexcept;

private:
    bool add(PyObject *word);
    bool exclude(PyObject *self);
    Ref sorted_longest_first();

    // A kept word with what the exclusion and the sort ask of an exact str, noted while the
    // str is fresh in the cache: a long merge would otherwise fetch every word again.
    struct Word {
        Ref object;
        Py_ssize_t length;  // -1 for an object other than an exact str, until sorted
        bool own_lower;     // an exact str equal to its lower()
        uint32_t hash;      // of an exact str's code units
    };

    bool use_seen_set();
    void place(std::size_t index);

    std::vector<Word> words_;
    // `seen`: while every word is an exact str, a table of (hash of the code units, index + 1
    // into words_; 0 is free), which a long merge fills at a fraction of a set's cost since
    // no str's own hash is computed; after any other object, a set of the words.
    std::vector<uint64_t> table_;
    Ref seen_;
};

}  // namespace carvola::vantor
