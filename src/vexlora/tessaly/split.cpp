// Splitting the letters of a text into layers of Unicode ranges that may
// plausibly follow one another; each layer comes back as one lowercase str.
//
// This walk runs over every candidate decoding of every payload, so the loop
// over the text touches no Python API for a character it has already seen:
// records are looked up once per code point and kept in a per-call table, a
// letter in the same range object as its predecessor goes straight into that
// layer, and each layer is written at the text's storage width. ASCII text
// whose letters all share one range takes a single table-driven pass.
//
// The per-call table must give the same records as asking murkel for every
// character would. That holds as long as no Python code runs, since only
// Python code can rebind or refill _ASCII_CHAR_INFO and murkel's cache. So
// every table entry carries the epoch in which it was last confirmed, and the
// epoch moves on whenever Python code may have run: a callback, a comparison
// that is not between two exact str, a record murkel had to build. A stale
// entry is confirmed again by one lookup; getting the very object we already
// hold back from murkel proves the lookup was a plain cache hit.
//
// Python code may also rewrite a record in place (__init__, __setstate__),
// which drops the objects its fields held. So the walk never borrows from a
// record: every record, and the character and range read from it, is held
// strongly until the call ends, which keeps every layer key, cached range and
// previous range alive however the record changes meanwhile; and an entry is
// only confirmed when the record's fields are still the very objects it read.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <deque>
#include <iterator>
#include <memory>
#include <new>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "shared/args.h"
#include "shared/errors.h"
#include "shared/pair_call.h"
#include "shared/pyref.h"
#include "shared/str_equal.h"
#include "tessaly/checkpoints.h"
#include "tessaly/functions.h"
#include "tessaly/records.h"

namespace vx::tessaly {

namespace {

constexpr Py_UCS4 kNoCodepoint = 0xFFFFFFFFu;
constexpr Py_UCS4 kDirect = 256;  // code points with an entry by index; the rest in pages of 256
constexpr size_t kPageCount = (0x10FFFF >> 8) + 1;
// Reading all 128 ASCII records costs about as much as walking a few dozen
// characters; shorter texts take the general walk.
constexpr Py_ssize_t kAsciiShortcutMinLength = 32;

// What an entry not filled yet describes: a record no list ever holds, so
// that confirming an entry compares identities without testing for null.
CharInfoObject no_record{};

// What the walk needs from one record, and how it read it: the record and
// the objects its fields held then. The entry is right only while the
// record's fields are still those objects; comparing identities is safe, as
// the walk holds them. All zero until filled, so that a table of them is
// cleared in one sweep. Every pointer is owned through Splitter::owned_ until
// the call ends. The fields the fast path reads come first.
struct Entry {
    uint32_t epoch = 0;         // the record is current while the epoch is unchanged
    Py_UCS4 ch = 0;             // its character when that is one code point, else kNoCodepoint
    PyObject* fast = nullptr;   // `range` when the character is one code point of the text's width
    PyObject* range = nullptr;  // the record's range when it is a letter with one, else nullptr
    uintptr_t letter = 0;       // all bits set when `range` is set, else 0
    CharInfoObject* record = &no_record;
    PyObject* character = nullptr;  // the record's fields as read
    PyObject* read_range = nullptr;
    int32_t alpha = 0;
    uint32_t range_id = 0;  // the text of `range` when it is an exact str with an id (see Splitter::text_id), else 0

    bool unchanged() const noexcept {
        return record->character == character && record->range == read_range && record->alpha == alpha;
    }
    bool describes(const CharInfoObject* r) const noexcept { return r == record && unchanged(); }
};

// The entries of one block of 256 code points, by the code point's low byte.
using Page = std::array<Entry*, 256>;

// What a page holds for a code point without an entry, and what a block
// without a page reads as: an entry that never describes a record, so the
// fast loop leaves its code point to the walk without a test of its own.
// Never written: only an entry that describes a record is confirmed.
Entry missing_entry;

Page page_of_missing() noexcept {
    Page page;
    page.fill(&missing_entry);
    return page;
}

const Page missing_page = page_of_missing();

// A layer's characters in text order, kept at the text's width `Char` until
// a wider one arrives (only a foreign record can bring one). `narrow` holds
// `capacity` characters, not initialised; `used` of them are written.
template <class Char>
struct Layer {
    PyObject* key;        // the range that opened it (kept alive by its record)
    uint32_t key_id = 0;  // the id of its text, or 0 (see Splitter::text_id)
    std::unique_ptr<Char[]> narrow;
    size_t used = 0;
    size_t capacity = 0;
    std::vector<Py_UCS4> wide;
    bool widened = false;

    // A layer with room for `room` characters (at least a few dozen).
    Layer(PyObject* opened_by, uint32_t id, size_t room) : key(opened_by), key_id(id) {
        grow(room < kFirstRoom ? kFirstRoom : room);
    }

    Char* data() const noexcept { return narrow.get(); }

    void push(Py_UCS4 ch) {
        if (!widened && ch <= kMaxChar && used < capacity) [[likely]] {
            narrow[used++] = static_cast<Char>(ch);
            return;
        }
        push_slow(ch);
    }

    [[gnu::noinline]] void push_slow(Py_UCS4 ch) {
        if (widened || ch > kMaxChar) {
            push_wide(ch);
            return;
        }
        grow(2 * capacity);
        narrow[used++] = static_cast<Char>(ch);
    }

    void grow(size_t room) {
        auto bigger = std::make_unique_for_overwrite<Char[]>(room);
        std::copy(narrow.get(), narrow.get() + used, bigger.get());
        narrow = std::move(bigger);
        capacity = room;
    }

    void push_wide(Py_UCS4 ch) {
        if (!widened) {
            wide.assign(narrow.get(), narrow.get() + used);
            narrow.reset();
            used = 0;
            capacity = 0;
            widened = true;
        }
        wide.push_back(ch);
    }

