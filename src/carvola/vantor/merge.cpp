// str.strip() and the merge of load_banned_words: words from every source, stripped and
// de-duplicated in load order, then reduced by the exclusion list and sorted longest first.
#include "vantor.hpp"

#include <algorithm>
#include <bit>
#include <new>

namespace carvola::vantor {

namespace {

// Whether every character of an exact str is its own simple lower case. Then w.lower() == w:
// the full lower-casing str.lower() does differs from the simple one only for U+0130, which
// is not its own.
bool own_lower_case(PyObject *w) {
    return with_code_units(w, [&](const auto *data) {
        return std::all_of(data, data + PyUnicode_GET_LENGTH(w), [](Py_UCS4 c) {
            return c < 128 ? c < 'A' || c > 'Z' : Py_UNICODE_TOLOWER(c) == c;
        });
    });
}

}  // namespace

Ref strip(PyObject *obj) noexcept {
    if (!PyUnicode_CheckExact(obj)) return call_method(obj, "strip"_n);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(obj);
    const auto [start, end] = with_code_units(obj, [&](const auto *data) { return strip_span(data, 0, length); });
    if (start == 0 && end == length) return Ref::borrow(obj);
    return Ref::steal(PyUnicode_Substring(obj, start, end));
}

// w = word.strip(); if w and w not in seen: seen.add(w); word_list.append(w)
// An exact str's truth, hash and equality run no code: while every word is one, one lookup
// in the table answers both `w` and `w not in seen`.
bool Merge::add(PyObject *word) noexcept {
    Ref w = strip(word);
    if (!w) return false;
    const bool text = PyUnicode_CheckExact(w.get());
    const Py_hash_t hash = text ? PyObject_Hash(w.get()) : -1;  // a str's hash cannot fail
    try {
        // The table indexes at most 2**32 - 2 words.
        if (!seen_ && (!text || words_.size() == UINT32_MAX - 1) && !to_set()) return false;
        if (text && !seen_) {
            if (PyUnicode_GET_LENGTH(w.get()) == 0) return true;
            if ((words_.size() + 1) * 2 > table_.size()) rehash(std::max<std::size_t>(64, table_.size() * 2));
            Slot &at = slot(hash, w.get());
            if (at.index != 0) return true;
            at = Slot(hash, words_.size());
        } else {
            const int kept = truth(w.get());
            if (kept <= 0) return kept == 0;
            const int found = PySequence_Contains(seen_.get(), w.get());
            if (found != 0) return found > 0;
            if (PySet_Add(seen_.get(), w.get()) < 0) return false;
        }
        // What the exclusion and the sort ask of an exact str, noted while it is fresh.
        Word &kept = words_.emplace_back(Word{std::move(w), -1, hash, false});
        if (text) {
            kept.length = PyUnicode_GET_LENGTH(kept.object.get());
            kept.own_lower = own_lower_case(kept.object.get());
        }
        return true;
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return false;
    }
}

// seen as a set of the words kept so far, from the table.
bool Merge::to_set() {
    if (!(seen_ = Ref::steal(PySet_New(nullptr)))) return false;
    for (const Word &k : words_)
        if (PySet_Add(seen_.get(), k.object.get()) < 0) return false;
    std::vector<Slot>().swap(table_);
    return true;
}

// The slot of table_ that holds `w`, or the free one where it goes (always, for null).
Merge::Slot &Merge::slot(Py_hash_t hash, PyObject *w) {
    const std::size_t mask = table_.size() - 1;
    const auto short_hash = static_cast<uint32_t>(hash);
    std::size_t i = short_hash & mask;
    for (; table_[i].index != 0; i = (i + 1) & mask) {
        if (w == nullptr || table_[i].hash != short_hash) continue;
        if (PyUnicode_Compare(words_[table_[i].index - 1].object.get(), w) == 0) break;
    }
    return table_[i];
}

// table_ with `size` slots, a power of two, every kept word placed anew.
void Merge::rehash(std::size_t size) {
    table_.assign(size, Slot{});
    for (std::size_t k = 0; k < words_.size(); ++k) slot(words_[k].hash, nullptr) = Slot(words_[k].hash, k);
}

void Merge::expect(std::size_t more) noexcept {
    mark_ = words_.size();
    const std::size_t total = words_.size() + more;
    const std::size_t size = std::max({std::size_t{64}, table_.size(), std::bit_ceil(total * 2)});
    try {
        words_.reserve(total);
        if (!seen_ && size != table_.size()) rehash(size);
    } catch (const std::bad_alloc &) {
        // only a hint: the words still find room one by one
    }
}

void Merge::roll_back() noexcept {
    for (; words_.size() > mark_; words_.pop_back())
        if (seen_ && PySet_Discard(seen_.get(), words_.back().object.get()) < 0) PyErr_Clear();  // a str: no error
    if (!seen_) rehash(table_.size());  // the same size: no allocation
}

bool Merge::add_all(PyObject *source) noexcept {
    return for_each(source, [&](Ref word) { return add(word.get()); });
}

// if self.exclude_words:
//     exclude_set = {e.strip()[.lower()] for e in self.exclude_words if e.strip()}
//     word_list = [w for w in word_list if w[.lower()] not in exclude_set]
// with .lower() where self.ignore_case holds.
bool Merge::exclude(PyObject *self) {
    Ref exclude_words = get_attr(self, "exclude_words"_n);
    const int any = exclude_words ? truth(exclude_words.get()) : -1;
    if (any <= 0) return any == 0;
    const int ignore_case = attr_truth(self, "ignore_case"_n);
    Ref exclude_set = ignore_case >= 0 ? Ref::steal(PySet_New(nullptr)) : Ref();
    // While every entry is an exact str, their hashes.
    std::vector<Py_hash_t> entry_hashes;
    bool all_text = true;
    const bool built = exclude_set && each_stripped(exclude_words.get(), false, [&](Ref entry) {
        if (ignore_case) entry = call_method(entry.get(), "lower"_n);
        if (!entry || PySet_Add(exclude_set.get(), entry.get()) < 0) return false;
        all_text = all_text && PyUnicode_CheckExact(entry.get());
        if (all_text) entry_hashes.push_back(PyObject_Hash(entry.get()));
        return true;
    });
    if (!built) return false;
    std::sort(entry_hashes.begin(), entry_hashes.end());
    std::size_t kept = 0;
    for (Word &w : words_) {
        // Equal strs have equal hashes: most words are answered by their noted hash,
        // without fetching the str.
        const bool plain = all_text && w.length >= 0 && (!ignore_case || w.own_lower);
        int found = 0;
        if (!plain || std::binary_search(entry_hashes.begin(), entry_hashes.end(), w.hash)) {
            Ref key = !ignore_case || w.own_lower ? w.object : call_method(w.object.get(), "lower"_n);
            found = key ? PySet_Contains(exclude_set.get(), key.get()) : -1;
        }
        if (found < 0) return false;
        if (!found) words_[kept++] = std::move(w);
    }
    words_.resize(kept);
    return true;
}

// word_list.sort(key=lambda x: len(x), reverse=True): every key first, then a stable sort.
// Word lists have few distinct lengths: the words of each length are counted, and every
// word is then placed in one pass.
Ref Merge::sorted_longest_first() {
    Py_ssize_t longest = 0;
    for (Word &w : words_) {
        if (w.length < 0 && (w.length = PyObject_Size(w.object.get())) < 0) return {};
        longest = std::max(longest, w.length);
    }
    const auto count = static_cast<Py_ssize_t>(words_.size());
    Ref list = Ref::steal(PyList_New(count));
    if (!list) return {};
    if (longest > 4 * count + 64) {  // a table of lengths would outgrow the words: compare them
        std::stable_sort(words_.begin(), words_.end(), [](auto &a, auto &b) { return a.length > b.length; });
        for (Py_ssize_t i = 0; i < count; ++i) PyList_SET_ITEM(list.get(), i, words_[i].object.release());
        return list;
    }
    std::vector<Py_ssize_t> next(static_cast<std::size_t>(longest) + 1, 0);  // where a length's next word goes
    for (const Word &w : words_) ++next[w.length];
    Py_ssize_t position = 0;
    for (Py_ssize_t length = longest; length >= 0; --length) position += std::exchange(next[length], position);
    for (Word &w : words_) PyList_SET_ITEM(list.get(), next[w.length]++, w.object.release());
    return list;
}

Ref Merge::finish(PyObject *self) { return exclude(self) ? sorted_longest_first() : Ref(); }

}  // namespace carvola::vantor
