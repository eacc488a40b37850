// coherence_ratio: which languages a decoded text is coherent with. The text
// is split into layers of compatible scripts; each layer's distinct
// characters are ordered by frequency, candidate languages are chosen by how
// much of their alphabet the layer shows (or named by the caller), and each
// candidate is scored by comparing popularity orders.
#include <algorithm>
#include <cstring>

#include "shared/args.h"
#include "shared/errors.h"
#include "shared/pyref.h"
#include "shared/rounding.h"
#include "tessaly/checkpoints.h"
#include "tessaly/functions.h"
#include "tessaly/records.h"
#include "tessaly/results.h"
#include "tessaly/scratch.h"

namespace vx::tessaly {

namespace {

constexpr double kDefaultThreshold = 0.1;
constexpr double kSufficientRatio = 0.8;
constexpr int kSufficientMatchLimit = 3;  // stop a layer's candidates after this many sufficient ratios
constexpr double kAlphabetShare = 0.2;
constexpr size_t kStackCharacters = 512;
constexpr uint32_t kEmptySlot = 0xFFFFFFFF;
constexpr uint32_t kHashMultiplier = 0x9E3779B1u;
constexpr size_t kInsertionSortLimit = 32;
constexpr size_t kDirectCountMin = 16384;  // from this length, a two-byte layer is counted by direct index
constexpr size_t kShortLayer = 1024;       // below this, a one-byte layer is counted in one plain pass
constexpr uint32_t kBucketLimit = 1024;    // counting sort for counts below this
constexpr int kCountBits = 16;             // bits of a per-language match count

// Frequency table of one layer: open addressing with linear probing, load
// factor at most one half.
struct CodepointCounter {
    uint32_t* keys;
    uint32_t* counts;
    uint32_t* first_seen;  // slots in order of first appearance
    size_t mask;
    size_t distinct = 0;