    static constexpr Py_UCS4 kMaxChar = static_cast<Char>(-1);
    static constexpr size_t kFirstRoom = 64;
};

// Lowercase of characters below U+0100: A-Z and the Latin-1 capitals
// (U+00C0 to U+00DE but for the multiplication sign) move up by 0x20; every
// other character there is its own lowercase, and none of them depends on its
// neighbours. Byte arithmetic, so that the loop runs on whole vectors.
template <class T>
void lower_latin1(const T* chars, size_t count, Py_UCS1* out) noexcept {
    for (size_t k = 0; k < count; ++k) {
        const auto c = static_cast<Py_UCS1>(chars[k]);
        const bool capital = static_cast<Py_UCS1>(c - 'A') < 26 || (static_cast<Py_UCS1>(c - 0xC0) < 31 && c != 0xD7);
        out[k] = static_cast<Py_UCS1>(c + (capital ? 0x20 : 0));
    }
}

// The characters as a str (new reference). `bits` is the OR of their code
// points: it falls below 128, 256 or 65536 exactly when their maximum does,
// which is all the storage width depends on.
template <class T>
PyObject* packed(const T* chars, size_t count, T bits) noexcept {
    PyObject* text =
        PyUnicode_New(static_cast<Py_ssize_t>(count), bits > 0x10FFFF ? 0x10FFFF : static_cast<Py_UCS4>(bits));
    if (text == nullptr) {
        return nullptr;
    }
    void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            std::copy(chars, chars + count, static_cast<Py_UCS1*>(data));
            break;
        case PyUnicode_2BYTE_KIND:
            std::copy(chars, chars + count, static_cast<Py_UCS2*>(data));
            break;
        default:
            std::copy(chars, chars + count, static_cast<Py_UCS4*>(data));
            break;
    }
    return text;
}

template <class T>
T or_of(const T* chars, size_t count) noexcept {
    T bits = 0;
    for (size_t k = 0; k < count; ++k) {
        bits |= chars[k];
    }
    return bits;
}

template <class T>
bool has_capital_sigma(const T* chars, size_t count) noexcept {
    if constexpr (sizeof(T) == 1) {
        return false;
    } else {
        return std::find(chars, chars + count, static_cast<T>(0x3A3)) != chars + count;
    }
}

// Whether every character of the 256-code-point block `block` is its own
// lowercase: 1 or 0, or -1 with an exception. Asked of str.lower once per
// block and remembered. The full lowercase mapping never shortens a
// character, so the block's string lowers to itself exactly when each of its
// characters does (the capital sigma, whose form depends on its neighbours,
// is never its own lowercase).
uint8_t caseless_blocks[(0x10FFFF >> 8) + 1];  // 0 not asked yet, 1 caseless, 2 cased

int block_is_caseless(Py_UCS4 block) noexcept {
    uint8_t* const known = caseless_blocks;
    if (known[block] == 0) {
        Ref text = Ref::steal(PyUnicode_New(256, 0x10FFFF));
        if (!text) {
            return -1;
        }
        for (Py_UCS4 k = 0; k < 256; ++k) {
            PyUnicode_WRITE(PyUnicode_4BYTE_KIND, PyUnicode_DATA(text.get()), k, (block << 8) | k);
        }
        Ref lowered = Ref::steal(PyObject_CallMethodNoArgs(text.get(), g.names.n_lower));
        if (!lowered) {
            return -1;
        }
        known[block] = PyUnicode_Compare(text.get(), lowered.get()) == 0 ? 1 : 2;
    }
    return known[block] == 1 ? 1 : 0;
}

// Whether the characters are all their own lowercase (1 or 0), or -1.
template <class T>
int all_caseless(const T* chars, size_t count) noexcept {
    if constexpr (sizeof(T) <= 2) {
        // Every block below U+10000 has an entry. While each block the
        // characters fall in is already known to be caseless, they are
        // checked a few dozen at a time without a branch per character; the
        // first group that meets a cased block, or one not asked about yet,
        // goes to the loop below.
        constexpr size_t group = 32;
        size_t k = 0;
        for (; k + group <= count; k += group) {
            uint8_t known_caseless = 1;
#pragma GCC unroll 8
            for (size_t j = k; j < k + group; ++j) {
                known_caseless &= caseless_blocks[static_cast<Py_UCS4>(chars[j]) >> 8];
            }
            if (known_caseless != 1) {
                break;
            }
        }
        chars += k;
        count -= k;
    }
    for (size_t k = 0; k < count; ++k) {
        const Py_UCS4 block = static_cast<Py_UCS4>(chars[k]) >> 8;
        if (sizeof(T) == sizeof(Py_UCS4) && block > (0x10FFFF >> 8)) {
            return 0;
        }
        if (caseless_blocks[block] == 1) [[likely]] {
            continue;
        }
        const int caseless = caseless_blocks[block] == 2 ? 0 : block_is_caseless(block);
        if (caseless <= 0) {
            return caseless;
        }
    }
    return 1;
}

// The layer string, lowercased as a whole as str.lower does (new reference).
template <class T>
PyObject* lowered_layer(const T* chars, size_t count) noexcept {
    const T bits = or_of(chars, count);
    if (bits < 256) {
        // Lowering keeps ASCII within ASCII and the rest of Latin-1 above it.
        PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(count), bits < 128 ? 127 : 255);
        if (result != nullptr) {
            lower_latin1(chars, count, PyUnicode_1BYTE_DATA(result));
        }
        return result;
    }
    // str.lower maps every character on its own except the capital sigma,
    // whose form depends on its neighbours. A very long layer without one is
    // lowered block by block, so that a signal is seen between two blocks
    // (a block takes some tens of milliseconds; smaller ones would only add
    // copies).
    // Scripts without case (CJK, kana, Thai, Arabic...) are their own
    // lowercase: the string is returned as packed, as str.lower would give
    // an equal new one.
    const int caseless = all_caseless(chars, count);
    if (caseless < 0) {
        return nullptr;
    }
    if (caseless) {
        return packed(chars, count, bits);
    }
    constexpr size_t block = size_t{1} << 20;
    if (count <= block || has_capital_sigma(chars, count)) {
        Ref joined = Ref::steal(packed(chars, count, bits));
        return joined ? PyObject_CallMethodNoArgs(joined.get(), g.names.n_lower) : nullptr;
    }
    Ref pieces = Ref::steal(PyList_New(0));
    if (!pieces) {
        return nullptr;
    }
    for (size_t from = 0; from < count; from += block) {
        if (from != 0 && PyErr_CheckSignals() < 0) {
            return nullptr;
        }
        const size_t size = count - from < block ? count - from : block;
        Ref piece = Ref::steal(packed(chars + from, size, or_of(chars + from, size)));
        Ref lowered = Ref::steal(piece ? PyObject_CallMethodNoArgs(piece.get(), g.names.n_lower) : nullptr);
        if (!lowered || PyList_Append(pieces.get(), lowered.get()) < 0) {
            return nullptr;
        }
    }
    Ref empty = Ref::steal(PyUnicode_New(0, 0));
    return empty ? PyUnicode_Join(empty.get(), pieces.get()) : nullptr;
}

