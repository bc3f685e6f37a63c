// The merge of load_banned_words: words from every source, stripped and de-duplicated in
// load order, then reduced by the exclusion list and sorted longest first.
#include "merge.hpp"

#include "numbers.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace carvola::vantor {

namespace {

Name n_lower{"lower"};
Name n_exclude_words{"exclude_words"};
Name n_ignore_case{"ignore_case"};

// How w.lower() relates to w. Full lower-casing, which str.lower() does, maps every
// character to one character except U+0130 (two), and differs from the simple lower case
// only for U+0130 and for U+03A3 (by context), neither of which is its own simple lower
// case. So w.lower() == w when every character is its own simple lower case, and
// len(w.lower()) == len(w) when no character is U+0130.
struct CaseFlags {
    bool unchanged;
    bool same_length;
};

CaseFlags case_flags(PyObject *w) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(w);
    if (PyUnicode_IS_ASCII(w)) {
        const Py_UCS1 *text = PyUnicode_1BYTE_DATA(w);
        return {std::none_of(text, text + length, [](Py_UCS1 c) { return c >= 'A' && c <= 'Z'; }), true};
    }
    const int kind = PyUnicode_KIND(w);
    const void *data = PyUnicode_DATA(w);
    CaseFlags flags{true, true};
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == 0x130) flags.same_length = false;
        if (Py_UNICODE_TOLOWER(c) != c) flags.unchanged = false;
    }
    return flags;
}

// Equal exact strs have the same kind and the same code units: strs are always stored in
// the narrowest kind their characters allow.
bool same_text(PyObject *a, PyObject *b, Py_ssize_t length) {
    const int kind = PyUnicode_KIND(a);
    return kind == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(length) * kind) == 0;
}

// A hash of a str's code units for the table of seen words, cheaper than str's own and
// leaving that uncomputed; equal strs have equal code units, so equal hashes.
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
    h *= 0xFF51AFD7ED558CCDULL;
    return static_cast<uint32_t>(h ^ (h >> 32));
}

// Exact strs, found by their code units; the strs are borrowed.
class TextSet {
public:
    void add(PyObject *text) {
        if ((count_ + 1) * 2 > slots_.size()) {
            std::vector<Slot> old = std::move(slots_);
            slots_.assign(std::max<std::size_t>(16, old.size() * 2), Slot{});
            for (const Slot &slot : old)
                if (slot.text != nullptr) place(slot);
        }
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        const uint32_t hash = text_hash(text, length);
        if (!contains(text, length, hash)) {
            place({hash, text});
            ++count_;
        }
    }

    bool contains(PyObject *text, Py_ssize_t length, uint32_t hash) const {
        if (slots_.empty()) return false;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = hash & mask; slots_[i].text != nullptr; i = (i + 1) & mask) {
            const Slot &slot = slots_[i];
            if (slot.hash == hash && PyUnicode_GET_LENGTH(slot.text) == length && same_text(slot.text, text, length))
                return true;
        }
        return false;
    }

private:
    struct Slot {
        uint32_t hash = 0;
        PyObject *text = nullptr;
    };
    void place(const Slot &slot) {
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = slot.hash & mask;
        while (slots_[i].text != nullptr) i = (i + 1) & mask;
        slots_[i] = slot;
    }
    std::vector<Slot> slots_;
    std::size_t count_ = 0;
};

}  // namespace

Merge::Word Merge::word(PyObject *object, Py_ssize_t length, uint32_t hash) {
    const CaseFlags flags = case_flags(object);
    return {object, length, hash, true, flags.unchanged, flags.same_length};
}

Merge::~Merge() {
    for (Word &w : words_) Py_XDECREF(w.object);
    for (Pending &p : pending_) Py_DECREF(p.object);
}

bool Merge::keep(Ref w, Py_ssize_t length) {
    words_.push_back(length >= 0 ? word(w.get(), length, text_hash(w.get(), length)) : Word{w.get(), -1, 0, false, false, false});
    w.release();
    return true;
}

void Merge::resize_table(std::size_t size) {
    std::vector<uint64_t> old = std::move(table_);
    table_.assign(size, 0);
    const std::size_t mask = size - 1;
    for (uint64_t slot : old) {
        if (slot == 0) continue;
        std::size_t i = static_cast<uint32_t>(slot) & mask;
        while (table_[i] != 0) i = (i + 1) & mask;
        table_[i] = slot;
    }
}