    // Count every character; -1 with the exception a signal handler raised.
    template <class CharT>
    int add_all(const CharT* text, Py_ssize_t n) noexcept {
        for (Py_ssize_t from = 0; from < n; from = block_end(from, n)) {
            if (from != 0 && PyErr_CheckSignals() < 0) {
                return -1;
            }
            const Py_ssize_t to = block_end(from, n);
            for (Py_ssize_t i = from; i < to; ++i) {
                const uint32_t c = text[i];
                size_t slot = static_cast<uint32_t>(c * kHashMultiplier) & mask;
                while (keys[slot] != c && keys[slot] != kEmptySlot) {
                    slot = (slot + 1) & mask;
                }
                if (keys[slot] == kEmptySlot) {
                    keys[slot] = c;
                    first_seen[distinct++] = static_cast<uint32_t>(slot);
                }
                ++counts[slot];
            }
        }
        return 0;
    }
};

// The stable order by count of sort_by_count as a counting sort, for counts
// up to `highest` (below kBucketLimit): each slot goes to the next free place
// of its count's bucket, the buckets laid out from the highest count down.
int sort_by_count_buckets(uint32_t* slots, size_t d, const uint32_t* counts, uint32_t highest) noexcept {
    uint32_t start[kBucketLimit + 1];
    std::fill(start, start + highest + 2, 0u);
    for (size_t i = 0; i < d; ++i) {
        ++start[highest - counts[slots[i]] + 1];
    }
    for (uint32_t b = 1; b <= highest; ++b) {
        start[b] += start[b - 1];
    }
    Scratch<uint32_t, kStackCharacters> storage;
    uint32_t* sorted = storage.reserve(d);
    if (sorted == nullptr) {
        return -1;
    }
    for (size_t i = 0; i < d; ++i) {
        sorted[start[highest - counts[slots[i]]]++] = slots[i];
    }
    std::memcpy(slots, sorted, d * sizeof(uint32_t));
    return 0;
}

// Stable ordering of slots by count, highest first: equal counts keep their
// order of first appearance. Insertion sort for short lists, a bottom-up
// merge sort (same order) for long ones. -1 with MemoryError on failure.
int sort_by_count(uint32_t* slots, size_t d, const uint32_t* counts) noexcept {
    if (d <= kInsertionSortLimit) {
        for (size_t i = 1; i < d; ++i) {
            const uint32_t slot = slots[i];
            size_t j = i;
            while (j > 0 && counts[slots[j - 1]] < counts[slot]) {
                slots[j] = slots[j - 1];
                --j;
            }
            slots[j] = slot;
        }
        return 0;
    }
    uint32_t highest = 0;
    for (size_t i = 0; i < d; ++i) {
        highest = std::max(highest, counts[slots[i]]);
    }
    if (highest < kBucketLimit) {
        return sort_by_count_buckets(slots, d, counts, highest);
    }
    HeapArray<uint32_t> buffer;
    if (!buffer.allocate(d)) {
        return -1;
    }
    uint32_t* from = slots;
    uint32_t* to = buffer.get();
    for (size_t width = 1; width < d; width *= 2) {
        for (size_t lo = 0; lo < d; lo += 2 * width) {
            const size_t mid = lo + width < d ? lo + width : d;
            const size_t hi = lo + 2 * width < d ? lo + 2 * width : d;
            size_t a = lo, b = mid, k = lo;
            while (a < mid && b < hi) {
                // Take from the right run only when strictly more frequent.
                to[k++] = counts[from[b]] > counts[from[a]] ? from[b++] : from[a++];
            }
            while (a < mid) {
                to[k++] = from[a++];
            }
            while (b < hi) {
                to[k++] = from[b++];
            }
        }
        std::swap(from, to);
    }
    if (from != slots) {
        std::memcpy(slots, from, d * sizeof(uint32_t));
    }
    return 0;
}

// popular_codepoints for a short layer stored one byte per character: one
// pass counts and notes each character's first appearance.
Py_ssize_t popular_latin1_short(const Py_UCS1* text, size_t n, uint32_t* out) noexcept {
    uint32_t counts[256] = {};
    uint32_t order[256 + 1];  // one spare: written ahead of the count
    size_t d = 0;
    for (size_t i = 0; i < n; ++i) {
        const Py_UCS1 c = text[i];
        order[d] = c;
        d += counts[c]++ == 0;
    }
    if (sort_by_count(order, d, counts) < 0) {
        return -1;
    }
    std::copy(order, order + d, out);
    return static_cast<Py_ssize_t>(d);
}

// popular_codepoints for a layer stored one byte per character: counters
// indexed by the character need no hashing. Four sets of counters take turns
// so that a run of one letter does not wait on its own previous increment.
Py_ssize_t popular_latin1(const Py_UCS1* text, size_t n, uint32_t* out) noexcept {
    if (n < kShortLayer) {
        return popular_latin1_short(text, n, out);
    }
    uint32_t lanes[4][256] = {};
    for (size_t from = 0, end; from < n; from = end) {
        if (from != 0 && PyErr_CheckSignals() < 0) {
            return -1;
        }
        end = static_cast<size_t>(block_end(static_cast<Py_ssize_t>(from), static_cast<Py_ssize_t>(n)));
        size_t i = from;
        for (; i + 4 <= end; i += 4) {
            ++lanes[0][text[i]];
            ++lanes[1][text[i + 1]];
            ++lanes[2][text[i + 2]];
            ++lanes[3][text[i + 3]];
        }
        for (; i < end; ++i) {
            ++lanes[0][text[i]];
        }
    }
    uint32_t counts[256];
    size_t distinct = 0;
    for (size_t c = 0; c < 256; ++c) {
        counts[c] = lanes[0][c] + lanes[1][c] + lanes[2][c] + lanes[3][c];
        distinct += counts[c] != 0;
    }
    // Order of first appearance, then the same stable sort by count.
    uint32_t order[256];
    bool seen[256] = {};
    size_t d = 0;
    for (size_t k = 0; d < distinct; ++k) {
        const Py_UCS1 c = text[k];
        if (!seen[c]) {
            seen[c] = true;
            order[d++] = c;
        }
    }
    if (sort_by_count(order, d, counts) < 0) {
        return -1;
    }
    std::copy(order, order + d, out);
    return static_cast<Py_ssize_t>(d);
}

// Counters by two-byte code point for popular_ucs2, kept between calls and
// all zero between them: a call clears only the counters it used, which are
// far fewer than the table's 65536. A call made while it is in use (from
// Python code a signal check ran) counts in a table of its own.
class CountTable {
public:
    // The zeroed table, or nullptr with MemoryError.
    uint32_t* acquire() noexcept {
        if (busy_) {
            if (!own_.allocate(kSize)) {
                return nullptr;
            }
            std::memset(own_.get(), 0, kSize * sizeof(uint32_t));
            return own_.get();
        }
        if (kept_ == nullptr) {
            kept_ = static_cast<uint32_t*>(PyMem_RawCalloc(kSize, sizeof(uint32_t)));
            if (kept_ == nullptr) {
                PyErr_NoMemory();
                return nullptr;
            }
        }
        busy_ = true;
        mine_ = true;
        return kept_;
    }

