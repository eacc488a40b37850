// mess_ratio: walks a decoded string once, feeds every character's record to
// the detector plugins, sums their ratios at checkpoints and stops early
// once the sum reaches the caller's maximum.
//
// The walk reads code points straight from the string's storage, one
// instantiation per storage width, and calls no Python API for a character
// whose record is already cached. Each record is reduced to one word of bits
// (record_bits.h) that feeds the plugins; the words of the ASCII records are
// kept for the whole call. Counter-only plugins are updated on local copies
// (which the compiler keeps in registers, apart from the records it reads)
// and written back to their objects when the walk ends.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "murkel/class_fields.h"
#include "murkel/counter_room.h"
#include "murkel/mess_ratio_trace.h"
#include "murkel/pair_judge.h"
#include "murkel/record_bits.h"
#include "murkel/walk_records.h"
#include "murkel/registry.h"
#include "murkel/state.h"
#include "murkel/plugins.h"
#include "shared/args.h"
#include "shared/errors.h"
#include "shared/function.h"
#include "shared/pyref.h"
#include "shared/rounding.h"
#include "shared/str_equal.h"

namespace vx::murkel {

namespace {

using namespace driver;

constexpr const char kWhere[] = "vexlora.murkel.mess_ratio";
constexpr Py_UCS4 kLineFeed = 10;
constexpr Py_ssize_t kGuardStride = 65536;

// ---------------------------------------------------------------------------
// The plugins of one call.

using SymbolTraits = TooManySymbolOrPunctuationTraits;
using AccentTraits = TooManyAccentuatedTraits;
using DuplicateTraits = SuspiciousDuplicateAccentTraits;
using RangeTraits = SuspiciousRangeTraits;
using WeirdTraits = SuperWeirdWordTraits;
using CjkTraits = CjkUncommonTraits;
using KatakanaTraits = SuspiciousKatakanaTraits;
using ArchaicTraits = ArchaicUpperLowerTraits;
using ArabicTraits = ArabicIsolatedFormTraits;

// Each detector's construction (what its __init__ does), in creation order.
using Construct = void (*)(PyObject*) noexcept;
#define VX_CONSTRUCT(Name, Traits) \
    +[](PyObject* op) noexcept { Traits::construct(reinterpret_cast<Traits::Object*>(op)); },
constexpr Construct kConstructs[] = {VX_MURKEL_DETECTORS(VX_CONSTRUCT)};
#undef VX_CONSTRUCT
static_assert(std::size(kConstructs) == kDetectorCount);

struct Plugins {
    // In creation order, which is also the order of the debug records.
    static constexpr int kCount = kDetectorCount;
    Ref objects[kCount];

    int create() noexcept {
        PyTypeObject* const* types = kClassTypes + kFirstDetectorClass;
        // What calling each class with no arguments does, without the
        // generic call machinery: the classes are static and immutable, so
        // their construction slots are the ones a call would reach.
        Ref no_args = Ref::steal(PyTuple_New(0));
        if (!no_args) {
            return -1;
        }
        for (int i = 0; i < kCount; ++i) {
            objects[i] = Ref::steal(types[i]->tp_new(types[i], no_args.get(), nullptr));
            if (!objects[i]) {
                return -1;
            }
            if (!Py_IS_TYPE(objects[i].get(), types[i])) {
                PyErr_Format(PyExc_TypeError, "%.200s() returned %.200s", types[i]->tp_name,
                             Py_TYPE(objects[i].get())->tp_name);
                return -1;
            }
            // What __init__ does when called without arguments, without
            // its argument check.
            kConstructs[i](objects[i].get());
        }
        return 0;
    }

    // The plugin of the class Traits describes.
    template <class Traits>
    typename Traits::Object* at() const noexcept {
        return objects[kClassOf<typename Traits::Object> - kFirstDetectorClass].template as<typename Traits::Object>();
    }
};

// A counter-only plugin worked on as a local copy. The copy never leaves the
// walk, so its fields cannot alias the records being read.
template <class Traits>
struct Local {
    static_assert(!Traits::kHasReference, "plugins holding references are updated in place");
    using Object = typename Traits::Object;
    Object state;