// Never the range of a record: what the fast path compares with before the
// first letter.
char no_range_marker;

template <class Char>
class Splitter {
public:
    // Every code point reaches its entry through page_view_, the first 256
    // through direct_page_.
    Splitter() : page_view_(kPageCount, &missing_page) {
        for (Py_UCS4 cp = 0; cp < kDirect; ++cp) {
            direct_page_[cp] = &direct_[cp];
        }
        page_view_[0] = &direct_page_;
    }
    Splitter(const Splitter&) = delete;
    Splitter& operator=(const Splitter&) = delete;

    // Start a call on `ascii` (the validated _ASCII_CHAR_INFO list). Entries
    // kept from an earlier call are confirmed again before use, as after any
    // Python code; the records and fields they were read from are still
    // owned, so a confirmation compares them as within one call.
    void begin(PyObject* ascii) noexcept {
        ascii_ = ascii;
        layers_.clear();
        keys_known_ = true;
        note_previous(nullptr, 0, 0);
        python_ran();
    }

    // End of a call on a kept splitter: a table grown past its bound is
    // dropped (the records it owns may run Python code when freed).
    void finish() noexcept {
        layers_.clear();
        if (entries_.size() > kKeptEntries || owned_.size() > 6 * kKeptEntries) {
            for (Entry& e : direct_) {
                e = Entry{};
            }
            entries_.clear();
            pages_.clear();
            std::fill(page_view_.begin() + 1, page_view_.end(), &missing_page);
            range_texts_.clear();
            std::vector<Ref> owned;
            owned.swap(owned_);
        }
    }

    int walk(const Char* text, Py_ssize_t length) {
        Entry* info = nullptr;  // record of the previous character
        Py_UCS4 previous_cp = kNoCodepoint;
        Py_ssize_t i = 0;
        Py_ssize_t checkpoint = 0;
        text_length_ = length;
        while (i < length) {
            if (i >= checkpoint) {
                // A long text must stay interruptible. A signal handler (or
                // the collector) is Python code, but it only runs here if a
                // signal arrived or a collection is due; the records and
                // objects we hold stay alive either way, so the epoch is not
                // moved on, which would make every entry look its record up
                // again at every checkpoint.
                if (checkpoint != 0 && PyErr_CheckSignals() < 0) {
                    return -1;
                }
                checkpoint = block_end(i, length);
            }
            Hot hot = load_hot();
            const Py_ssize_t stop = run(text, i, checkpoint, hot);
            store_hot(hot);
            if (stop < 0) {
                return -1;
            }
            if (stop > i) {
                previous_cp = text[stop - 1];
                info = nullptr;  // found again below if the next character repeats it
            }
            if (stop == checkpoint) {
                i = stop;
                continue;
            }
            const Py_UCS4 cp = text[stop];
            if (cp != previous_cp) {
                // The fast loop hands over the entry it stopped at when it
                // confirmed it; no Python code has run since.
                info = hot.stop != nullptr ? hot.stop : cp < 128 ? ascii_entry(cp) : other_entry(cp);
                if (info == nullptr) {
                    return -1;
                }
                previous_cp = cp;
            } else {
                if (info == nullptr) {
                    info = previous_cp < kDirect ? &direct_[previous_cp] : find(hot, previous_cp);
                }
                if (!info->unchanged()) {
                    // The same record as the previous character, rewritten since.
                    refill(*info);
                }
            }
            if (info->range != nullptr && place(*info, static_cast<size_t>(length - stop)) < 0) {
                return -1;
            }
            i = stop + 1;
        }
        return 0;
    }

    PyObject* result() const noexcept {
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(layers_.size())));
        if (!list) {
            return nullptr;
        }
        for (size_t i = 0; i < layers_.size(); ++i) {
            const Layer<Char>& layer = layers_[i];
            PyObject* text = layer.widened ? lowered_layer(layer.wide.data(), layer.wide.size())
                                           : lowered_layer(layer.data(), layer.used);
            if (text == nullptr) {
                return nullptr;
            }
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
        }
        return list.release();
    }