    // Give the table back, its counters of `used[0..d)` cleared.
    void release(const uint32_t* used, size_t d) noexcept {
        if (!mine_) {
            return;
        }
        for (size_t k = 0; k < d; ++k) {
            kept_[used[k]] = 0;
        }
        busy_ = false;
        mine_ = false;
    }

    static constexpr size_t kSize = 0x10000;

private:
    static inline uint32_t* kept_ = nullptr;
    static inline bool busy_ = false;
    bool mine_ = false;  // this holder has the kept table
    HeapArray<uint32_t> own_;
};

// popular_codepoints for a long layer stored two bytes per character:
// counters indexed by the character itself, smaller than a hash table of
// twice the layer's length and without its probing.
Py_ssize_t popular_ucs2(const Py_UCS2* text, size_t n, uint32_t* out) noexcept {
    HeapArray<uint32_t> first_seen;
    if (!first_seen.allocate(0x10000)) {
        return -1;
    }
    CountTable table;
    uint32_t* const counts = table.acquire();
    if (counts == nullptr) {
        return -1;
    }
    size_t d = 0;
    // The counters used are always first_seen[0..d), so the table is given
    // back clean whichever way this returns.
    struct Release {
        CountTable& table;
        const uint32_t* used;
        const size_t& d;
        ~Release() { table.release(used, d); }
    } release{table, first_seen.get(), d};
    for (size_t from = 0, end; from < n; from = end) {
        if (from != 0 && PyErr_CheckSignals() < 0) {
            return -1;
        }
        end = static_cast<size_t>(block_end(static_cast<Py_ssize_t>(from), static_cast<Py_ssize_t>(n)));
        // New characters are rare after the first few hundred, so the
        // branch costs less than writing first_seen at every character.
#pragma GCC unroll 4
        for (size_t i = from; i < end; ++i) {
            if (counts[text[i]]++ == 0) [[unlikely]] {
                first_seen[d++] = text[i];
            }
        }
    }
    if (sort_by_count(first_seen.get(), d, counts) < 0) {
        return -1;
    }
    std::copy(first_seen.get(), first_seen.get() + d, out);
    return static_cast<Py_ssize_t>(d);
}

// The distinct code points of `layer`, most frequent first (ties in order of
// first appearance), written to `out` (room for len(layer) code points).
// Returns their number, or -1 with an exception.
Py_ssize_t popular_codepoints(PyObject* layer, uint32_t* out) noexcept {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(layer);
    if (n == 0) {
        return 0;
    }
    if (PyUnicode_KIND(layer) == PyUnicode_1BYTE_KIND) {
        return popular_latin1(PyUnicode_1BYTE_DATA(layer), static_cast<size_t>(n), out);
    }
    const int kind = PyUnicode_KIND(layer);
    if (kind == PyUnicode_2BYTE_KIND && static_cast<size_t>(n) >= kDirectCountMin) {
        return popular_ucs2(PyUnicode_2BYTE_DATA(layer), static_cast<size_t>(n), out);
    }
    // The table never needs more room than the string's storage width allows
    // distinct characters, which keeps it small for long layers.
    const size_t width_limit = kind == PyUnicode_1BYTE_KIND ? 0x100 : kind == PyUnicode_2BYTE_KIND ? 0x10000 : 0x110000;
    const size_t bound = static_cast<size_t>(n) < width_limit ? static_cast<size_t>(n) : width_limit;
    size_t capacity = 1;
    while (capacity < 2 * bound) {
        capacity *= 2;
    }

    HeapArray<uint32_t> keys, counts, first_seen;
    if (!keys.allocate(capacity) || !counts.allocate(capacity) || !first_seen.allocate(bound)) {
        return -1;
    }
    std::memset(keys.get(), 0xFF, capacity * sizeof(uint32_t));
    std::memset(counts.get(), 0, capacity * sizeof(uint32_t));

    CodepointCounter counter{keys.get(), counts.get(), first_seen.get(), capacity - 1};
    const void* data = PyUnicode_DATA(layer);
    const int counted = kind == PyUnicode_2BYTE_KIND ? counter.add_all(static_cast<const Py_UCS2*>(data), n)
                                                     : counter.add_all(static_cast<const Py_UCS4*>(data), n);
    if (counted < 0) {
        return -1;
    }

    const size_t d = counter.distinct;
    if (sort_by_count(first_seen.get(), d, counts.get()) < 0) {
        return -1;
    }
    for (size_t i = 0; i < d; ++i) {
        out[i] = keys[first_seen[i]];
    }
    return static_cast<Py_ssize_t>(d);
}

// Candidate languages for a layer's d distinct code points: every language of
// which at least a fifth of the profile occurs among them, highest share
// first (equal shares in language order); languages without accents are left
// out when the layer has an accented character, and languages that are not
// purely Latin when `ignore_non_latin` is set. Writes the indices to `out`
// (room for all languages) and returns their number, or -1 with an exception.
int alphabet_language_ids(const uint32_t* cps, Py_ssize_t d, bool ignore_non_latin, uint8_t* out) noexcept {
    // Per-language match counts as bit planes: plane b holds bit b of every
    // language's count, so adding a character's membership word is a carry
    // chain over the planes. The code points are distinct, so no count
    // exceeds a profile's 255 characters.
    uint64_t planes[kCountBits] = {};
    bool accented = false;
    Ref ascii;  // fetched when the first ASCII code point needs it
    for (Py_ssize_t k = 0; k < d; ++k) {
        const uint32_t cp = cps[k];
        CharInfoObject* record;
        if (cp < 128) {
            if (!ascii && !(ascii = Ref::steal(ascii_table()))) {
                return -1;
            }
            record = record_for(ascii.get(), cp);
        } else if (CharInfoObject* cached = cached_record(cp)) {
            // What murkel would return for it, read without a call.
            record = reinterpret_cast<CharInfoObject*>(Py_NewRef(cached));
        } else {
            record = g.char_info_from_codepoint(cp);
        }
        if (record == nullptr) {
            return -1;
        }
        accented = accented || record->accentuated;
        Py_DECREF(record);
        if (cp <= 0xFFFF) {
            uint64_t carry = LANGUAGE_MEMBERSHIP[cp];
            for (int b = 0; carry != 0 && b < kCountBits; ++b) {
                const uint64_t next = planes[b] & carry;
                planes[b] ^= carry;
                carry = next;
            }
        }
    }
    uint16_t matches[kLanguageCount] = {};
    for (int b = 0; b < kCountBits; ++b) {
        for (uint64_t languages = planes[b]; languages != 0; languages &= languages - 1) {
            matches[__builtin_ctzll(languages)] |= static_cast<uint16_t>(1u << b);
        }
    }

    double ratios[kLanguageCount];
    int count = 0;
    for (int language = 0; language < kLanguageCount; ++language) {
        if (ignore_non_latin && !LANGUAGE_PURE_LATIN[language]) {
            continue;
        }
        if (accented && !LANGUAGE_HAS_ACCENTS[language]) {
            continue;
        }
        // An empty profile has no share to speak of; it is never a candidate.
        if (LANGUAGE_PROFILE_SIZES[language] == 0) {
            continue;
        }
        const double ratio = static_cast<double>(matches[language]) / LANGUAGE_PROFILE_SIZES[language];
        if (kAlphabetShare > ratio) {
            continue;
        }
        insert_descending(ratios, out, count, ratio, static_cast<uint8_t>(language));
        ++count;
    }
    return count;
}

// The languages named in `lg_inclusion` as indices; sets `ignore_non_latin`
// when "Latin Based" is among them (its first occurrence is not a language).
// Returns their number, or -1 with an exception.
Py_ssize_t requested_languages(PyObject* lg_inclusion, Scratch<uint8_t, kLanguageCount>& storage, uint8_t** out,
                               bool* ignore_non_latin) noexcept {
    *ignore_non_latin = false;
    if (lg_inclusion == Py_None) {
        return 0;
    }
    Ref comma = Ref::steal(PyUnicode_FromOrdinal(','));
    Ref names = Ref::steal(comma ? PyUnicode_Split(lg_inclusion, comma.get(), -1) : nullptr);
    if (!names) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
        if (PyUnicode_CompareWithASCIIString(PyList_GET_ITEM(names.get(), i), "Latin Based") == 0) {
            if (PySequence_DelItem(names.get(), i) < 0) {
                return -1;
            }
            *ignore_non_latin = true;
            break;
        }
    }
    const Py_ssize_t count = PyList_GET_SIZE(names.get());
    uint8_t* indices = storage.reserve(static_cast<size_t>(count));
    if (indices == nullptr) {
        return -1;
    }
    // A lookup may run the __eq__ of a key in _LANGUAGE_INDEX, which may
    // reach the private names list and change it: each name is held and the
    // list's length checked again.
    Py_ssize_t filled = 0;
    for (; filled < count && filled < PyList_GET_SIZE(names.get()); ++filled) {
        Ref held = Ref::borrow(PyList_GET_ITEM(names.get(), filled));
        PyObject* name = held.get();
        PyObject* index = PyDict_GetItemWithError(g.language_index, name);  // borrowed, used at once
        if (index == nullptr) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "%U not available", name);
            }
            return -1;
        }
        const long value = PyLong_Check(index) ? PyLong_AsLong(index) : -1;
        if (value < 0 || value >= kLanguageCount) {
            PyErr_Clear();
            PyErr_Format(PyExc_RuntimeError, "_LANGUAGE_INDEX entry for %R is not a language index", name);
            return -1;
        }
        indices[filled] = static_cast<uint8_t>(value);
    }
    *out = indices;
    return filled;
}

