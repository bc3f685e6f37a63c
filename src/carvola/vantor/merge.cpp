// str.strip() and the merge of load_banned_words: words from every source, stripped and
// de-duplicated in load order, then reduced by the exclusion list and sorted longest first.
#include "vantor.hpp"

#include <algorithm>
#include <functional>
#include <new>
#include <unordered_map>

namespace carvola::vantor {

namespace {

Name n_strip{"strip"};
Name n_lower{"lower"};
Name n_exclude_words{"exclude_words"};
Name n_ignore_case{"ignore_case"};

// obj.lower(), or a str equal to it: the keys below are only compared. An exact str whose
// every character is its own simple lower case equals its lower(): the full lower-casing
// str.lower() does differs from the simple one only for U+0130, which is not its own.
Ref lower_key(PyObject *obj) {
    if (PyUnicode_CheckExact(obj) && with_code_units(obj, [&](const auto *data) {
            return std::all_of(data, data + PyUnicode_GET_LENGTH(obj),
                               [](Py_UCS4 c) { return Py_UNICODE_TOLOWER(c) == c; });
        })) {
        return Ref::borrow(obj);
    }
    return call_method(obj, n_lower);
}

}  // namespace

Ref strip(PyObject *obj) noexcept {
    if (!PyUnicode_CheckExact(obj)) return call_method(obj, n_strip);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(obj);
    const auto [start, end] = with_code_units(obj, [&](const auto *data) { return strip_span(data, 0, length); });
    if (start == 0 && end == length) return Ref::borrow(obj);
    return Ref::steal(PyUnicode_Substring(obj, start, end));
}

bool Merge::add(PyObject *word) {
    Ref w = strip(word);
    if (!w) return false;
    if (PyUnicode_CheckExact(w.get())) {
        // An exact str's truth, hash and equality run no code: adding it to `seen` answers
        // both `w` and `w not in seen`.
        if (PyUnicode_GET_LENGTH(w.get()) == 0) return true;
        const Py_ssize_t before = PySet_GET_SIZE(seen_.get());
        if (PySet_Add(seen_.get(), w.get()) < 0) return false;
        if (PySet_GET_SIZE(seen_.get()) == before) return true;
    } else {
        const int kept = truth(w.get());
        if (kept <= 0) return kept == 0;
        const int found = PySequence_Contains(seen_.get(), w.get());
        if (found != 0) return found > 0;
        if (PySet_Add(seen_.get(), w.get()) < 0) return false;
    }
    words_.push_back(std::move(w));
    return true;
}

bool Merge::add_all(PyObject *source) noexcept {
    try {
        if (!seen_ && !(seen_ = Ref::steal(PySet_New(nullptr)))) return false;
        Ref iter = Ref::steal(PyObject_GetIter(source));
        if (!iter) return false;
        while (Ref word = Ref::steal(PyIter_Next(iter.get())))
            if (!add(word.get())) return false;
        return !PyErr_Occurred();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return false;
    }
}

// if self.exclude_words:
//     exclude_set = {e.strip()[.lower()] for e in self.exclude_words if e.strip()}
//     word_list = [w for w in word_list if w[.lower()] not in exclude_set]
// with .lower() where self.ignore_case holds.
bool Merge::exclude(PyObject *self) {
    Ref exclude_words = get_attr(self, n_exclude_words);
    const int any = exclude_words ? truth(exclude_words.get()) : -1;
    if (any <= 0) return any == 0;
    const int ignore_case = attr_truth(self, n_ignore_case);
    Ref exclude_set = ignore_case >= 0 ? Ref::steal(PySet_New(nullptr)) : Ref();
    Ref entries = exclude_set ? Ref::steal(PyObject_GetIter(exclude_words.get())) : Ref();
    if (!entries) return false;
    while (Ref e = Ref::steal(PyIter_Next(entries.get()))) {
        // The condition and the element each strip, which only shows when strip is not str's.
        Ref condition = strip(e.get());
        const int kept = condition ? truth(condition.get()) : -1;
        if (kept <= 0) {
            if (kept < 0) return false;
            continue;
        }
        Ref entry = PyUnicode_CheckExact(e.get()) ? std::move(condition) : strip(e.get());
        if (entry && ignore_case) entry = call_method(entry.get(), n_lower);
        if (!entry || PySet_Add(exclude_set.get(), entry.get()) < 0) return false;
    }
    if (PyErr_Occurred()) return false;
    std::vector<Ref> kept;
    for (Ref &w : words_) {
        Ref key = ignore_case ? lower_key(w.get()) : w;
        const int found = key ? PySequence_Contains(exclude_set.get(), key.get()) : -1;
        if (found < 0) return false;
        if (!found) kept.push_back(std::move(w));
    }
    words_ = std::move(kept);
    return true;
}

// word_list.sort(key=lambda x: len(x), reverse=True): every key first, then a stable sort.
// Word lists have few distinct lengths: the words of each length are counted, and every
// word is then placed in one pass.
Ref Merge::sorted_longest_first() {
    std::unordered_map<Py_ssize_t, Py_ssize_t> next;  // length: where its next word goes
    std::vector<Py_ssize_t *> slots;                  // each word's entry of `next`
    slots.reserve(words_.size());
    for (const Ref &w : words_) {
        const Py_ssize_t length = PyObject_Size(w.get());
        if (length < 0) return {};
        Py_ssize_t &count = next[length];  // entries of an unordered_map never move
        ++count;
        slots.push_back(&count);
    }
    std::vector<Py_ssize_t> lengths;
    for (const auto &entry : next) lengths.push_back(entry.first);
    std::sort(lengths.begin(), lengths.end(), std::greater<>());
    Py_ssize_t position = 0;
    for (Py_ssize_t length : lengths) position += std::exchange(next[length], position);
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(words_.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < words_.size(); ++i) PyList_SET_ITEM(list.get(), (*slots[i])++, words_[i].release());
    return list;
}

Ref Merge::finish(PyObject *self) noexcept {
    try {
        return exclude(self) ? sorted_longest_first() : Ref();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return {};
    }
}

}  // namespace carvola::vantor