private:
    // What the fast path reads and writes, copied out of the members.
    struct Hot {
        uint32_t epoch;
        PyObject* range;  // the previous letter's range (or the marker)
        Char* out;        // free space of the previous letter's layer
        Char* end;
        const Page* const* pages;       // by block, kPageCount of them
        PyObject* ascii;                // the _ASCII_CHAR_INFO list of the call, held by the caller
        PyObject* const* murkel_pages;  // the pages of murkel's cache when readable
        Py_ssize_t murkel_page_count;   // their number, 0 when unreadable
        // The last page of murkel's cache found readable since Python code
        // last ran (neighbours are often in the same block): its block, or
        // kNoCodepoint, and its records.
        Py_UCS4 page_block;
        PyObject* const* page_items;
        Entry* stop;  // the confirmed entry of the letter the fast loop stopped at, or nullptr
    };

    // Without a narrow layer to extend (no letter yet, or a widened layer),
    // the fast path still passes over non-letters: it writes them to a
    // scratch character without advancing, and leaves every letter to the
    // slow path, as no letter's `fast` equals the marker.
    Hot load_hot() noexcept {
        Hot hot{
            .epoch = epoch_,
            .range = marker(),
            .out = scratch_,
            .end = scratch_ + 1,
            .pages = page_view_.data(),
            .ascii = ascii_,
            .murkel_pages = nullptr,
            .murkel_page_count = 0,
            .page_block = kNoCodepoint,
            .page_items = nullptr,
            .stop = nullptr,
        };
        read_page_table(hot);
        if (previous_range_ != nullptr && !layers_[previous_layer_].widened) {
            Layer<Char>& layer = layers_[previous_layer_];
            hot.range = previous_range_;
            hot.out = layer.data() + layer.used;
            hot.end = layer.data() + layer.capacity;
        }
        return hot;
    }

    void store_hot(const Hot& hot) noexcept {
        if (hot.end != scratch_ + 1) {
            Layer<Char>& layer = layers_[previous_layer_];
            layer.used = static_cast<size_t>(hot.out - layer.data());
        }
    }

    // Handle text[i], text[i + 1], ... as long as each is a non-letter or a
    // letter of one code point of the text's width, with a record confirmed
    // in the current epoch. A letter in the previous letter's range goes
    // straight to its layer; one in another range (a change of Unicode block,
    // every few characters in Japanese) is placed without leaving the loop.
    // Returns the index of the first character it leaves to the caller, or
    // -1 with an exception. State lives in `hot` and in locals: stores into a
    // narrow layer may alias anything, so members would be reloaded after
    // each one. Out of line, so that the loop has the registers to itself.
    [[gnu::noinline]] Py_ssize_t run(const Char* text, Py_ssize_t i, Py_ssize_t length, Hot& hot) noexcept {
        Char* out = hot.out;
        Char* end = hot.end;
        uint32_t epoch = hot.epoch;
        PyObject* range = hot.range;
        const Page* const* const pages = hot.pages;  // not changed by placing a letter
        // Each character writes at most one to the layer, so the loop stops
        // where the layer might be full instead of testing at each one.
        const Char* at = text + i;
        const Char* limit = text + bound(i, length, out, end);
        for (; at < limit; ++at) {
            const Py_UCS4 cp = *at;
            Entry* e = find(pages, cp);
            if (e->epoch != epoch) [[unlikely]] {
                if (!confirmed(*e, cp, hot)) {
                    break;
                }
                e->epoch = epoch;
            }
            // A non-letter, or a letter for the previous letter's layer; one
            // test for both, as text alternates the two.
            const uintptr_t letter = e->letter;
            if (((reinterpret_cast<uintptr_t>(e->fast) ^ reinterpret_cast<uintptr_t>(range)) & letter) != 0)
                [[unlikely]] {
                // A letter the loop cannot write (its character is not one
                // code point of the text's width, or no narrow layer was
                // extended yet) goes to the caller.
                if (e->fast == nullptr || range == marker()) {
                    hot.stop = e;
                    break;
                }
                hot.out = out;
                const int placed = step(*e, hot, text, at);
                if (placed < 0) {
                    return -1;
                }
                if (placed == 0) {
                    // The previous letter's layer, which the loop left room in.
                    *out++ = static_cast<Char>(e->ch);
                } else {
                    out = hot.out;
                    end = hot.end;
                    limit = text + bound(at - text + 1, length, out, end);
                }
                // Python code may have run: the epoch and range are read again.
                epoch = hot.epoch;
                range = hot.range;
                continue;
            }
            *out = static_cast<Char>(e->ch);
            out += letter & 1;
        }
        hot.out = out;
        return at - text;
    }

    // Where the fast loop, at `i` and writing to [out, end), stops at the
    // latest: the end of the text, or where the layer might be full. The
    // scratch character is never advanced past.
    Py_ssize_t bound(Py_ssize_t i, Py_ssize_t length, const Char* out, const Char* end) const noexcept {
        return out == scratch_ || end - out >= length - i ? length : i + (end - out);
    }

    // Whether `e`, stale since Python code may have run, still describes the
    // record _ASCII_CHAR_INFO or murkel's cache holds for `cp`, with the
    // fields it read. Reading them runs no Python code.
    [[gnu::always_inline]] static bool confirmed(const Entry& e, Py_UCS4 cp, Hot& hot) noexcept {
        // The ASCII list is read afresh, as Python code may have shrunk it.
        PyObject* current = nullptr;
        if (cp < 128) {
            if (PyList_GET_SIZE(hot.ascii) >= 128) {
                current = PyList_GET_ITEM(hot.ascii, cp);
            }
        } else if (cp >> 8 == hot.page_block) {
            current = hot.page_items[cp & 0xFF];
        } else if (static_cast<Py_ssize_t>(cp >> 8) < hot.murkel_page_count) {
            PyObject* page = hot.murkel_pages[cp >> 8];
            if (PyList_CheckExact(page) && PyList_GET_SIZE(page) == 256) {
                hot.page_block = cp >> 8;
                hot.page_items = reinterpret_cast<PyListObject*>(page)->ob_item;
                current = hot.page_items[cp & 0xFF];
            }
        }
        // Our record, if it is the one there, is a CharInfo.
        return e.describes(reinterpret_cast<CharInfoObject*>(current));
    }

    // Place a letter of another range object than the previous letter's, in
    // the middle of the fast loop. 0 when it joins the previous letter's
    // layer, which the caller then writes it to (the loop left room there);
    // 1 when it was placed elsewhere; -1 with an exception. `hot` is read
    // again from the members either way, as the judge may have run Python
    // code.
    //
    // Most block changes meet a single open layer whose key, like the range
    // and the previous range, is an exact str with an id: comparing them is
    // comparing ids and runs no Python code. That case is handled here, in a
    // function small enough to stay cheap around its one call of the judge;
    // every other goes to step_layers().
    [[gnu::always_inline]] int step(const Entry& e, Hot& hot, const Char* text, const Char* at) noexcept {
        const uint32_t id = e.range_id;
        const uint32_t previous = single_id_;
        if (id == 0 || previous == 0) {
            return step_layers(e, hot, at - text);
        }
        if (id == previous) {
            return 0;  // another object for the same range: judged by no one
        }
        // The one layer, the previous letter's, takes the letter unless its
        // key is found suspicious before the range and is another range.
        const Layer<Char>& layer = layers_.front();
        const int suspicious = judged(layer.key, e.range);
        if (suspicious < 0) {
            return -1;  // `hot` still describes the previous letter's layer
        }
        refresh(hot);
        if (suspicious && layer.key_id != id) {
            return move(e, hot, 1) < 0 ? -1 : 1;
        }
        // Still one layer, the previous letter's.
        previous_range_ = e.range;
        previous_id_ = id;
        single_id_ = id;
        hot.range = e.range;
        return 0;
    }

    // step() for any number of open layers. When the range, the previous
    // range and every layer key are exact str with ids, a range with the
    // previous range's text joins its layer, judged by no one; otherwise
    // each open layer's key is judged against the range, through the global
    // looked up afresh each time, in opening order, and the first not found
    // suspicious is the target; when every one is, the layer the range
    // itself keys, or a new one. Anything else goes to shift(). `index`: the
    // letter's position in the text.
    [[gnu::noinline]] int step_layers(const Entry& e, Hot& hot, Py_ssize_t index) noexcept {
        const uint32_t id = e.range_id;
        if (id == 0 || previous_id_ == 0 || !keys_known_) {
            return shift(e, hot, static_cast<size_t>(text_length_ - index)) < 0 ? -1 : 1;
        }
        if (id == previous_id_) {
            return 0;
        }
        Layer<Char>* const first = layers_.data();
        Layer<Char>* const last = std::to_address(layers_.end());
        Layer<Char>* target = first;
        for (; target != last; ++target) {
            const int suspicious = judged(target->key, e.range);
            if (suspicious < 0) {
                return -1;
            }
            if (!suspicious) {
                // Layer keys have distinct texts, so this layer is the first
                // whose key equals the one chosen.
                break;
            }
        }
        refresh(hot);
        if (target == last) {
            for (target = first; target != last && target->key_id != id; ++target) {
            }
        }
        if (target != first + previous_layer_) {
            return move(e, hot, static_cast<size_t>(target - first)) < 0 ? -1 : 1;
        }
        note_previous(e.range, id, previous_layer_);
        hot.range = e.range;
        return 0;
    }

    // The letter just placed (in layer `layer`) had range `range`, whose
    // text has id `id` (or 0).
    void note_previous(PyObject* range, uint32_t id, size_t layer) noexcept {
        previous_range_ = range;
        previous_id_ = id;
        previous_layer_ = layer;
        single_id_ = keys_known_ && layers_.size() == 1 ? id : 0;
    }

    // Put the letter into layer `target` (opening it when it is the next
    // one), which is not the previous letter's, and make it the previous
    // letter's; `hot` is then read again from the members. 0, or -1 with an
    // exception (`hot` is then consistent too).
    [[gnu::noinline]] int move(const Entry& e, Hot& hot, size_t target) noexcept {
        store_hot(hot);
        try {
            if (target == layers_.size()) {
                open_layer(e.range, e.range_id, 0);
            }
            layers_[target].push(e.ch);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            hot = load_hot();
            return -1;
        }
        note_previous(e.range, e.range_id, target);
        hot = load_hot();
        return 0;
    }

    void open_layer(PyObject* key, uint32_t id, size_t room) {
        layers_.push_back(Layer<Char>{key, id, room});
        keys_known_ = keys_known_ && id != 0;
    }

    // After Python code may have run: the epoch and murkel's page table
    // (which may have been rebound), read again.
    void refresh(Hot& hot) noexcept {
        hot.epoch = epoch_;
        read_page_table(hot);
    }

    static void read_page_table(Hot& hot) noexcept {
        hot.page_block = kNoCodepoint;
        PyObject* table = cached_page_table();
        hot.murkel_pages = table != nullptr ? reinterpret_cast<PyListObject*>(table)->ob_item : nullptr;
        hot.murkel_page_count = table != nullptr ? PyList_GET_SIZE(table) : 0;
    }

    // Whether the global judge finds `key` followed by `range` suspicious:
    // 1 or 0, or -1 with an exception. The global is looked up at each call.
    int judged(PyObject* key, PyObject* range) noexcept {
        PyObject* judge = bound_global(bindings.judge);
        if (judge == nullptr) {
            return -1;
        }
        PyObject* verdict = call_judge(judge, key, range);
        Py_DECREF(judge);
        python_ran();
        const int suspicious = verdict == nullptr    ? -1
                               : verdict == Py_False ? 0
                               : verdict == Py_True  ? 1
                                                     : PyObject_IsTrue(verdict);
        Py_XDECREF(verdict);
        return suspicious;
    }

    // Place a letter of another range than the previous letter's, in the
    // middle of the fast loop: as the walk would, then with `hot` read again
    // from the members, as the judge or a comparison may have run Python
    // code. 0, or -1 with an exception (`hot` is then consistent too).
    [[gnu::noinline]] int shift(const Entry& e, Hot& hot, size_t room) noexcept {
        store_hot(hot);
        int placed;
        try {
            placed = place(e, room);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            placed = -1;
        }
        hot = load_hot();
        return placed;
    }

    static PyObject* marker() noexcept { return reinterpret_cast<PyObject*>(&no_range_marker); }

    // The entry of a code point (missing_entry when there is none yet).
    static Entry* find(const Page* const* pages, Py_UCS4 cp) noexcept { return (*pages[cp >> 8])[cp & 0xFF]; }
    static Entry* find(const Hot& hot, Py_UCS4 cp) noexcept { return find(hot.pages, cp); }

    // Python code may have run: every entry must be confirmed again.
    void python_ran() noexcept {
        if (++epoch_ == 0) {
            // Wrapped: forget every confirmation instead of trusting old epochs.
            for (Entry& e : direct_) {
                e.epoch = 0;
            }
            for (Entry& e : entries_) {
                e.epoch = 0;
            }
            epoch_ = 1;
        }
    }

    // Describe `record` (a new reference, from now on owned for the whole
    // call) in `e`, confirmed in `epoch`. The fields read are owned too: what
    // the entry held before stays alive, as a layer key or the previous range
    // may still point at it.
    void fill(Entry& e, CharInfoObject* record, uint32_t epoch) {
        owned_.push_back(Ref::steal(reinterpret_cast<PyObject*>(record)));
        owned_.push_back(Ref::borrow(record->character));
        owned_.push_back(Ref::borrow(record->range));
        e.record = record;
        e.character = record->character;
        e.read_range = record->range;
        e.alpha = record->alpha;
        e.range = record->alpha && record->range != Py_None ? record->range : nullptr;
        e.range_id = e.range != nullptr ? text_id(e.range) : 0;
        e.letter = e.range != nullptr ? ~uintptr_t{0} : 0;
        PyObject* character = record->character;
        const bool simple = PyUnicode_CheckExact(character) && PyUnicode_GET_LENGTH(character) == 1;
        e.ch = simple ? PyUnicode_READ_CHAR(character, 0) : kNoCodepoint;
        e.fast = simple && e.ch <= Layer<Char>::kMaxChar ? e.range : nullptr;
        e.epoch = epoch;
    }
    void fill(Entry& e, CharInfoObject* record) { fill(e, record, epoch_); }

    // A number for the text of `range` (owned through owned_): two ranges
    // get the same id exactly when they are equal exact str, so that placing
    // a letter compares ids instead of texts. 0 for anything else (which is
    // compared the general way), and for texts past the first few dozen
    // met since the table was last dropped; real text uses a handful of
    // Unicode blocks.
    uint32_t text_id(PyObject* range) {
        if (!PyUnicode_CheckExact(range)) {
            return 0;
        }
        for (size_t k = 0; k < range_texts_.size(); ++k) {
            if (range_texts_[k] == range || same_text(range_texts_[k], range)) {
                return static_cast<uint32_t>(k + 1);
            }
        }
        if (range_texts_.size() >= kRangeTexts) {
            return 0;
        }
        range_texts_.push_back(range);
        return static_cast<uint32_t>(range_texts_.size());
    }

    // Read the entry's record again after Python code rewrote it in place;
    // whether murkel would still give this record is left to the epoch.
    void refill(Entry& e) { fill(e, reinterpret_cast<CharInfoObject*>(Py_NewRef(e.record)), e.epoch); }

    Entry* ascii_entry(Py_UCS4 cp) {
        Entry& e = direct_[cp];
        if (e.epoch == epoch_) {
            return &e;
        }
        // The list may have been changed in place since the entry was read.
        if (!ascii_table_complete(ascii_)) {
            return nullptr;
        }
        PyObject* item = PyList_GET_ITEM(ascii_, cp);
        if (e.describes(reinterpret_cast<CharInfoObject*>(item))) {
            e.epoch = epoch_;
            return &e;
        }
        if (!is_char_info(item)) {
            PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(item)->tp_name,
                         g.char_info_type->tp_name);
            return nullptr;
        }
        fill(e, reinterpret_cast<CharInfoObject*>(Py_NewRef(item)));
        return &e;
    }

    Entry* other_entry(Py_UCS4 cp) {
        Entry& e = cp < kDirect ? direct_[cp] : slot_for(cp);
        if (e.epoch == epoch_) {
            return &e;
        }
        if (CharInfoObject* cached = cached_record(cp)) {
            // What murkel would return, read without running Python code.
            if (cached == e.record) {
                if (!e.unchanged()) {
                    refill(e);
                }
                e.epoch = epoch_;
            } else {
                fill(e, reinterpret_cast<CharInfoObject*>(Py_NewRef(cached)));
            }
            return &e;
        }
        CharInfoObject* record = g.char_info_from_codepoint(cp);
        if (record == nullptr) {
            return nullptr;
        }
        if (record == e.record) {
            // The record we hold, so murkel found it in its cache: no Python
            // code ran. Earlier Python code may have rewritten it, though.
            Py_DECREF(record);
            if (!e.unchanged()) {
                refill(e);
            }
            e.epoch = epoch_;
            return &e;
        }
        // A record we have not seen: murkel may have built it, which runs the
        // host's Python code.
        python_ran();
        fill(e, record);
        return &e;
    }

    // The entry of a code point from kDirect on, created empty on first use.
    Entry& slot_for(Py_UCS4 cp) {
        if (pages_.empty()) {
            pages_.resize(kPageCount);
        }
        std::unique_ptr<Page>& page = pages_[cp >> 8];
        if (!page) {
            page = std::make_unique<Page>(missing_page);
            page_view_[cp >> 8] = page.get();
        }
        Entry*& slot = (*page)[cp & 0xFF];
        if (slot == &missing_entry) {
            slot = &entries_.emplace_back();
        }
        return *slot;
    }

    // Python equality of two ranges; only a comparison between exact str is
    // known to run no Python code.
    int ranges_equal(PyObject* a, PyObject* b) noexcept {
        if (a == b) {
            return 1;
        }
        if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
            return same_text(a, b) ? 1 : 0;
        }
        const int equal = PyObject_RichCompareBool(a, b, Py_EQ);
        if (!PyUnicode_CheckExact(a) || !PyUnicode_CheckExact(b)) {
            python_ran();
        }
        return equal;
    }

    // The key of the layer a letter of range `range` joins: the first open
    // layer whose range may precede it, else `range` itself. Keys and ranges
    // are held in owned_ for the whole call, so the judge (which may rewrite
    // any record) cannot free them, and no further reference is taken.
    PyObject* target_key(PyObject* range) noexcept {
        for (const Layer<Char>& layer : layers_) {
            PyObject* key = layer.key;
            Ref judge = Ref::steal(bound_global(bindings.judge));
            if (!judge) {
                return nullptr;
            }
            Ref verdict = Ref::steal(call_judge(judge.get(), key, range));
            python_ran();
            if (!verdict) {
                return nullptr;
            }
            const int suspicious = verdict.get() == Py_False  ? 0
                                   : verdict.get() == Py_True ? 1
                                                              : PyObject_IsTrue(verdict.get());
            if (suspicious < 0) {
                return nullptr;
            }
            if (!suspicious) {
                return key;
            }
        }
        return range;
    }

    // judge(key, range), a new reference or nullptr with an exception; as
    // PyObject_Vectorcall would call it, without its per-call overhead: a
    // callable with a vectorcall entry is called through it directly, and its
    // result checked as the interpreter checks it (a result together with a
    // pending exception, or no result without one, is a SystemError).
    PyObject* call_judge(PyObject* judge, PyObject* key, PyObject* range) noexcept {
        // PyVectorcall_Function, read inline.
        PyTypeObject* type = Py_TYPE(judge);
        vectorcallfunc call = nullptr;
        if (PyType_HasFeature(type, Py_TPFLAGS_HAVE_VECTORCALL)) {
            std::memcpy(&call, reinterpret_cast<const char*>(judge) + type->tp_vectorcall_offset, sizeof call);
        }
        if (call == nullptr) {
            return call_judge_(judge, key, range);
        }
        PyObject* args[] = {key, range};
        PyObject* result = call(judge, args, 2, nullptr);
        if ((result == nullptr) == (PyErr_Occurred() != nullptr)) [[likely]] {
            return result;
        }
        return vx::misbehaved_call(judge, result);
    }

    // Index of the layer whose key equals `key`, -1 when none, -2 on error.
    Py_ssize_t find_layer(PyObject* key) noexcept {
        for (size_t i = 0; i < layers_.size(); ++i) {
            const int equal = ranges_equal(layers_[i].key, key);
            if (equal != 0) {
                return equal < 0 ? -2 : static_cast<Py_ssize_t>(i);
            }
        }
        return -1;
    }

    // Append the record's character (any str) to a layer.
    [[gnu::always_inline]] int append(Layer<Char>& layer, const Entry& e) {
        if (e.ch != kNoCodepoint) {
            layer.push(e.ch);
            return 0;
        }
        PyObject* character = e.character;
        if (!PyUnicode_Check(character)) {
            raise_expected("str", character);
            return -1;
        }
        const Py_ssize_t length = PyUnicode_GET_LENGTH(character);
        for (Py_ssize_t k = 0; k < length; ++k) {
            layer.push(PyUnicode_READ_CHAR(character, k));
        }
        return 0;
    }

    // A letter the fast loop did not write: its range is not the previous
    // letter's range object, or its character is not one code point of the
    // text's width, or the layer is full. `room`: the characters left in the
    // text from this one on, which bounds the first layer.
    int place(const Entry& e, size_t room) {
        PyObject* range = e.range;
        if (previous_range_ != nullptr) {
            const int same = ranges_equal(range, previous_range_);
            if (same < 0) {
                return -1;
            }
            if (same) {
                return append(layers_[previous_layer_], e);
            }
        }
        PyObject* key = target_key(range);
        if (key == nullptr) {
            return -1;
        }
        Py_ssize_t target = find_layer(key);
        if (target == -2) {
            return -1;
        }
        if (target == -1) {
            // A new layer's key is always the range placed.
            open_layer(key, e.range_id, layers_.empty() ? room : 0);
            target = static_cast<Py_ssize_t>(layers_.size()) - 1;
        }
        if (append(layers_[target], e) < 0) {
            return -1;
        }
        note_previous(range, e.range_id, static_cast<size_t>(target));
        return 0;
    }

    // Entries kept between calls, beyond which a kept table is dropped.
    static constexpr size_t kKeptEntries = 8192;
    static constexpr size_t kRangeTexts = 64;  // texts with ids, at most

    PyObject* ascii_ = nullptr;  // the validated _ASCII_CHAR_INFO list, held by the caller
    PairCaller call_judge_;
    Py_ssize_t text_length_ = 0;
    Char scratch_[1] = {};
    uint32_t epoch_ = 1;
    Entry direct_[kDirect];                     // entries of the code points below kDirect
    std::deque<Entry> entries_;                 // the other entries; a deque keeps their addresses
    std::vector<std::unique_ptr<Page>> pages_;  // entries_ by code point, in blocks of 256
    Page direct_page_;                          // direct_ by code point
    std::vector<const Page*> page_view_;        // direct_page_, then pages_, missing_page for those not made yet
    std::vector<Ref> owned_;  // every record used and the fields read from it, released when the call ends
    std::vector<Layer<Char>> layers_;
    PyObject* previous_range_ = nullptr;  // range of the previous letter that had one
    uint32_t previous_id_ = 0;            // the id of its text, or 0
    size_t previous_layer_ = 0;
    bool keys_known_ = true;  // every layer key has an id
    uint32_t single_id_ = 0;  // previous_id_ while only one layer is open and keys_known_, else 0
    // The texts that have ids: id k is the text of range_texts_[k - 1], an
    // exact str owned through owned_.
    std::vector<PyObject*> range_texts_;
};