// Append (name, round(ratio, 4)) to `results`.
int append_result(PyObject* results, int language, double ratio) noexcept {
    Ref name = Ref::steal(language_name(language));
    Ref rounded = Ref::steal(name ? round_digits_object(g.builtin_round, ratio, 4) : nullptr);
    Ref pair = Ref::steal(rounded ? PyTuple_Pack(2, name.get(), rounded.get()) : nullptr);
    return pair ? PyList_Append(results, pair.get()) : -1;
}

// What the candidate loop of every layer shares.
struct Scoring {
    const uint8_t* requested;  // languages named by the caller, or nullptr
    Py_ssize_t requested_count;
    bool ignore_non_latin;
    double threshold;
    PyObject* results;
    // Counted over the whole call, not per layer: once enough languages fit
    // very well, later layers only add their first acceptable candidate.
    int sufficient_match_count = 0;
};

// Score one layer (an exact str longer than TOO_SMALL_SEQUENCE) against its
// candidate languages, appending what reaches the threshold. 0, or -1 with
// an exception. Kept out of line, with its scratch storage, so that the
// frame of coherence_ratio stays small while the split calls back into
// Python, which may call coherence_ratio again.
[[gnu::noinline]] int score_layer(PyObject* layer, Scoring& scoring) noexcept {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(layer);
    Scratch<uint32_t, kStackCharacters> storage;
    uint32_t* cps = storage.reserve(static_cast<size_t>(n));
    if (cps == nullptr) {
        return -1;
    }
    const Py_ssize_t d = popular_codepoints(layer, cps);
    if (d < 0) {
        return -1;
    }

    uint8_t detected[kLanguageCount];
    const uint8_t* candidates = scoring.requested;
    Py_ssize_t candidate_count = scoring.requested_count;
    if (candidate_count == 0) {
        const int found = alphabet_language_ids(cps, d, scoring.ignore_non_latin, detected);
        if (found < 0) {
            return -1;
        }
        candidates = detected;
        candidate_count = found;
    }

    for (Py_ssize_t c = 0; c < candidate_count; ++c) {
        const int language = candidates[c];
        const double ratio = characters_popularity_compare_index(language, cps, d);
        if (ratio == -1.0 && PyErr_Occurred()) {
            return -1;
        }
        if (ratio < scoring.threshold) {
            continue;
        }
        if (ratio >= kSufficientRatio) {
            ++scoring.sufficient_match_count;
        }
        if (append_result(scoring.results, language, ratio) < 0) {
            return -1;
        }
        if (scoring.sufficient_match_count >= kSufficientMatchLimit) {
            break;
        }
    }
    return 0;
}