    explicit Local(const Object* target) noexcept { std::memcpy(&state, target, sizeof(Object)); }
    // Copy the counters (everything after the common header) back.
    void store(Object* target) const noexcept {
        constexpr size_t header = sizeof(MessDetectorPluginObject);
        std::memcpy(reinterpret_cast<char*>(target) + header, reinterpret_cast<const char*>(&state) + header,
                    sizeof(Object) - header);
    }
};

// ---------------------------------------------------------------------------
// The walk.

// Will feeding `info` to the duplicate-accent plugin compare two accent-free
// forms other than two str (a comparison that may run Python code)?
bool compares_foreign_bases(const DuplicateTraits::Object* plugin, uint32_t word, const CharInfoObject* info) noexcept {
    PyObject* last = plugin->_last_latin_character;
    if ((word & bits::kAccentuated) == 0 || !plugin->_last_was_accentuated || last == nullptr || last == Py_None) {
        return false;
    }
    if (!Py_IS_TYPE(last, &CharInfoType)) {
        return true;
    }
    PyObject* mine = field_or_none(info->unaccented);
    PyObject* theirs = field_or_none(reinterpret_cast<const CharInfoObject*>(last)->unaccented);
    return mine != theirs && !(PyUnicode_CheckExact(mine) && PyUnicode_CheckExact(theirs));
}

// The case-run plugin after `n` letters without case in a row: each closes
// the open run or opens one (a run of one, with nothing to fold when the next
// one closes it), so only the first close and the last letter matter. `first`,
// `before_last` and `last` are the words of the first, last but one and last
// letters. The walk's plugin never holds flips in a closed run (closing
// clears them), which this relies on.
void settle_case_run(ArchaicTraits::Object& state, int32_t n, uint32_t first, uint32_t before_last,
                     uint32_t last) noexcept {
    const bool open_before = state._character_count_since_last_sep > 0;
    if (open_before) {
        if (state._character_count_since_last_sep <= ArchaicTraits::kLongestRun && (first & bits::kDigit) == 0 &&
            !state._current_ascii_only) {
            bump(state._successive_upper_lower_count_final, state._successive_upper_lower_count);
        }
    }
    const bool closed_any = open_before || n >= 2;
    // Letter t (from 0) closes a run when one is open before it.
    const bool last_closes = ((n - 1) % 2 == 0) == open_before;
    if (last_closes) {
        state._successive_upper_lower_count = 0;
        state._buf = 0;
        state._character_count_since_last_sep = 0;
        state._current_ascii_only = 1;
        if (n >= 2) {  // the last but one opened the run just closed
            state._last_alpha_seen_upper = bits::bit(before_last, bits::kUpper);
            state._last_alpha_seen_lower = bits::bit(before_last, bits::kLower);
        }
        return;
    }
    if (closed_any) {
        state._successive_upper_lower_count = 0;
        state._buf = 0;
        state._current_ascii_only = 1;
    }
    if (last & bits::kNonAscii) {
        state._current_ascii_only = 0;
    }
    state._character_count_since_last_sep = closed_any ? 1 : wrap_add(state._character_count_since_last_sep, 1);
    state._last_alpha_seen_upper = bits::bit(last, bits::kUpper);
    state._last_alpha_seen_lower = bits::bit(last, bits::kLower);
}

// The case-flip rule of the archaic plugin inside a run, as a table: the
// state is the last letter's case (bits::kLower and bits::kUpper, at bits 2
// and 3), a pending flip (bit 4) and an open run (bit 5); an entry, indexed by
// the state or'ed with the next letter's case (bits 0 and 1), holds the next
// state and, from bit 8 on, whether the letter completes a pair of flips. The
// walk keeps the state and its count of completed pairs (from bit 8 on) in one
// word, so that adding an entry to the word without its state moves both on.
struct CaseFlips {
    uint16_t next[64];
    constexpr CaseFlips() : next{} {
        for (uint32_t state = 0; state < 16; ++state) {
            for (uint32_t letter = 0; letter < 4; ++letter) {
                const uint32_t last = state & 3;
                uint32_t pending = (state >> 2) & 1;
                uint32_t pair = 0;
                if (state & 8) {
                    const bool flip = ((((letter >> 1) | (letter << 1)) & 3) & last) != 0;
                    pair = flip && pending ? 1 : 0;
                    pending = flip && !pending ? 1 : 0;
                }
                next[state * 4 + letter] = static_cast<uint16_t>((letter | (pending << 2) | 8u) << 2 | (pair << 8));
            }
        }
    }
};
constexpr CaseFlips kCaseFlips;
static_assert(bits::kLower == 1u && bits::kUpper == 2u);

// What a letter adds to the sums of its word: one letter, and one more
// upper-case, accentuated or glyph letter when it is one, as four counts of
// 16 bits in one word, indexed by those three bits of its record word
// (adjacent, so that one shift and one mask find the entry).
struct LetterLanes {
    uint64_t of[8];
    constexpr LetterLanes() : of{} {
        for (uint64_t index = 0; index < 8; ++index) {
            of[index] = 1 | (index & 1) << 16 | ((index >> 1) & 1) << 32 | ((index >> 2) & 1) << 48;
        }
    }
};
constexpr LetterLanes kLetterLanes;
constexpr int kLetterShift = 1;
static_assert(bits::kUpper == 1u << kLetterShift && bits::kAccentuated == 2u << kLetterShift &&
              bits::kGlyph == 4u << kLetterShift);

// The letters of one word met in a span, summed. A span is at most one
// checkpoint interval long, so no count passes 16 bits.
struct WordSum {
    uint64_t counts = 0;  // kLetterLanes summed
    uint32_t seen = 0;    // bits of the letters
    uint32_t first = 0;   // word of the first letter
    uint32_t last = 0;    // word of the last letter

    void add(uint32_t word) noexcept {
        if (counts == 0) [[unlikely]] {  // words run for several letters
            first = word;
        }
        counts += kLetterLanes.of[(word >> kLetterShift) & 7];
        seen |= word;
        last = word;
    }
    int32_t letters() const noexcept { return static_cast<int32_t>(counts & 0xFFFF); }
    int32_t uppers() const noexcept { return static_cast<int32_t>((counts >> 16) & 0xFFFF); }
    int32_t accents() const noexcept { return static_cast<int32_t>((counts >> 32) & 0xFFFF); }
    int32_t glyphs() const noexcept { return static_cast<int32_t>(counts >> 48); }
};

// Counts a span adds up and hands to the plugins at its end, in lanes of 12
// bits of one word (one register instead of five in the span's loop). A span
// is at most 128 characters long, so no lane passes 256.
struct Tallies {
    enum Lane : int { kLetters = 0, kAccents = 12, kSymbols = 24, kPuncts = 36, kDuplicate = 48 };
    uint64_t lanes = 0;