// An ASCII text takes its every record from _ASCII_CHAR_INFO. When those
// records give all their letters one range and one ASCII character each, the
// text has at most one layer: the first letter opens it without consulting
// the judge, and every later letter is in the same range, so no Python code
// can run during the walk. The layer is then the text with the non-letters
// dropped and each letter replaced by its record's character, lowercased;
// ASCII lowercasing does not depend on neighbours, so one lookup table does
// all of it.
#if defined(__x86_64__)
// For each set of the 8 positions of a byte mask, the shuffle that gathers
// the bytes at its set positions, in order, at the start of 8 bytes.
struct GatherPatterns {
    uint64_t of_mask[256];
};

constexpr GatherPatterns make_gather_patterns() {
    GatherPatterns table{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        uint64_t pattern = 0;
        unsigned kept = 0;
        for (unsigned bit = 0; bit < 8; ++bit) {
            if (mask & (1u << bit)) {
                pattern |= static_cast<uint64_t>(bit) << (8 * kept++);
            }
        }
        table.of_mask[mask] = pattern;
    }
    return table;
}

constexpr GatherPatterns kGatherPatterns = make_gather_patterns();

// The ASCII letters A-Z and a-z of text[from..to), lowercased, written from
// `out` on; returns the end of what was written. Sixteen characters at a
// time: the letters are told by range, lowercased by setting bit 5, and
// gathered eight at a time with a shuffle. Each store writes 8 bytes from
// `out`, which never runs ahead of the characters read, so it stays within
// the layer (which is as long as the text).
[[gnu::target("ssse3,popcnt")]] Py_UCS1* standard_ascii_letters(const Py_UCS1* text, Py_ssize_t from, Py_ssize_t to,
                                                                Py_UCS1* out) noexcept {
    const __m128i case_bit = _mm_set1_epi8(0x20);
    const __m128i shift = _mm_set1_epi8(static_cast<char>(0x80 - 'a'));  // 'a' becomes the lowest signed byte
    const __m128i limit = _mm_set1_epi8(static_cast<char>(0x80 + 26 - 256));
    Py_ssize_t i = from;
    for (; i + 16 <= to; i += 16) {
        const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        const __m128i lowered = _mm_or_si128(chars, case_bit);
        const __m128i letters = _mm_cmplt_epi8(_mm_add_epi8(lowered, shift), limit);
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(letters));
        const __m128i low = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&kGatherPatterns.of_mask[mask & 0xFF]));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(lowered, low));
        out += __builtin_popcount(mask & 0xFF);
        const __m128i high = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&kGatherPatterns.of_mask[mask >> 8]));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(_mm_srli_si128(lowered, 8), high));
        out += __builtin_popcount(mask >> 8);
    }
    for (; i < to; ++i) {
        const Py_UCS1 lowered = text[i] | 0x20;
        *out = lowered;
        out += static_cast<Py_UCS1>(lowered - 'a') < 26;
    }
    return out;
}