PyObject* coherence_ratio(PyObject* decoded_sequence, double threshold, PyObject* lg_inclusion) noexcept {
    Ref results = Ref::steal(PyList_New(0));
    if (!results) {
        return nullptr;
    }
    Scratch<uint8_t, kLanguageCount> requested_storage;
    uint8_t* requested = nullptr;
    bool ignore_non_latin;
    const Py_ssize_t requested_count =
        requested_languages(lg_inclusion, requested_storage, &requested, &ignore_non_latin);
    if (requested_count < 0) {
        return nullptr;
    }

    Ref layers = Ref::steal(alpha_unicode_split_native(decoded_sequence));
    if (!layers) {
        return nullptr;
    }
    if (!PyList_CheckExact(layers.get())) {
        raise_expected("list", layers.get());
        return nullptr;
    }

    Scoring scoring{requested_count == 0 ? nullptr : requested, requested_count, ignore_non_latin, threshold,
                    results.get()};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(layers.get()); ++i) {
        Ref layer = Ref::borrow(PyList_GET_ITEM(layers.get(), i));
        if (!PyUnicode_CheckExact(layer.get())) {
            raise_expected("str", layer.get());
            return nullptr;
        }
        const Py_ssize_t n = PyUnicode_GET_LENGTH(layer.get());
        Ref too_small = Ref::steal(bound_global(bindings.too_small));
        Ref length = Ref::steal(too_small ? PyLong_FromSsize_t(n) : nullptr);
        if (!length) {
            return nullptr;
        }
        int skip = PyObject_RichCompareBool(length.get(), too_small.get(), Py_LE);
        if (skip < 0) {
            return nullptr;
        }
        if (!skip && score_layer(layer.get(), scoring) < 0) {
            return nullptr;
        }
    }

    Ref filtered = Ref::steal(filter_alt_coherence_matches_native(results.get()));
    return filtered ? sorted_by_ratio(filtered.get()) : nullptr;
}

const char* const kCoherenceArgs[] = {"decoded_sequence", "threshold", "lg_inclusion"};

}  // namespace

PyObject* py_coherence_ratio(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const ArgSpec signature{"coherence_ratio", kCoherenceArgs, 1, 3};
    PyObject* values[3];
    PyObject* result = nullptr;
    if (parse_args(signature, args, nargs, kwnames, values) == 0) {
        const double threshold = values[1] == nullptr ? kDefaultThreshold : PyFloat_AsDouble(values[1]);
        PyObject* lg_inclusion = values[2] == nullptr ? Py_None : values[2];
        if (!(threshold == -1.0 && PyErr_Occurred()) &&
            check_exact_or_none(values[0], &PyUnicode_Type, "decoded_sequence") &&
            check_exact_or_none(lg_inclusion, &PyUnicode_Type, "lg_inclusion")) {
            result = coherence_ratio(values[0], threshold, lg_inclusion);
        }
    }
    if (result == nullptr) {
        VX_TRACEBACK("vexlora.tessaly.coherence_ratio");
    }
    return result;
}

}  // namespace vx::tessaly