    void add(Lane lane, int32_t by) noexcept { lanes += static_cast<uint64_t>(by) << lane; }
    void add_letters(const WordSum& sum) noexcept {
        lanes += static_cast<uint64_t>(sum.letters()) << kLetters | static_cast<uint64_t>(sum.accents()) << kAccents;
    }
    int32_t get(Lane lane) const noexcept { return static_cast<int32_t>((lanes >> lane) & 0xFFF); }
};

// The word plugin after the letters of `sum` (plain letters: no ligature)
// have been fed to it one by one.
[[gnu::always_inline]] inline void fold_letters(SuperWeirdWordTraits::Object& state, const WordSum& sum) noexcept {
    if (state._buffer_last_char_ligature) {
        state._buffer_has_internal_ligature = 1;
    }
    state._buffer_last_char_ligature = 0;
    state._buffer_first_lower =
        state._buffer_length == 0 ? bits::bit(sum.first, bits::kLower) : state._buffer_first_lower;
    bump(state._buffer_length, sum.letters());
    state._buffer_last_char_upper = bits::bit(sum.last, bits::kUpper);
    bump(state._buffer_upper_count, sum.uppers());
    if (sum.seen & bits::kNonAscii) {
        state._buffer_has_non_ascii = 1;
    }
    state._buffer_last_char_accentuated = bits::bit(sum.last, bits::kAccentuated);
    bump(state._buffer_accent_count, sum.accents());
    bump(state._buffer_glyph_count, sum.glyphs());
    if (sum.seen & bits::kForeignLetter) {
        state._foreign_long_watch = 1;
    }
}

// The word plugin at the end of a word made only of the letters of `sum`
// (plain letters: no ligature), fed from a clear state (right after the end
// of the word before): what folding them in and ending the word would do,
// without the round trip through the word's fields, which the end of a word
// clears anyway. Such a word is never marked invalid, nor bad before its end.
[[gnu::always_inline]] inline void end_fresh_word(SuperWeirdWordTraits::Object& state, const WordSum& sum) noexcept {
    const int32_t n = sum.letters();
    const int32_t uppers = sum.uppers();
    bump(state._word_count);
    bump(state._character_count, n);
    bool bad = false;
    if (n >= 4) {
        if (2 * static_cast<int64_t>(sum.accents()) >= n) {
            bad = true;
        } else if ((sum.last & bits::kAccentuated) && (sum.last & bits::kUpper) && uppers != n) {
            bump(state._foreign_long_count);
            bad = true;
        } else if (sum.glyphs() == 1) {
            bump(state._foreign_long_count);
            bad = true;
        } else if ((sum.seen & bits::kNonAscii) && (sum.first & bits::kLower) && uppers == n - 1) {
            bump(state._foreign_long_count);
            bad = true;
        }
    }
    if (n >= 24 && (sum.seen & bits::kForeignLetter)) {
        const bool camel_case = uppers > 0 && 10 * static_cast<int64_t>(uppers) <= 3 * static_cast<int64_t>(n);
        if (!camel_case) {
            bump(state._foreign_long_count);
            bad = true;
        }
    }
    if (bad) {
        bump(state._bad_word_count);
        bump(state._bad_character_count, n);
    }
}

// What a letter of another script adds to the CJK, Katakana and Arabic
// plugins, as eight counts of one byte each in one word, indexed by the six
// script bits of its record word (from bits::kCjk up): a span adds these up
// and splits the sum at its end. A span is at most one checkpoint interval
// (128 characters) long, so no count passes 255.
constexpr int kScriptShift = 22;
static_assert(bits::kCjk == 1u << kScriptShift && bits::kKatakana == 1u << (kScriptShift + 1) &&
              bits::kHalfwidthKatakana == 1u << (kScriptShift + 2) && bits::kArabic == 1u << (kScriptShift + 3) &&
              bits::kCommonCjk == 1u << (kScriptShift + 4) && bits::kIsolatedForm == 1u << (kScriptShift + 5));
struct ScriptLanes {
    uint64_t of[64];
    constexpr ScriptLanes() : of{} {
        for (uint32_t index = 0; index < 64; ++index) {
            const bool cjk = index & 1;
            const bool katakana = index & 2;
            const bool halfwidth = index & 4;
            const bool arabic = index & 8;
            const bool common = index & 16;
            const bool isolated = index & 32;
            const bool lanes[8] = {cjk,
                                   cjk && !common,
                                   katakana,
                                   katakana && halfwidth,
                                   cjk && !katakana,
                                   cjk && !katakana && !common,
                                   arabic,
                                   arabic && isolated};
            for (int k = 0; k < 8; ++k) {
                of[index] |= static_cast<uint64_t>(lanes[k] ? 1 : 0) << (8 * k);
            }
        }
    }
};
constexpr ScriptLanes kScriptLanes;

// A change between two known blocks met inside a letter span (both exact
// str): unless their texts are equal, SuspiciousRange's judge is looked up
// and called with the two blocks, as the plugin's own update would. Returns
// 1 when the call provably ran no Python code (a memo hit of the installed
// judge), so the span goes on as it is; 0 when it may have, so the span
// checks again what it trusts (the plugin's block is then already `cur`,
// written while the call's references still hold it: the code may have
// rewritten the record it came from, and the span's end finds it in place);
// -1 with an exception on failure. Kept out of line so that the spans' loops
// stay as small as before.
[[gnu::noinline]] int judge_in_span(Judge& judge, SuspiciousRangeTraits::Object* range, PyObject* prev,
                                    PyObject* cur) noexcept {
    if (same_text(prev, cur)) {
        return 1;  // the same block under another object: nothing to judge
    }
    // Both held through the call, which may rewrite the records they come
    // from.
    Py_INCREF(prev);
    Py_INCREF(cur);
    bool quiet;
    const int suspicious = judge(prev, cur, &quiet);
    int status;
    if (suspicious < 0) [[unlikely]] {
        VX_TRACEBACK("vexlora.murkel.SuspiciousRange._feed");
        Py_DECREF(cur);
        status = -1;
    } else {
        if (suspicious > 0) {
            bump(range->_suspicious_successive_range_count);
        }
        if (quiet) {
            Py_DECREF(cur);
            status = 1;
        } else {
            // The plugin takes over the reference held on `cur`; what it
            // held before (a str or None) is dropped once it is in place.
            range->_has_last_printable = 1;
            PyObject* const old = range->_last_printable_range;
            range->_last_printable_range = cur;
            Py_XDECREF(old);
            status = 0;
        }
    }
    Py_DECREF(prev);
    return status;
}

struct Walk {
    AsciiTable* ascii;
    const Plugins* plugins;
    Py_ssize_t interval;
    double maximum_threshold;
    double mean = 0.0;
};

template <class Char, bool kAsciiOnly>
int walk(Walk& w, const Char* text, Py_ssize_t length) noexcept {
    const Plugins& p = *w.plugins;
    AsciiTable& ascii = *w.ascii;
    Local<SymbolTraits> symbol(p.at<SymbolTraits>());
    Local<AccentTraits> accent(p.at<AccentTraits>());
    Local<UnprintableTraits> unprintable(p.at<UnprintableTraits>());
    DuplicateTraits::Object* duplicate = p.at<DuplicateTraits>();
    RangeTraits::Object* range = p.at<RangeTraits>();
    Local<WeirdTraits> weird(p.at<WeirdTraits>());
    Local<CjkTraits> cjk(p.at<CjkTraits>());
    Local<KatakanaTraits> katakana(p.at<KatakanaTraits>());
    Local<ArchaicTraits> archaic(p.at<ArchaicTraits>());
    Local<ArabicTraits> arabic(p.at<ArabicTraits>());
    PageReader pages;
    Judge judge;
    RecordCache own_records;
    RecordCache* kept_records = nullptr;
    if constexpr (!kAsciiOnly) {
        kept_records = RecordCache::take_kept();
        if (kept_records == nullptr && own_records.allocate(length) < 0) {
            return -1;
        }
    }
    RecordCache& records = kept_records != nullptr ? *kept_records : own_records;
    struct GiveBack {
        RecordCache* kept;
        ~GiveBack() {
            if (kept != nullptr) {
                kept->give_back();
            }
        }
    } give_back{kept_records};
    uint64_t writes_seen = g.record_writes;
    // Python code run by a plugin or a record build may have created or
    // rewritten records: drop the words derived from them.
    auto check_records = [&]() noexcept __attribute__((always_inline)) {
        if (writes_seen != g.record_writes) [[unlikely]] {
            ascii.forget_words();
            if constexpr (!kAsciiOnly) {
                records.distrust();
            }
            writes_seen = g.record_writes;
        }
    };

    // Python code may have run: the namespace and the page table may have
    // changed, and records may have been rewritten.
    auto code_ran = [&]() noexcept __attribute__((always_inline)) {
        pages.code_ran();
        if constexpr (!kAsciiOnly) {
            records.distrust();
        }
    };

    // A change of block inside a span, from `prev` to `cur` (both exact str):
    // judged in place. When the judge may have run Python code, what the span
    // trusts is checked again and its hot slots are refreshed. False on
    // failure, with the exception set.
    auto judge_change = [&](PyObject* prev, PyObject* cur, RecordCache::Hot& slots) noexcept
        __attribute__((always_inline)) -> bool {
        const int quiet = judge_in_span(judge, range, prev, cur);
        if (quiet <= 0) {
            if (quiet < 0) {
                return false;
            }
            code_ran();
            check_records();
            slots = records.hot(pages);
        }
        return true;
    };

    // Summed left to right, with the archaic ratio before the Katakana one.
    auto checkpoint = [&]() noexcept {
        double sum = SymbolTraits::ratio(&symbol.state);
        sum += AccentTraits::ratio(&accent.state);
        sum += UnprintableTraits::ratio(&unprintable.state);
        sum += DuplicateTraits::ratio(duplicate);
        sum += RangeTraits::ratio(range);
        sum += WeirdTraits::ratio(&weird.state);
        sum += CjkTraits::ratio(&cjk.state);
        sum += ArchaicTraits::ratio(&archaic.state);
        sum += KatakanaTraits::ratio(&katakana.state);
        sum += ArabicTraits::ratio(&arabic.state);
        return sum;
    };
    auto store = [&]() noexcept {
        symbol.store(p.at<SymbolTraits>());
        accent.store(p.at<AccentTraits>());
        unprintable.store(p.at<UnprintableTraits>());
        weird.store(p.at<WeirdTraits>());
        cjk.store(p.at<CjkTraits>());
        katakana.store(p.at<KatakanaTraits>());
        archaic.store(p.at<ArchaicTraits>());
        arabic.store(p.at<ArabicTraits>());
    };

    // Every kGuardStride characters (at a checkpoint): let a pending signal
    // (Ctrl-C) stop the walk, and make sure the counters can take the
    // characters up to the next such point (and the final line feed)
    // without wrapping.
    Py_ssize_t next_guard = kGuardStride;
    auto guard = [&]() noexcept {
        const int signalled = PyErr_CheckSignals();
        code_ran();  // a signal handler is Python code
        if (signalled < 0) {
            return -1;
        }
        const int64_t ahead = kGuardStride + w.interval + 1;
        const bool fit = counters_fit(&symbol.state, ahead) && counters_fit(&accent.state, ahead) &&
                         counters_fit(&unprintable.state, ahead) && counters_fit(duplicate, ahead) &&
                         counters_fit(range, ahead) && counters_fit(&weird.state, ahead) &&
                         counters_fit(&cjk.state, ahead) && counters_fit(&katakana.state, ahead) &&
                         counters_fit(&archaic.state, ahead) && counters_fit(&arabic.state, ahead);
        return fit ? 0 : -1;
    };

    // The word of `cp` when it is known and trusted without asking Python,
    // else 0: its bits::kRunLetter and bits::kRunGlyph say which kind of run
    // of plain letters starts with it.
    auto known_word = [&](Py_UCS4 cp) noexcept {
        uint32_t word = 0;
        if (kAsciiOnly || cp < kAsciiRecords) {
            word = ascii.known_word(cp);
        } else {
            records.trusted(cp, pages, &word);
        }
        return word;
    };

    // Where a span's block chain starts: `block` is set to the block the
    // range plugin holds (nullptr: the chain is broken). False when the
    // plugins hold what only the general path handles: a block that is not
    // an exact str, or a last Latin character (`held`) that is not a record.
    auto chain_start = [&](PyObject*& block, PyObject* held) noexcept -> bool {
        if constexpr (!kAsciiOnly) {
            PyObject* const last = range->_last_printable_range;
            if (range->_has_last_printable) {
                if (last == nullptr || !PyUnicode_CheckExact(last)) {
                    return false;
                }
                block = last;
            } else if (last != Py_None) {
                return false;
            }
            if (held != nullptr && held != Py_None && !Py_IS_TYPE(held, &CharInfoType)) {
                return false;
            }
        }
        return true;
    };

    // What a span of n characters leaves to the block-pair and the
    // duplicate-accent plugins: the block its chain ended in (nullptr: the
    // chain is broken) and, when it met Latin letters, the last of them and
    // whether the accent chain is still open.
    auto settle_chain = [&](int32_t n, PyObject* block, int32_t latins, CharInfoObject* last_latin,
                            bool accent_chain) noexcept {
        bump(range->_character_count, n);
        if (block == nullptr) {
            range->_has_last_printable = 0;
            if (range->_last_printable_range != Py_None) {
                replace_field(range->_last_printable_range, Py_None);  // drops a str
            }
        } else {
            range->_has_last_printable = 1;
            if (range->_last_printable_range != block) {
                replace_field(range->_last_printable_range, block);  // drops a str or None
            }
        }
        if (latins > 0) {
            bump(duplicate->_character_count, latins);
            PyObject* const dropped = duplicate->_last_latin_character;
            if (dropped != reinterpret_cast<PyObject*>(last_latin)) {
                // Freeing the last reference to a record may run code.
                const bool freed = dropped != nullptr && Py_REFCNT(dropped) == 1;
                replace_field(duplicate->_last_latin_character, reinterpret_cast<PyObject*>(last_latin));
                if (freed) [[unlikely]] {
                    code_ran();
                }
            }
            duplicate->_last_was_accentuated = accent_chain ? 1 : 0;
        }
    };

    // A span of letters without case and marks inside words
    // (bits::kRunGlyph) from text[i] on, up to `stop`, together with the
    // blanks (bits::kBlank, and the punctuation that acts as one,
    // bits::kCountedBlank) between its words. Every character of it closes
    // or opens the case run in turn, which the end of the span settles from
    // the count; each blank ends the word and breaks the block chain. The
    // letters of a word are summed and folded into the word plugin at its
    // end; the script plugins' counts are summed in lanes of one word. The
    // span ends (before the character) wherever a character needs more:
    // anything else, a record not known without asking Python, another block
    // than the remembered one, or an accentuated Latin letter after another
    // (its accent-free form is compared). Runs no Python code. Returns the
    // index of the first character not taken. `first_word` is the word of
    // text[i], as known_word() gave it.
    auto glyph_span = [&](Py_ssize_t i, Py_ssize_t stop, uint32_t first_word) noexcept -> Py_ssize_t {
        PyObject* block = nullptr;  // the block of the chain; nullptr: the chain is broken
        PyObject* const held = duplicate->_last_latin_character;
        if (!chain_start(block, held)) {
            return i;
        }
        const Char* const chars = text;  // local copies, as in cased_span
        const uint32_t* const ascii_words = ascii.words();
        CharInfoObject* const* const ascii_records = ascii.records();
        RecordCache::Hot slots = records.hot(pages);
        WeirdTraits::Object& word_state = weird.state;
        bool accent_chain = held != nullptr && held != Py_None && duplicate->_last_was_accentuated != 0;
        CharInfoObject* last_latin = nullptr;
        int32_t latins = 0;
        WordSum sum;
        bool fresh = false;  // the word plugin was clear when the letters of `sum` began
        int32_t all_letters = 0;
        int32_t all_accents = 0;
        uint64_t scripts = 0;  // kScriptLanes summed
        int32_t counted_blanks = 0;
        uint32_t before_last = 0;
        uint32_t last_word = 0;
        auto fold_word = [&]() noexcept {
            fold_letters(word_state, sum);
            all_letters += sum.letters();
            all_accents += sum.accents();
            sum = WordSum{};
        };
        Py_ssize_t j = i;
        for (; j < stop; ++j) {
            const Py_UCS4 cp = chars[j];
            uint32_t word;
            CharInfoObject* info;
            if (kAsciiOnly || cp < kAsciiRecords) {
                word = ascii_words[cp];  // 0 without a table
                if ((word & bits::kRunGlyph) == 0) {
                    goto not_letter;
                }
                info = ascii_records[cp];
            } else {
                info = slots.find(cp, &word);
                if (info == nullptr) {
                    break;
                }
                if ((word & bits::kRunGlyph) == 0) {
                    goto not_letter;
                }
            }
            if constexpr (!kAsciiOnly) {
                PyObject* const cur = info->range;
                if (cur != block) {
                    if (block != nullptr || cur == nullptr || !PyUnicode_CheckExact(cur)) {
                        // Another block after a known one: judged here, unless
                        // the character leaves the span anyway.
                        if (block == nullptr || cur == nullptr || !PyUnicode_CheckExact(cur) ||
                            (((word & (bits::kLatin | bits::kAlpha)) == (bits::kLatin | bits::kAlpha)) &&
                             (word & bits::kAccentuated) && accent_chain)) {
                            break;
                        }
                        if (!judge_change(block, cur, slots)) {
                            return -1;
                        }
                    }
                    block = cur;
                }
                if ((word & (bits::kLatin | bits::kAlpha)) == (bits::kLatin | bits::kAlpha)) {
                    const bool accentuated = (word & bits::kAccentuated) != 0;
                    if (accentuated && accent_chain) {
                        break;
                    }
                    accent_chain = accentuated;
                    last_latin = info;
                    ++latins;
                }
            }
            if (word & bits::kAlpha) {  // marks count for the plugins fed every printable character only
                sum.add(word);
                scripts += kScriptLanes.of[(word >> kScriptShift) & 63];
            }
            before_last = last_word;
            last_word = word;
            continue;
        not_letter:
            if ((word & (bits::kBlank | bits::kCountedBlank)) == 0 || j == i) {
                break;
            }
            // The punctuation plugin counts a punctuation mark unless it
            // repeats the character before it.
            counted_blanks += (word & bits::kCountedBlank) != 0 && cp != chars[j - 1] ? 1 : 0;
            // A blank: the word ends (if one is open) and the chain breaks.
            if (sum.letters() > 0 && fresh) {
                end_fresh_word(word_state, sum);
                all_letters += sum.letters();
                all_accents += sum.accents();
                sum = WordSum{};
            } else {
                if (sum.letters() > 0) {
                    fold_word();
                }
                if (word_state._buffer_length > 0) {
                    WeirdTraits::end_word(&word_state);
                    fresh = true;
                }
            }
            block = nullptr;
            before_last = last_word;
            last_word = word;
        }
        const int32_t n = static_cast<int32_t>(j - i);
        if (n == 0) {
            return i;
        }
        if (sum.letters() > 0) {
            fold_word();
        }
        bump(unprintable.state._character_count, n);
        bump(symbol.state._character_count, n);
        bump(symbol.state._punctuation_count, counted_blanks);
        symbol.state._last_printable_char = chars[j - 1];
        if constexpr (!kAsciiOnly) {
            ArchaicTraits::Object& case_state = archaic.state;
            settle_case_run(case_state, n, first_word, before_last, last_word);
            bump(case_state._character_count, n);
            auto lane = [&](int k) noexcept { return static_cast<int32_t>((scripts >> (8 * k)) & 0xFF); };
            bump(cjk.state._character_count, lane(0));
            bump(cjk.state._uncommon_count, lane(1));
            bump(katakana.state._katakana_count, lane(2));
            bump(katakana.state._halfwidth_katakana_count, lane(3));
            bump(katakana.state._cjk_count, lane(4));
            bump(katakana.state._uncommon_cjk_count, lane(5));
            bump(arabic.state._character_count, lane(6));
            bump(arabic.state._isolated_form_count, lane(7));
            bump(accent.state._character_count, all_letters);
            bump(accent.state._accentuated_count, all_accents);
            settle_chain(n, block, latins, last_latin, accent_chain);
        }
        return j;
    };

    // A span of cased plain letters (bits::kRunLetter) from text[i] on, up to
    // `stop`, together with the blanks (bits::kBlank) that separate its
    // words: each blank ends the word and the case run and breaks the block
    // chain, which is all it does. The letters of a word are summed in
    // registers and folded into the plugins at its end, so a line of plain
    // words costs a few instructions per character. Where the walk feeds
    // every plugin, the span also takes any other printable character that
    // is not a letter (a symbol, a digit, punctuation...), by the word and
    // case plugins' full rules. The span ends (before the character) wherever
    // a character needs more: a letter of another kind, a character that is
    // not printable, a record not known without asking Python, a block it
    // cannot compare without running code, or an accentuated Latin letter
    // after another whose accent-free forms only Python can compare. A change
    // of block calls the judge in place (see judge_change). Returns the index
    // of the first character not taken.
    auto cased_span = [&](Py_ssize_t i, Py_ssize_t stop) noexcept -> Py_ssize_t {
        PyObject* block = nullptr;  // the block of the chain; nullptr: the chain is broken
        PyObject* const held = duplicate->_last_latin_character;
        if (!chain_start(block, held)) {
            return i;
        }
        // Local copies: the compiler cannot keep what it reaches through the
        // captures in registers across the stores to the plugins.
        const Char* const chars = text;
        const uint32_t* const ascii_words = ascii.words();
        CharInfoObject* const* const ascii_records = ascii.records();
        RecordCache::Hot slots = records.hot(pages);
        WeirdTraits::Object& word_state = weird.state;
        ArchaicTraits::Object& case_state = archaic.state;
        // The accent chain: the last Latin letter was accentuated (and there
        // was one).
        bool accent_chain = held != nullptr && held != Py_None && duplicate->_last_was_accentuated != 0;
        CharInfoObject* last_latin = nullptr;
        int32_t latins = 0;
        // An accentuated Latin letter after another leaves the span unless
        // the previous one is the span's own and the two accent-free forms
        // compare without running code.
        auto foreign_pair = [&](const CharInfoObject* info) noexcept {
            if (last_latin == nullptr) {
                return true;
            }
            PyObject* const mine = field_or_none(info->unaccented);
            PyObject* const theirs = field_or_none(last_latin->unaccented);
            return mine != theirs && !(PyUnicode_CheckExact(mine) && PyUnicode_CheckExact(theirs));
        };
        // The case plugin's state as kCaseFlips reads it, with no pairs
        // counted yet.
        auto case_run_of = [&]() noexcept {
            return (case_state._last_alpha_seen_lower ? 4u : 0u) | (case_state._last_alpha_seen_upper ? 8u : 0u) |
                   (case_state._buf ? 16u : 0u) | (case_state._character_count_since_last_sep > 0 ? 32u : 0u);
        };
        uint32_t case_run = case_run_of();  // and the pairs of flips the letters of `sum` completed
        auto flip_pairs = [&]() noexcept { return static_cast<int32_t>(case_run >> 8); };
        // Counts the span adds to the plugins at its end, in lanes of one
        // word (a span is at most 128 characters long): letters and
        // accentuated letters (the accent plugin), symbols and punctuation
        // marks (the punctuation plugin), and the weight of pairs of
        // accentuated letters (the duplicate-accent plugin).
        Tallies tallies;
        // Blanks taken right after a letter: plain ones and, where the walk
        // feeds every plugin, punctuation that acts as one.
        constexpr uint32_t blanks = kAsciiOnly ? bits::kBlank : bits::kBlank | bits::kCountedBlank;
        // What else the span takes, by the word and case plugins' full
        // rules: any printable character that is not a letter (a blank, a
        // symbol, a digit, a sentence opener...), except ESC, which the
        // unprintable plugin flags. Every plugin that counts such a
        // character sees it either here or in the tallies the span's end
        // hands over.
        auto separates = [](uint32_t word) noexcept {
            return (word & (bits::kPrintable | bits::kAlpha | bits::kEscape)) == bits::kPrintable;
        };
        WordSum sum;
        bool fresh = false;  // the word and case plugins were clear when the letters of `sum` began
        // The letters since the last blank go to the word and case plugins.
        auto fold_word = [&]() noexcept __attribute__((always_inline)) {
            fold_letters(word_state, sum);
            tallies.add_letters(sum);
            if constexpr (!kAsciiOnly) {
                if (sum.seen & bits::kNonAscii) {
                    case_state._current_ascii_only = 0;
                }
                bump(case_state._successive_upper_lower_count, 2 * flip_pairs());
                case_state._buf = (case_run >> 4) & 1;
                bump(case_state._character_count_since_last_sep, sum.letters());
                case_state._last_alpha_seen_lower = (case_run >> 2) & 1;
                case_state._last_alpha_seen_upper = (case_run >> 3) & 1;
                case_run &= 0x3F;
            }
            sum = WordSum{};
        };
        Py_ssize_t j = i;
        for (; j < stop; ++j) {
            const Py_UCS4 cp = chars[j];
            uint32_t word;
            CharInfoObject* info;
            if (kAsciiOnly || cp < kAsciiRecords) {
                word = ascii_words[cp];  // 0 without a table
                if ((word & bits::kRunLetter) == 0) {
                    if ((word & blanks) != 0 && sum.letters() != 0) {
                        goto blank;
                    }
                    if (kAsciiOnly || !separates(word)) {
                        break;
                    }
                    info = ascii_records[cp];
                    goto separator;
                }
                info = ascii_records[cp];
            } else {
                info = slots.find(cp, &word);
                if (info == nullptr) {
                    break;
                }
                if ((word & bits::kRunLetter) == 0) {
                    if ((word & blanks) != 0 && sum.letters() != 0) {
                        goto blank;
                    }
                    if (!separates(word)) {
                        break;
                    }
                    goto separator;
                }
            }
            if constexpr (!kAsciiOnly) {
                PyObject* const cur = info->range;
                if (cur != block) {
                    if (block != nullptr || cur == nullptr || !PyUnicode_CheckExact(cur)) {
                        // Another block after a known one: judged here, unless
                        // the character leaves the span anyway.
                        if (block == nullptr || cur == nullptr || !PyUnicode_CheckExact(cur) ||
                            ((word & bits::kLatin) && (word & bits::kAccentuated) && accent_chain &&
                             foreign_pair(info))) {
                            break;
                        }
                        if (!judge_change(block, cur, slots)) {
                            return -1;
                        }
                    }
                    block = cur;
                }
                if (word & bits::kLatin) {
                    const bool accentuated = (word & bits::kAccentuated) != 0;
                    if (accentuated && accent_chain) {
                        if (foreign_pair(info)) {
                            break;
                        }
                        // Weighed as the plugin does: both upper case, and
                        // the same letter under its accents.
                        PyObject* const mine = field_or_none(info->unaccented);
                        PyObject* const theirs = field_or_none(last_latin->unaccented);
                        tallies.add(Tallies::kDuplicate, (info->upper && last_latin->upper ? 1 : 0) +
                                                             (mine == theirs || same_text(mine, theirs) ? 1 : 0));
                    }
                    accent_chain = accentuated;
                    last_latin = info;
                    ++latins;
                }
                case_run = (case_run & ~0x3Fu) + kCaseFlips.next[(case_run & 0x3C) | (word & 3)];
            }
            sum.add(word);
            continue;
        separator:
            if constexpr (!kAsciiOnly) {
                // A character that is not a letter (other than a blank
                // right after one): the block chain goes on (a symbol, a
                // digit) or breaks (a blank, punctuation), and the word and
                // case plugins take it by their full rules, after the
                // letters before it.
                if ((word & bits::kChainBreak) == 0) {
                    PyObject* const cur = info->range;
                    if (cur != block) {
                        if (block != nullptr || cur == nullptr || !PyUnicode_CheckExact(cur)) {
                            if (block == nullptr || cur == nullptr || !PyUnicode_CheckExact(cur)) {
                                break;
                            }
                            if (!judge_change(block, cur, slots)) {
                                return -1;
                            }
                        }
                        block = cur;
                    }
                } else {
                    block = nullptr;
                }
                if (sum.letters() > 0) {
                    fold_word();
                }
                // It ends or marks the open word, or leaves it be (a digit,
                // a joiner). Sentence openers and superscripts, rarer, take
                // the plugin's own step.
                if (const uint32_t marks =
                        word & (bits::kOpensSentence | bits::kSuperscript | bits::kEndsWord | bits::kSymbolInWord);
                    marks != 0 && word_state._buffer_length > 0) {
                    if (marks & (bits::kOpensSentence | bits::kSuperscript)) [[unlikely]] {
                        WeirdTraits::feed_bits(&word_state, word);
                    } else if (marks & bits::kEndsWord) {
                        WeirdTraits::end_word(&word_state);
                    } else {  // a symbol inside the word marks it
                        word_state._is_current_word_bad = 1;
                        bump(word_state._buffer_length);
                        word_state._buffer_last_char_upper = 0;
                        word_state._buffer_last_char_accentuated = 0;
                    }
                }
                // It closes the open case run, or opens one of its own.
                if (case_state._character_count_since_last_sep > 0) {
                    ArchaicTraits::end_run(&case_state, word);
                } else {
                    if (word & bits::kNonAscii) {
                        case_state._current_ascii_only = 0;
                    }
                    case_state._character_count_since_last_sep = 1;
                    case_state._last_alpha_seen_upper = bits::bit(word, bits::kUpper);
                    case_state._last_alpha_seen_lower = bits::bit(word, bits::kLower);
                }
                case_run = case_run_of();
                fresh = false;
                if (cp != (j > i ? chars[j - 1] : symbol.state._last_printable_char)) {
                    tallies.add(Tallies::kSymbols, bits::bit(word, bits::kCountedSymbol));
                    tallies.add(Tallies::kPuncts, bits::bit(word, bits::kCountedPunct));
                }
            }
            continue;
        blank:
            // A blank after a letter: the word ends, and so do the case run
            // and the block chain.
            if constexpr (!kAsciiOnly) {
                if ((word & bits::kCountedBlank) && cp != chars[j - 1]) {
                    tallies.add(Tallies::kPuncts, 1);
                }
            }
            if (fresh) {
                // The case run is the word itself, opened by its first letter.
                end_fresh_word(word_state, sum);
                tallies.add_letters(sum);
                if constexpr (!kAsciiOnly) {
                    if (sum.letters() <= ArchaicTraits::kLongestRun && (sum.seen & bits::kNonAscii)) {
                        bump(case_state._successive_upper_lower_count_final, 2 * flip_pairs());
                    }
                }
                sum = WordSum{};
            } else {
                fold_word();
                WeirdTraits::end_word(&word_state);
                if constexpr (!kAsciiOnly) {
                    ArchaicTraits::end_run(&case_state, word);  // a blank: no digit
                }
                fresh = true;
            }
            if constexpr (!kAsciiOnly) {
                case_run &= 0xC;  // closed, nothing pending; the last case stays
                block = nullptr;
            }
        }
        const int32_t n = static_cast<int32_t>(j - i);
        if (n == 0) {
            return i;
        }
        if (sum.letters() > 0) {
            fold_word();
        }
        bump(unprintable.state._character_count, n);
        bump(symbol.state._character_count, n);
        symbol.state._last_printable_char = chars[j - 1];
        if constexpr (!kAsciiOnly) {
            bump(symbol.state._symbol_count, 2 * tallies.get(Tallies::kSymbols));
            bump(symbol.state._punctuation_count, tallies.get(Tallies::kPuncts));
            bump(case_state._character_count, n);  // every character
            bump(duplicate->_successive_count, tallies.get(Tallies::kDuplicate));
            case_state._last_alpha_seen_lower = (case_run >> 2) & 1;
            case_state._last_alpha_seen_upper = (case_run >> 3) & 1;
            bump(accent.state._character_count, tallies.get(Tallies::kLetters));
            bump(accent.state._accentuated_count, tallies.get(Tallies::kAccents));
            settle_chain(n, block, latins, last_latin, accent_chain);
        }
        return j;
    };

    for (Py_ssize_t start = 0; start < length; start += w.interval) {
        const Py_ssize_t stop = std::min(length, start + w.interval);
        for (Py_ssize_t i = start; i < stop; ++i) {
            check_records();
            // Runs of plain letters run no Python code.
            if (const uint32_t first = known_word(text[i]); (first & (bits::kRunLetter | bits::kRunGlyph)) != 0) {
                i = first & bits::kRunLetter ? cased_span(i, stop) : glyph_span(i, stop, first);
                if (i < 0) [[unlikely]] {
                    return -1;
                }
                if (i >= stop) {
                    break;
                }
            }
            const Py_UCS4 cp = text[i];
            CharInfoObject* info;  // kept alive by the ASCII table or the record cache
            uint32_t word;
            if (kAsciiOnly || cp < kAsciiRecords) [[likely]] {
                word = ascii.word(cp);
                if (word == 0) [[unlikely]] {
                    return -1;
                }
                info = ascii.record(cp);
            } else {
                info = records.get(cp, pages, &word);
                if (info == nullptr) [[unlikely]] {
                    return -1;
                }
            }
            UnprintableTraits::feed_bits(&unprintable.state, word);
            WeirdTraits::feed_bits(&weird.state, word);
            if constexpr (kAsciiOnly) {
                if (word & bits::kPrintable) {
                    SymbolTraits::feed_bits(&symbol.state, cp, word);
                }
            } else {
                ArchaicTraits::feed_bits(&archaic.state, word);
                if (word & bits::kPrintable) {
                    SymbolTraits::feed_bits(&symbol.state, cp, word);
                    PyObject* block = field_or_none(info->range);
                    if (!RangeTraits::feed_quick(range, (word & bits::kChainBreak) != 0, block)) [[unlikely]] {
                        // Comparing or judging the blocks may run Python code;
                        // a memo hit of the installed judge runs none.
                        const uint64_t quiet_calls = judge.quiet_calls();
                        const uint64_t entries = judge_entries;
                        bool ok = RangeTraits::feed_bits(range, word, block, judge) >= 0;
                        if (!ok || judge.quiet_calls() == quiet_calls || judge_entries != entries) {
                            code_ran();
                        }
                        if (!ok) {
                            return -1;
                        }
                    }
                }
                if (word & bits::kAlpha) {
                    AccentTraits::feed_bits(&accent.state, word);
                    if (word & bits::kLatin) {
                        const bool foreign = compares_foreign_bases(duplicate, word, info);
                        bool ok = DuplicateTraits::feed_bits(duplicate, word, info) >= 0;
                        if (foreign) [[unlikely]] {
                            code_ran();
                        }
                        if (!ok) {
                            return -1;
                        }
                    }
                    if (word & bits::kOtherScript) {
                        if (word & bits::kCjk) {
                            CjkTraits::feed_bits(&cjk.state, word);
                        }
                        if (word & (bits::kCjk | bits::kKatakana)) {
                            KatakanaTraits::feed_bits(&katakana.state, word);
                        }
                        if (word & bits::kArabic) {
                            ArabicTraits::feed_bits(&arabic.state, word);
                        }
                    }
                }
            }
        }
        w.mean = checkpoint();
        if (w.mean >= w.maximum_threshold) {
            store();
            return 0;
        }
        if (stop >= next_guard) [[unlikely]] {
            next_guard = stop + kGuardStride;
            if (guard() < 0) {
                return -1;
            }
        }
    }

    // End of text: a line feed closes the last word and the last case run.
    check_records();
    const uint32_t line_feed = ascii.word(kLineFeed);
    if (line_feed == 0) {
        return -1;
    }
    WeirdTraits::feed_bits(&weird.state, line_feed);
    if constexpr (!kAsciiOnly) {
        ArchaicTraits::feed_bits(&archaic.state, line_feed);
    }
    UnprintableTraits::feed_bits(&unprintable.state, line_feed);
    w.mean = checkpoint();
    store();
    return 0;
}

// ---------------------------------------------------------------------------

double run(PyObject* text, double maximum_threshold, bool debug) noexcept {
    if (text == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return -1.0;
    }
    if (!PyUnicode_Check(text)) {
        raise_arg_type("decoded_sequence", "str", text);
        return -1.0;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const bool ascii_only = PyUnicode_IS_ASCII(text);
    AsciiTable ascii;
    if (ascii.load() < 0) {
        return -1.0;
    }
    Plugins plugins;
    if (plugins.create() < 0) {
        return -1.0;
    }
    Walk w{&ascii, &plugins, length < 511 ? 32 : length < 1024 ? 64 : 128, maximum_threshold};
    const void* data = PyUnicode_DATA(text);
    int status;
    if (ascii_only) {
        status = walk<Py_UCS1, true>(w, static_cast<const Py_UCS1*>(data), length);
    } else {
        switch (PyUnicode_KIND(text)) {
            case PyUnicode_1BYTE_KIND:
                status = walk<Py_UCS1, false>(w, static_cast<const Py_UCS1*>(data), length);
                break;
            case PyUnicode_2BYTE_KIND:
                status = walk<Py_UCS2, false>(w, static_cast<const Py_UCS2*>(data), length);
                break;
            default:
                status = walk<Py_UCS4, false>(w, static_cast<const Py_UCS4*>(data), length);
                break;
        }
    }
    if (status < 0 && !PyErr_Occurred()) [[unlikely]] {
        // Never let a failure pass for the result -1.0.
        PyErr_SetString(PyExc_SystemError, "mess_ratio walk failed without setting an exception");
    }
    if (status < 0 || (debug && trace_mess_ratio(text, w.interval, w.mean, w.maximum_threshold, plugins.objects,
                                                 Plugins::kCount) < 0)) {
        return -1.0;
    }
    double result;
    return round_digits(g.builtin_round, w.mean, 3, &result) < 0 ? -1.0 : result;
}

PyObject* py_mess_ratio(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"decoded_sequence", "maximum_threshold", "debug"};
    static const ArgSpec spec{"mess_ratio", names, 1, 3};
    PyObject* a[3] = {nullptr, nullptr, nullptr};
    if (parse_args(spec, args, nargs, kwnames, a) < 0 ||
        !check_exact_or_none(a[0], &PyUnicode_Type, "decoded_sequence")) {
        VX_TRACEBACK(kWhere);
        return nullptr;
    }
    MessRatioOptionalArgs optional{2, 0.2, 0};
    if (a[1] != nullptr) {
        optional.maximum_threshold = PyFloat_CheckExact(a[1]) ? PyFloat_AS_DOUBLE(a[1]) : PyFloat_AsDouble(a[1]);
        if (optional.maximum_threshold == -1.0 && PyErr_Occurred()) {
            VX_TRACEBACK(kWhere);
            return nullptr;
        }
    }
    if (a[2] != nullptr) {
        optional.debug = PyObject_IsTrue(a[2]);
        if (optional.debug < 0) {
            VX_TRACEBACK(kWhere);
            return nullptr;
        }
    }
    double result = mess_ratio_native(a[0], 1, &optional);
    if (result == -1.0 && PyErr_Occurred()) {
        VX_TRACEBACK(kWhere);
        return nullptr;
    }
    return PyFloat_FromDouble(result);
}

}  // namespace

double mess_ratio_native(PyObject* decoded_sequence, int, MessRatioOptionalArgs* optional) noexcept {
    double maximum_threshold = 0.2;
    bool debug = false;
    if (optional != nullptr && optional->count >= 1) {
        maximum_threshold = optional->maximum_threshold;
        if (optional->count >= 2) {
            debug = optional->debug != 0;
        }
    }
    double result;
    if (decoded_sequence == nullptr) {
        PyErr_BadInternalCall();
        result = -1.0;
    } else {
        result = run(decoded_sequence, maximum_threshold, debug);
    }
    if (result == -1.0 && PyErr_Occurred()) {
        VX_TRACEBACK(kWhere);
    }
    return result;
}

int define_mess_ratio_function(PyObject* module) noexcept {
    static const FunctionDef def{"mess_ratio", py_mess_ratio,
                                 "Compute the mess ratio for a decoded string, with checkpoint early stop.",
                                 "(decoded_sequence, maximum_threshold=0.2, debug=False)"};
    if (watch_namespace(g.dict) < 0) {
        return -1;
    }
    Ref defaults = Ref::steal(PyTuple_Pack(2, g.float_default_threshold, Py_False));
    Ref fn = Ref::steal(defaults ? new_function(def, kModuleName, defaults.get()) : nullptr);
    return fn ? PyModule_AddObjectRef(module, "mess_ratio", fn.get()) : -1;
}

}  // namespace vx::murkel