bool has_gather_instructions() noexcept {
    static const bool supported = __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("popcnt");
    return supported;
}
#endif

constexpr Py_UCS1 kAsciiDropped = 0x80;  // never an ASCII character

// What AsciiLetters keeps of each ASCII character with the records murkel
// builds: A-Z and a-z, lowercased; every other character is dropped.
struct StandardAscii {
    Py_UCS1 lowered[128];
};

constexpr StandardAscii standard_ascii() {
    StandardAscii table{};
    for (unsigned cp = 0; cp < 128; ++cp) {
        const bool letter = (cp | 0x20) - 'a' < 26;
        table.lowered[cp] = static_cast<Py_UCS1>(letter ? (cp | 0x20) : kAsciiDropped);
    }
    return table;
}

constexpr StandardAscii kStandardAscii = standard_ascii();

class AsciiLetters {
public:
    // Read the 128 records of `ascii` (a list of at least 128 entries).
    // False when they do not allow the shortcut; nothing is raised then, as
    // the general walk reports any fault at the character that meets it.
    bool read(PyObject* ascii) noexcept {
        std::fill(std::begin(lowered_), std::end(lowered_), kDropped);
        PyObject* range = nullptr;
        for (Py_ssize_t cp = 0; cp < 128; ++cp) {
            PyObject* item = PyList_GET_ITEM(ascii, cp);
            if (!is_char_info(item)) {
                return false;
            }
            const auto* record = reinterpret_cast<const CharInfoObject*>(item);
            if (!record->alpha || record->range == Py_None) {
                continue;
            }
            if (range == nullptr) {
                range = record->range;
            }
            if (!same_str(record->range, range)) {
                return false;
            }
            PyObject* character = record->character;
            const Py_UCS4 ch = PyUnicode_CheckExact(character) && PyUnicode_GET_LENGTH(character) == 1
                                   ? PyUnicode_READ_CHAR(character, 0)
                                   : kNoCodepoint;
            if (ch > 127) {
                return false;
            }
            lowered_[cp] = static_cast<Py_UCS1>(ch - 'A' < 26 ? ch + 0x20 : ch);
        }
        // The records murkel builds: A-Z and a-z are the letters, each its
        // own character.
        standard_ = std::equal(lowered_, lowered_ + 128, kStandardAscii.lowered);
        return true;
    }