// Room for `count` words at a load of at most one half.
void Merge::reserve_table(std::size_t count) {
    if (count * 2 <= table_.size()) return;
    std::size_t size = std::max<std::size_t>(64, table_.size());
    while (size < count * 2) size *= 2;
    resize_table(size);
}

// Places the pending words in order: each either joins the words, its table slot taking
// its index + 1, or is dropped as a repeat.
void Merge::flush() {
    words_.reserve(words_.size() + pending_.size());  // the only step that can throw
    const std::size_t mask = table_.size() - 1;
    for (const Pending &p : pending_) {
        for (std::size_t i = p.hash & mask;; i = (i + 1) & mask) {
            const uint64_t slot = table_[i];
            if (slot == 0) {
                table_[i] = p.hash | (static_cast<uint64_t>(words_.size() + 1) << 32);
                words_.push_back(word(p.object, p.length, p.hash));
                break;
            }
            if (static_cast<uint32_t>(slot) != p.hash) continue;
            const Word &other = words_[(slot >> 32) - 1];
            if (other.length == p.length && same_text(other.object, p.object, p.length)) {
                Py_DECREF(p.object);
                break;
            }
        }
    }
    pending_.clear();
}

// From the first word that is not an exact str on, `seen` is a set of the words so far.
bool Merge::use_seen_set() {
    flush();
    seen_ = Ref::steal(PySet_New(nullptr));
    if (!seen_) return false;
    for (const Word &w : words_)
        if (PySet_Add(seen_.get(), w.object) < 0) return false;
    std::vector<uint64_t>().swap(table_);
    return true;
}

void Merge::expect(std::size_t more) {
    const std::size_t total = words_.size() + pending_.size() + more;
    words_.reserve(total);
    if (!seen_) reserve_table(total);
}

std::size_t Merge::mark() {
    flush();
    return words_.size();
}

void Merge::roll_back(std::size_t mark) noexcept {
    for (Pending &p : pending_) Py_DECREF(p.object);
    pending_.clear();
    for (std::size_t i = mark; i < words_.size(); ++i) {
        if (seen_ && PySet_Discard(seen_.get(), words_[i].object) < 0) PyErr_Clear();  // exact strs cannot fail
        Py_XDECREF(words_[i].object);
    }
    words_.resize(mark);
    if (seen_) return;
    std::fill(table_.begin(), table_.end(), 0);
    const std::size_t mask = table_.size() - 1;
    for (std::size_t k = 0; k < words_.size(); ++k) {
        std::size_t i = words_[k].hash & mask;
        while (table_[i] != 0) i = (i + 1) & mask;
        table_[i] = words_[k].hash | (static_cast<uint64_t>(k + 1) << 32);
    }
}

