// The merge of load_banned_words: words from every source, stripped and de-duplicated in
// load order, then reduced by the exclusion list and sorted longest first.
#include "merge.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace carvola::vantor {

namespace {

Name n_lower{"lower"};
Name n_exclude_words{"exclude_words"};
Name n_ignore_case{"ignore_case"};

// Whether every character of an exact str is its own lower case. Then w.lower() == w: the
// full lower-casing str.lower() does differs from the simple one only for U+0130 and
// U+03A3, neither of which is its own simple lower case.
bool own_lower_case(PyObject *w) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(w);
    if (PyUnicode_IS_ASCII(w)) {
        const Py_UCS1 *text = PyUnicode_1BYTE_DATA(w);
        return std::none_of(text, text + length, [](Py_UCS1 c) { return c >= 'A' && c <= 'Z'; });
    }
    const int kind = PyUnicode_KIND(w);
    const void *data = PyUnicode_DATA(w);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (Py_UNICODE_TOLOWER(c) != c) return false;
    }
    return true;
}

// A hash of an exact str's code units; equal strs have equal code units, as strs are
// always stored in the narrowest kind their characters allow.
uint32_t text_hash(PyObject *w, Py_ssize_t length) {
    const unsigned char *p = static_cast<const unsigned char *>(PyUnicode_DATA(w));
    std::size_t n = static_cast<std::size_t>(length) * PyUnicode_KIND(w);
    uint64_t h = 0x9E3779B97F4A7C15ULL ^ n;
    for (; n >= 8; n -= 8, p += 8) {
        uint64_t chunk;
        std::memcpy(&chunk, p, 8);
        h = (h ^ chunk) * 0xFF51AFD7ED558CCDULL;
        h ^= h >> 32;
    }
    uint64_t tail = 0;
    std::memcpy(&tail, p, n);
    h = (h ^ tail) * 0xC4CEB9FE1A85EC53ULL;
    h ^= h >> 29;
    return static_cast<uint32_t>(h ^ (h >> 32));
}

bool same_text(PyObject *a, PyObject *b, Py_ssize_t length) {
    const int kind = PyUnicode_KIND(a);
    return kind == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(length) * kind) == 0;
}

// obj.lower(), or a str equal to it: the keys below are only compared.
Ref lower_key(PyObject *obj) {
    if (PyUnicode_CheckExact(obj) && own_lower_case(obj)) return Ref::borrow(obj);
    return call_method(obj, n_lower);
}

}  // namespace

// Puts words_[index] into the table, which has a free slot.
void Merge::place(std::size_t index) {
    const std::size_t mask = table_.size() - 1;
    std::size_t i = words_[index].hash & mask;
    while (table_[i] != 0) i = (i + 1) & mask;
    table_[i] = words_[index].hash | (static_cast<uint64_t>(index + 1) << 32);
}

// From the first word that is not an exact str on, `seen` is a set of the words so far.
bool Merge::use_seen_set() {
    if (!(seen_ = Ref::steal(PySet_New(nullptr)))) return false;
    for (const Word &w : words_)
        if (PySet_Add(seen_.get(), w.object.get()) < 0) return false;
    std::vector<uint64_t>().swap(table_);
    return true;
}

void Merge::expect(std::size_t more) noexcept {
    const std::size_t total = words_.size() + more;
    std::size_t size = std::max<std::size_t>(64, table_.size());
    while (size < total * 2) size *= 2;
    try {
        words_.reserve(total);
        if (seen_ || size == table_.size()) return;
        std::vector<uint64_t> larger(size, 0);
        table_.swap(larger);
    } catch (const std::bad_alloc &) {
        return;  // only a hint: the words still find room one by one
    }
    for (std::size_t k = 0; k < words_.size(); ++k) place(k);
}

bool Merge::add_text(Ref w) noexcept {
    // An exact str's truth, hash and equality run no code: one lookup answers both `w`
    // and `w not in seen`.
    const Py_ssize_t length = PyUnicode_GET_LENGTH(w.get());
    if (length == 0) return true;
    try {
        if (!seen_ && words_.size() >= UINT32_MAX - 1 && !use_seen_set()) return false;
        const uint32_t hash = text_hash(w.get(), length);
        if (seen_) {
            const Py_ssize_t before = PySet_GET_SIZE(seen_.get());
            if (PySet_Add(seen_.get(), w.get()) < 0) return false;
            if (PySet_GET_SIZE(seen_.get()) == before) return true;
            const bool own_lower = own_lower_case(w.get());
            words_.push_back({std::move(w), length, own_lower, hash});
            return true;
        }
        if ((words_.size() + 1) * 2 > table_.size()) {
            table_.assign(std::max<std::size_t>(64, table_.size() * 2), 0);
            for (std::size_t k = 0; k < words_.size(); ++k) place(k);
        }
        const std::size_t mask = table_.size() - 1;
        for (std::size_t i = hash & mask; table_[i] != 0; i = (i + 1) & mask) {
            if (static_cast<uint32_t>(table_[i]) != hash) continue;
            const Word &other = words_[(table_[i] >> 32) - 1];
            if (other.length == length && same_text(other.object.get(), w.get(), length)) return true;
        }
        const bool own_lower = own_lower_case(w.get());
        words_.push_back({std::move(w), length, own_lower, hash});
        place(words_.size() - 1);
        return true;
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return false;
    }
}