    // The layers of an ASCII text of `length` characters: [] or [layer].
    PyObject* split(const Py_UCS1* text, Py_ssize_t length) const noexcept {
        // The layer is at most as long as the text: write it in place, then
        // trim. A dropped character is written too, and overwritten by the
        // next letter, which keeps the loop free of branches.
        PyObject* layer = PyUnicode_New(length, 127);
        if (layer == nullptr) {
            return nullptr;
        }
        Py_UCS1* const start = PyUnicode_1BYTE_DATA(layer);
        Py_UCS1* out = start;
        for (Py_ssize_t from = 0; from < length; from += kSignalInterval) {
            // Nothing here borrows from a Python object, so a signal handler
            // run at a checkpoint cannot invalidate the walk.
            if (from != 0 && PyErr_CheckSignals() < 0) {
                Py_DECREF(layer);
                return nullptr;
            }
            const Py_ssize_t to = block_end(from, length);
#if defined(__x86_64__)
            if (standard_ && has_gather_instructions()) {
                out = standard_ascii_letters(text, from, to, out);
                continue;
            }
#endif
            for (Py_ssize_t i = from; i < to; ++i) {
                const Py_UCS1 ch = lowered_[text[i]];
                *out = ch;
                out += ch != kDropped;
            }
        }
        const Py_ssize_t letters = out - start;
        if (letters == 0) {
            Py_DECREF(layer);
            return PyList_New(0);
        }
        if (letters < length) {
            *out = 0;
            if (PyUnicode_Resize(&layer, letters) < 0) {
                Py_DECREF(layer);  // a failed resize leaves the string as it was
                return nullptr;
            }
        }
        PyObject* list = PyList_New(1);
        if (list == nullptr) {
            Py_DECREF(layer);
            return nullptr;
        }
        PyList_SET_ITEM(list, 0, layer);
        return list;
    }

private:
    // Identity first; two exact str compare without running Python code.
    static bool same_str(PyObject* a, PyObject* b) noexcept {
        return a == b || (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b) && PyUnicode_Compare(a, b) == 0);
    }

    static constexpr Py_UCS1 kDropped = kAsciiDropped;
    Py_UCS1 lowered_[256];   // by byte; the upper half stays kDropped
    bool standard_ = false;  // lowered_ keeps A-Z and a-z, lowercased, and drops the rest
};

