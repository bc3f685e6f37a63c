// The merge of load_banned_words: words from every source, stripped and de-duplicated in
// load order, then reduced by the exclusion list and sorted longest first.
#include "merge.hpp"

#include <algorithm>
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

// Whether an exact str holds U+0130, the one character whose lower case is two characters.
bool holds_dotted_capital_i(PyObject *w) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(w);
    switch (PyUnicode_KIND(w)) {
        case PyUnicode_1BYTE_KIND: return false;
        case PyUnicode_2BYTE_KIND: {
            const Py_UCS2 *text = PyUnicode_2BYTE_DATA(w);
            return std::find(text, text + length, 0x130) != text + length;
        }
        default: {
            const Py_UCS4 *text = PyUnicode_4BYTE_DATA(w);
            return std::find(text, text + length, 0x130) != text + length;
        }
    }
}

// obj.lower(), or a str equal to it: the keys below are only compared.
Ref lower_key(PyObject *obj) {
    if (PyUnicode_CheckExact(obj) && own_lower_case(obj)) return Ref::borrow(obj);
    return call_method(obj, n_lower);
}

}  // namespace

bool Merge::add_text(Ref w) noexcept {
    // An exact str's truth, hash and equality run no code: one insertion answers both `w`
    // and `w not in seen`.
    const Py_ssize_t length = PyUnicode_GET_LENGTH(w.get());
    if (length == 0) return true;
    if (!seen_ && !(seen_ = Ref::steal(PySet_New(nullptr)))) return false;
    const Py_ssize_t before = PySet_GET_SIZE(seen_.get());
    if (PySet_Add(seen_.get(), w.get()) < 0) return false;
    if (PySet_GET_SIZE(seen_.get()) == before) return true;
    try {
        const bool lower_same_length = !holds_dotted_capital_i(w.get());
        words_.push_back({std::move(w), length, lower_same_length});
        return true;
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return false;
    }
}

void Merge::roll_back(std::size_t mark) noexcept {
    for (; words_.size() > mark; words_.pop_back())
        if (PySet_Discard(seen_.get(), words_.back().object.get()) < 0) PyErr_Clear();  // exact strs cannot fail
}

bool Merge::add(PyObject *word) {
    Ref w = strip(word);
    if (!w) return false;
    if (PyUnicode_CheckExact(w.get())) return add_text(std::move(w));
    const int truth = PyObject_IsTrue(w.get());
    if (truth <= 0) return truth == 0;
    const int found = PySequence_Contains(seen_.get(), w.get());
    if (found != 0) return found > 0;
    if (PySet_Add(seen_.get(), w.get()) < 0) return false;
    words_.push_back({std::move(w), -1, false});
    return true;
}

bool Merge::add_all(PyObject *source) noexcept {
    if (!seen_ && !(seen_ = Ref::steal(PySet_New(nullptr)))) return false;
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
    // While every entry is an exact str, a word can only match an entry of its own length.
    std::vector<bool> entry_length;
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
        const std::size_t length = all_text ? static_cast<std::size_t>(PyUnicode_GET_LENGTH(entry.get())) : 0;
        if (length >= entry_length.size()) entry_length.resize(length + 1);
        entry_length[length] = true;
    }
    if (PyErr_Occurred()) return false;
    std::vector<Word> kept;
    kept.reserve(words_.size());
    for (Word &w : words_) {
        // A word whose lower() is itself skips the lookup when no entry has its length.
        const auto length = static_cast<std::size_t>(w.length);
        const bool unmatched = all_text && w.length >= 0 && (!ignore_case || w.lower_same_length) &&
                               (length >= entry_length.size() || !entry_length[length]);
        int found = 0;
        if (!unmatched) {
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
        std::stable_sort(words_.begin(), words_.end(), [](const Word &a, const Word &b) { return a.length > b.length; });
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