void Merge::roll_back(std::size_t mark) noexcept {
    for (; words_.size() > mark; words_.pop_back())
        if (seen_ && PySet_Discard(seen_.get(), words_.back().object.get()) < 0) PyErr_Clear();  // str: no error
    if (seen_) return;
    std::fill(table_.begin(), table_.end(), 0);
    for (std::size_t k = 0; k < words_.size(); ++k) place(k);
}

bool Merge::add(PyObject *word) {
    Ref w = strip(word);
    if (!w) return false;
    if (PyUnicode_CheckExact(w.get())) return add_text(std::move(w));
    if (!seen_ && !use_seen_set()) return false;
    const int truth = PyObject_IsTrue(w.get());
    if (truth <= 0) return truth == 0;
    const int found = PySequence_Contains(seen_.get(), w.get());
    if (found != 0) return found > 0;
    if (PySet_Add(seen_.get(), w.get()) < 0) return false;
    words_.push_back({std::move(w), -1, false, 0});
    return true;
}

bool Merge::add_all(PyObject *source) noexcept {
    try {
        if (PyList_CheckExact(source)) {
            // A list iterator's walk: the length is read again after every item.
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(source); ++i) {
                Ref word = Ref::borrow(PyList_GET_ITEM(source, i));
                if (!add(word.get())) return false;
            }
            return true;
        }
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
    // While every entry is an exact str, a word that is its own key is looked up by its code
    // units, without fetching the str unless an entry's hash matches.
    std::vector<std::pair<uint32_t, PyObject *>> entry_texts;  // borrowed from exclude_set
    bool all_text = true;
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
        all_text = all_text && PyUnicode_CheckExact(entry.get());
        if (all_text) entry_texts.emplace_back(text_hash(entry.get(), PyUnicode_GET_LENGTH(entry.get())), entry.get());
    }
    if (PyErr_Occurred()) return false;
    std::sort(entry_texts.begin(), entry_texts.end());
    auto is_entry = [&](const Word &w) {
        auto [at, end] = std::equal_range(entry_texts.begin(), entry_texts.end(), std::make_pair(w.hash, nullptr),
                                          [](const auto &a, const auto &b) { return a.first < b.first; });
        for (; at != end; ++at)
            if (PyUnicode_GET_LENGTH(at->second) == w.length && same_text(at->second, w.object.get(), w.length))
                return 1;
        return 0;
    };
    std::vector<Word> kept;
    kept.reserve(words_.size());
    for (Word &w : words_) {
        int found;
        if (all_text && w.length >= 0 && (!ignore_case || w.own_lower)) {
            found = is_entry(w);
        } else {
            Ref key = ignore_case ? lower_key(w.object.get()) : w.object;
            found = key ? PySequence_Contains(exclude_set.get(), key.get()) : -1;
        }
        if (found < 0) return false;
        if (!found) kept.push_back(std::move(w));
    }
    words_ = std::move(kept);
    return true;
}

// word_list.sort(key=lambda x: len(x), reverse=True): every key first, then a stable
// sort. Word lists have few distinct lengths, so a counting sort places every word in one pass.
Ref Merge::sorted_longest_first() {
    Py_ssize_t longest = 0;
    for (Word &w : words_) {
        if (w.length < 0 && (w.length = PyObject_Size(w.object.get())) < 0) return {};
        longest = std::max(longest, w.length);
    }
    const auto count = static_cast<Py_ssize_t>(words_.size());
    Ref list = Ref::steal(PyList_New(count));
    if (!list) return {};
    auto place = [&](Py_ssize_t position, Word &w) { PyList_SET_ITEM(list.get(), position, w.object.release()); };
    if (longest > 4 * count + 64) {
        auto longer = [](const Word &a, const Word &b) { return a.length > b.length; };
        std::stable_sort(words_.begin(), words_.end(), longer);
        for (Py_ssize_t position = 0; position < count; ++position) place(position, words_[position]);
        return list;
    }
    // next[length]: where the next word of that length goes.
    std::vector<Py_ssize_t> next(static_cast<std::size_t>(longest) + 1, 0);
    for (const Word &w : words_) ++next[w.length];
    Py_ssize_t position = 0;
    for (Py_ssize_t length = longest; length >= 0; --length) position += std::exchange(next[length], position);
    for (Word &w : words_) place(next[w.length]++, w);
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