bool Merge::add_text(Ref w) noexcept {
    try {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(w.get());
        if (length == 0) return true;
        if (!seen_ && words_.size() + pending_.size() >= UINT32_MAX - 2 && !use_seen_set()) return false;
        if (seen_) {
            const Py_ssize_t before = PySet_GET_SIZE(seen_.get());
            if (PySet_Add(seen_.get(), w.get()) < 0) return false;
            return PySet_GET_SIZE(seen_.get()) == before || keep(std::move(w), length);
        }
        // Words wait in small batches, their table slots fetched ahead, so that the
        // cache misses of a batch overlap instead of following one another.
        reserve_table(words_.size() + pending_.size() + 1);
        const uint32_t hash = text_hash(w.get(), length);
        __builtin_prefetch(&table_[hash & (table_.size() - 1)]);
        pending_.push_back({w.get(), length, hash});
        w.release();
        if (pending_.size() == kBatch) flush();
        return true;
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return false;
    }
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
    return PySet_Add(seen_.get(), w.get()) == 0 && keep(std::move(w), -1);
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

// Step 6: the indices of the words no exclusion entry removes, in load order.
bool Merge::exclusions(PyObject *self, std::vector<std::size_t> &kept) {
    Ref exclude_words = get_attr(self, n_exclude_words);
    if (!exclude_words) return false;
    const int any = PyObject_IsTrue(exclude_words.get());
    if (any < 0) return false;
    if (!any) {
        for (std::size_t i = 0; i < words_.size(); ++i) kept.push_back(i);
        return true;
    }
    const int ignore_case = attr_truth(self, n_ignore_case);
    if (ignore_case < 0) return false;

    Ref exclude_set = Ref::steal(PySet_New(nullptr));
    Ref entries = Ref::steal(PyObject_GetIter(exclude_words.get()));
    if (!exclude_set || !entries) return false;
    // While every entry is an exact str, exact strs are looked up by their code units, and
    // a word can only be an entry of the same length.
    TextSet entry_texts;
    std::vector<bool> entry_length;
    bool all_text = true;
    while (Ref e = Ref::steal(PyIter_Next(entries.get()))) {
        // {e.strip()[.lower()] for e in exclude_words if e.strip()}: the condition and the
        // element each strip, which only shows when strip is not str's own.
        Ref condition = strip(e.get());
        if (!condition) return false;
        const int truth = PyObject_IsTrue(condition.get());
        if (truth < 0) return false;
        if (!truth) continue;
        Ref entry = PyUnicode_CheckExact(e.get()) ? std::move(condition) : strip(e.get());
        if (entry && ignore_case) entry = call_method(entry.get(), n_lower);
        if (!entry || PySet_Add(exclude_set.get(), entry.get()) < 0) return false;
        if (!PyUnicode_CheckExact(entry.get())) {
            all_text = false;
            continue;
        }
        entry_texts.add(entry.get());  // the set keeps it alive
        const std::size_t length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(entry.get()));
        if (length >= entry_length.size()) entry_length.resize(length + 1);
        entry_length[length] = true;
    }
    if (PyErr_Occurred()) return false;

    for (std::size_t i = 0; i < words_.size(); ++i) {
        const Word &w = words_[i];
        int excluded;
        if (!all_text || !w.text) {
            // [w for w in word_list if w.lower() not in exclude_set], or w itself
            Ref key = ignore_case ? call_method(w.object, n_lower) : Ref::borrow(w.object);
            excluded = key ? PySequence_Contains(exclude_set.get(), key.get()) : -1;
        } else if (!ignore_case || w.lower_unchanged) {
            excluded = entry_texts.contains(w.object, w.length, w.hash);
        } else if (w.lower_same_length &&
                   (static_cast<std::size_t>(w.length) >= entry_length.size() || !entry_length[w.length])) {
            excluded = 0;
        } else {
            Ref key = call_method(w.object, n_lower);
            if (!key) return false;
            const Py_ssize_t length = PyUnicode_GET_LENGTH(key.get());
            excluded = entry_texts.contains(key.get(), length, text_hash(key.get(), length));
        }
        if (excluded < 0) return false;
        if (!excluded) kept.push_back(i);
    }
    return true;
}

// Step 7, word_list.sort(key=lambda x: len(x), reverse=True), into a new list that takes
// the words over: a stable sort, longest first. Word lists have few distinct lengths, so
// a counting sort places every word in one pass.
Ref Merge::sorted_longest_first(const std::vector<std::size_t> &kept) {
    Py_ssize_t longest = 0;
    for (std::size_t k : kept) {
        Word &w = words_[k];
        if (!w.text) {
            w.length = PyObject_Size(w.object);  // the sort key of any other object
            if (w.length < 0) return {};
        }
        longest = std::max(longest, w.length);
    }
    const Py_ssize_t count = static_cast<Py_ssize_t>(kept.size());
    Ref list = Ref::steal(PyList_New(count));
    if (!list) return {};
    auto place = [&](Py_ssize_t position, std::size_t k) {
        PyList_SET_ITEM(list.get(), position, std::exchange(words_[k].object, nullptr));
    };
    if (longest <= 4 * count + 64) {
        std::vector<Py_ssize_t> next(static_cast<std::size_t>(longest) + 1, 0);
        for (std::size_t k : kept) ++next[words_[k].length];
        Py_ssize_t position = 0;
        for (Py_ssize_t length = longest; length >= 0; --length) position += std::exchange(next[length], position);
        for (std::size_t k : kept) place(next[words_[k].length]++, k);
    } else {
        std::vector<std::size_t> order(kept);
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return words_[a].length > words_[b].length; });
        for (Py_ssize_t position = 0; position < count; ++position) place(position, order[position]);
    }
    return list;
}

Ref Merge::finish(PyObject *self) noexcept {
    try {
        flush();
        std::vector<std::size_t> kept;
        kept.reserve(words_.size());
        if (!exclusions(self, kept)) return {};
        return sorted_longest_first(kept);
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return {};
    }
}

}  // namespace carvola::vantor