template <class Char>
PyObject* walk_with(Splitter<Char>& splitter, const void* data, Py_ssize_t length, PyObject* ascii) {
    splitter.begin(ascii);
    if (splitter.walk(static_cast<const Char*>(data), length) < 0) {
        return nullptr;
    }
    return splitter.result();
}

// Splitters live on the heap: their tables are large, and a judge that calls
// back into this module nests one walk per level on the C stack. One
// splitter per text width is kept between calls with its table of records,
// so that a call finds the code points earlier calls have seen; a call made
// while it is in use (from Python code a walk ran) gets one of its own.
template <class Char>
PyObject* split_text(const void* data, Py_ssize_t length, PyObject* ascii) {
    static Splitter<Char>* kept = nullptr;
    static bool busy = false;
    if (busy) {
        auto own = std::make_unique<Splitter<Char>>();
        return walk_with(*own, data, length, ascii);
    }
    if (kept == nullptr) {
        kept = new Splitter<Char>();
    }
    struct Release {
        Splitter<Char>* splitter;
        ~Release() {
            // Dropping records may run Python code: an exception the walk
            // raised is set aside meanwhile.
            PyObject* raised = PyErr_GetRaisedException();
            splitter->finish();
            busy = false;
            PyErr_SetRaisedException(raised);
        }
    };
    busy = true;
    Release release{kept};
    return walk_with(*kept, data, length, ascii);
}

PyObject* split(PyObject* decoded_sequence) noexcept {
    if (decoded_sequence == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return nullptr;
    }
    if (!PyUnicode_Check(decoded_sequence)) {
        raise_arg_type("decoded_sequence", "str", decoded_sequence);
        return nullptr;
    }
    // The walk reads the text's storage across Python callbacks: hold it.
    Ref text = Ref::borrow(decoded_sequence);
    Ref ascii = Ref::steal(ascii_table());
    if (!ascii) {
        return nullptr;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(decoded_sequence);
    const void* data = PyUnicode_DATA(decoded_sequence);
    if (PyUnicode_IS_ASCII(decoded_sequence) && length >= kAsciiShortcutMinLength) {
        AsciiLetters letters;
        if (letters.read(ascii.get())) {
            return letters.split(static_cast<const Py_UCS1*>(data), length);
        }
    }
    try {
        switch (PyUnicode_KIND(decoded_sequence)) {
            case PyUnicode_1BYTE_KIND:
                return split_text<Py_UCS1>(data, length, ascii.get());
            case PyUnicode_2BYTE_KIND:
                return split_text<Py_UCS2>(data, length, ascii.get());
            default:
                return split_text<Py_UCS4>(data, length, ascii.get());
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace

PyObject* alpha_unicode_split_native(PyObject* decoded_sequence) noexcept {
    PyObject* result = split(decoded_sequence);
    if (result == nullptr) {
        VX_TRACEBACK("vexlora.tessaly.alpha_unicode_split");
    }
    return result;
}

PyObject* py_alpha_unicode_split(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"decoded_sequence"};
    static const ArgSpec spec{"alpha_unicode_split", names, 1, 1};
    PyObject* value;
    if (parse_args(spec, args, nargs, kwnames, &value) < 0 ||
        !check_exact_or_none(value, &PyUnicode_Type, "decoded_sequence")) {
        VX_TRACEBACK("vexlora.tessaly.alpha_unicode_split");
        return nullptr;
    }
    return alpha_unicode_split_native(value);
}

}  // namespace vx::tessaly
