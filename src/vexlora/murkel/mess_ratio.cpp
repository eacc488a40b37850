// mess_ratio: walks a decoded string once, feeds every character's record to
// the ten detector plugins, sums their ratios at checkpoints and stops early
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

#include "murkel/record_bits.h"
#include "murkel/registry.h"
#include "murkel/state.h"
#include "murkel/plugin_too_many_symbol_or_punctuation.h"
#include "murkel/plugin_too_many_accentuated.h"
#include "murkel/plugin_unprintable.h"
#include "murkel/plugin_suspicious_duplicate_accent.h"
#include "murkel/plugin_suspicious_range.h"
#include "murkel/plugin_super_weird_word.h"
#include "murkel/plugin_cjk_uncommon.h"
#include "murkel/plugin_suspicious_katakana.h"
#include "murkel/plugin_archaic_upper_lower.h"
#include "murkel/plugin_arabic_isolated_form.h"
#include "shared/args.h"
#include "shared/errors.h"
#include "shared/function.h"
#include "shared/pyref.h"

namespace vx::murkel {

namespace {

constexpr const char kWhere[] = "vexlora.murkel.mess_ratio";
constexpr Py_ssize_t kAsciiRecords = 128;
constexpr Py_ssize_t kPageSize = 256;
constexpr Py_UCS4 kLineFeed = 10;

// ---------------------------------------------------------------------------
// Watching the module namespace.
//
// The page table is looked up by name for every record. Looking it up per
// character would cost more than the rest of the walk, so the walk keeps the
// list it found and looks again only after the namespace has changed. A
// dictionary watcher bumps this counter on every change of the namespace;
// without a watcher (all slots taken) the walk looks again after every step
// that may have run Python code.

int namespace_watcher = -1;
uint64_t namespace_epoch = 0;

int on_namespace_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++namespace_epoch;
    return 0;
}

int watch_namespace(PyObject* dict) noexcept {
    if (namespace_watcher < 0) {
        namespace_watcher = PyDict_AddWatcher(on_namespace_change);
        if (namespace_watcher < 0) {
            // No free watcher slot: fall back to looking up the table again.
            PyErr_Clear();
            return 0;
        }
    }
    return PyDict_Watch(namespace_watcher, dict);
}

// ---------------------------------------------------------------------------
// The ASCII records, taken once per call from _ASCII_CHAR_INFO.
//
// The table is copied (with strong references) so that Python code running
// during the walk cannot shrink it or free a record under us. A list that is
// too short or holds other objects is refused up front; None is accepted here
// and fails at the first character that needs it, as indexing None would.

class AsciiTable {
public:
    AsciiTable() = default;
    AsciiTable(const AsciiTable&) = delete;
    AsciiTable& operator=(const AsciiTable&) = delete;
    ~AsciiTable() {
        if (present_) {
            for (CharInfoObject* info : records_) {
                Py_DECREF(info);
            }
        }
    }

    int load() noexcept {
        Ref table = Ref::steal(get_global(g.names.n__ASCII_CHAR_INFO));
        if (!table) {
            return -1;
        }
        if (table.get() == Py_None) {
            return 0;
        }
        if (!PyList_CheckExact(table.get())) {
            raise_expected("list", table.get());
            return -1;
        }
        Py_ssize_t size = PyList_GET_SIZE(table.get());
        if (size < kAsciiRecords) {
            PyErr_Format(PyExc_ValueError, "_ASCII_CHAR_INFO must hold %zd CharInfo records, got a list of %zd",
                         kAsciiRecords, size);
            return -1;
        }
        PyObject** items = PySequence_Fast_ITEMS(table.get());
        for (Py_ssize_t i = 0; i < kAsciiRecords; ++i) {
            if (!is_char_info(items[i])) {
                PyErr_Format(PyExc_TypeError, "_ASCII_CHAR_INFO[%zd] must be a CharInfo, got %.200s", i,
                             Py_TYPE(items[i])->tp_name);
                return -1;
            }
        }
        for (Py_ssize_t i = 0; i < kAsciiRecords; ++i) {
            records_[i] = reinterpret_cast<CharInfoObject*>(Py_NewRef(items[i]));
        }
        present_ = true;
        return 0;
    }

    // Borrowed record of an ASCII code point, or nullptr with TypeError.
    CharInfoObject* get(Py_UCS4 cp) const noexcept {
        if (!present_) [[unlikely]] {
            PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
            return nullptr;
        }
        return records_[cp];
    }

    // The record bits of an ASCII code point (its record is then records_[cp]),
    // or 0 with TypeError. Words are computed on first use.
    uint32_t word(Py_UCS4 cp) noexcept {
        uint32_t word = words_[cp];
        if (word == 0) [[unlikely]] {
            CharInfoObject* info = get(cp);
            if (info == nullptr) {
                return 0;
            }
            word = words_[cp] = bits::of(cp, info);
        }
        return word;
    }

    CharInfoObject* record(Py_UCS4 cp) const noexcept { return records_[cp]; }

    void forget_words() noexcept { std::memset(words_, 0, sizeof words_); }

private:
    CharInfoObject* records_[kAsciiRecords];
    uint32_t words_[kAsciiRecords] = {};
    bool present_ = false;
};

// ---------------------------------------------------------------------------
// Reading records of other code points from the page cache.
//
// A hit reads the page table as the cache itself would (two list indexings)
// and runs no Python code; anything unexpected (a missing page, an empty
// slot, a foreign object) is left to char_info_from_codepoint, which builds
// the record or raises.

class PageReader {
public:
    // What the page table holds for `cp` (borrowed and not checked), or
    // nullptr when the table or the page is missing or not of the expected
    // shape. Runs no Python code.
    PyObject* peek(Py_UCS4 cp) noexcept {
        if (stale_ || epoch_ != namespace_epoch) [[unlikely]] {
            refresh();
        }
        PyObject* table = table_.get();
        if (table == nullptr) [[unlikely]] {
            return nullptr;
        }
        Py_ssize_t index = static_cast<Py_ssize_t>(cp >> 8);
        if (index >= PyList_GET_SIZE(table)) {
            return nullptr;
        }
        PyObject* page = PyList_GET_ITEM(table, index);
        if (!PyList_CheckExact(page) || PyList_GET_SIZE(page) != kPageSize) {
            return nullptr;
        }
        return PyList_GET_ITEM(page, static_cast<Py_ssize_t>(cp & 0xFF));
    }

    // A new reference to the record of `cp` found by peek(), or nullptr.
    static CharInfoObject* checked(PyObject* found) noexcept {
        if (found != nullptr && (Py_IS_TYPE(found, &CharInfoType) || (found != Py_None && is_char_info(found)))) {
            return reinterpret_cast<CharInfoObject*>(Py_NewRef(found));
        }
        return nullptr;
    }

    // The record of a code point peek() had no record for: built (running
    // the host's Python code), or whatever the full lookup raises. A new
    // reference, or nullptr with an exception.
    CharInfoObject* build(Py_UCS4 cp) noexcept {
        CharInfoObject* info = char_info_from_codepoint(cp);
        code_ran();
        return info;
    }

    // Python code may have run and rebound the table. With a watcher the
    // epoch says so; without one, look again before the next record.
    void code_ran() noexcept {
        if (namespace_watcher < 0) {
            stale_ = true;
        }
    }

private:
    void refresh() noexcept {
        stale_ = false;
        epoch_ = namespace_epoch;
        // Only a list bound in the module namespace itself is kept; anything
        // else (a builtins fallback, a foreign object) goes the slow way,
        // which looks the name up in full and raises what it must.
        PyObject* table = PyDict_GetItemWithError(g.dict, g.names.n__CHAR_INFO_PAGES);
        if (table == nullptr) {
            PyErr_Clear();
        }
        table_.reset(table != nullptr && PyList_CheckExact(table) ? Py_NewRef(table) : nullptr);
    }

    Ref table_;
    uint64_t epoch_ = 0;
    bool stale_ = true;
};

// ---------------------------------------------------------------------------
// Records of other code points seen during the call, with their bits.
//
// A direct-mapped table indexed by code point. A slot holds a strong
// reference to the record the page cache gave for its code point and the
// record's bits. While no Python code has run since the slot was filled, the
// page table still holds that record (only Python code or a record build
// changes it), so the slot answers without reading the table. Every step of
// the walk that may run Python code calls distrust(); slots filled before it
// are then read again from the page table, and their bits are kept only if
// the same record comes back and no record has been written since.
//
// The cache never drops the last reference to a record during the walk:
// such records wait in a list until the walk ends, so no finalizer runs
// behind the walk's back and no address is reused while a slot may compare
// against it.

class RecordCache {
public:
    RecordCache() = default;
    RecordCache(const RecordCache&) = delete;
    RecordCache& operator=(const RecordCache&) = delete;
    ~RecordCache() {
        if (slots_ != nullptr) {
            for (size_t i = 0; i <= mask_; ++i) {
                Py_XDECREF(slots_[i].info);
            }
            PyMem_Free(slots_);
        }
    }

    // Room for a text of `length` characters: CJK texts use thousands of
    // distinct code points, short texts need few slots.
    int allocate(Py_ssize_t length) noexcept {
        mask_ = kMinSlots - 1;
        while (mask_ + 1 < kMaxSlots && static_cast<Py_ssize_t>(mask_ + 1) < length) {
            mask_ = mask_ * 2 + 1;
        }
        slots_ = static_cast<Slot*>(PyMem_Calloc(mask_ + 1, sizeof(Slot)));
        retired_ = Ref::steal(PyList_New(0));
        if (slots_ == nullptr || !retired_) {
            PyErr_NoMemory();
            return -1;
        }
        return 0;
    }

    // Python code may have run: no slot filled so far is trusted any more.
    void distrust() noexcept { ++epoch_; }

    // The record of `cp` (borrowed: the cache keeps it alive until the walk
    // ends) and its bits in `*word`; nullptr with an exception on failure.
    CharInfoObject* get(Py_UCS4 cp, PageReader& pages, uint32_t* word) noexcept {
        Slot& slot = slots_[cp & mask_];
        if (slot.cp == cp && slot.epoch == epoch_ && slot.info != nullptr) [[likely]] {
            *word = slot.word;
            return slot.info;
        }
        return fill(slot, cp, pages, word);
    }

private:
    static constexpr size_t kMinSlots = 64;
    static constexpr size_t kMaxSlots = 4096;
    struct Slot {
        CharInfoObject* info;  // strong
        Py_UCS4 cp;
        uint32_t word;
        uint64_t epoch;   // epoch_ when the record was read from the page table
        uint64_t writes;  // g.record_writes when the word was computed
    };

    CharInfoObject* fill(Slot& slot, Py_UCS4 cp, PageReader& pages, uint32_t* word) noexcept {
        PyObject* found = pages.peek(cp);
        if (found == reinterpret_cast<PyObject*>(slot.info) && found != nullptr && slot.cp == cp) {
            // Still the record we hold: trust it again without touching it,
            // unless records have been written since its word was computed.
            slot.epoch = epoch_;
            if (slot.writes != g.record_writes) [[unlikely]] {
                slot.word = bits::of(cp, slot.info);
                slot.writes = g.record_writes;
            }
            *word = slot.word;
            return slot.info;
        }
        CharInfoObject* info = PageReader::checked(found);
        if (info == nullptr) {
            info = pages.build(cp);
            if (info == nullptr) {
                return nullptr;
            }
            distrust();
        }
        const bool same = slot.info == info && slot.cp == cp && slot.writes == g.record_writes;
        if (slot.info != nullptr && release(slot.info) < 0) {
            Py_DECREF(info);
            return nullptr;
        }
        slot.info = info;
        slot.cp = cp;
        slot.epoch = epoch_;
        if (!same) {
            slot.word = bits::of(cp, info);
            slot.writes = g.record_writes;
        }
        *word = slot.word;
        return info;
    }

    // Drop our reference, or keep it until the walk ends if it is the last.
    int release(CharInfoObject* info) noexcept {
        PyObject* op = reinterpret_cast<PyObject*>(info);
        if (Py_REFCNT(op) > 1) {
            Py_DECREF(op);
            return 0;
        }
        int rc = PyList_Append(retired_.get(), op);
        Py_DECREF(op);
        return rc;
    }

    Slot* slots_ = nullptr;
    size_t mask_ = 0;
    uint64_t epoch_ = 1;  // slots start at epoch 0, never trusted
    Ref retired_;
};

// ---------------------------------------------------------------------------
// The pair judge, as SuspiciousRange calls it from the walk.
//
// The global is_suspiciously_successive_range is looked up by name at each
// block change. While the namespace is unchanged (the watcher's epoch), the
// name still resolves to the object found last time, so that object is kept
// and the dictionary lookup skipped; the call itself goes through whatever
// is bound, as every caller's would.
//
// The memoizing wrapper takes its arguments as a tuple (and uses that tuple
// as its key), so a call through it would build and free one tuple per
// block change. The walk keeps one argument tuple and refills it in place
// whenever nobody else holds it, which is the case after every memo hit;
// after a miss the memo keeps it as a key and a new one is made.

class Judge {
public:
    Judge() = default;
    Judge(const Judge&) = delete;
    Judge& operator=(const Judge&) = delete;

    int operator()(PyObject* prev, PyObject* cur) noexcept {
        PyObject* func = resolve();
        if (func == nullptr) {
            return -1;
        }
        Ref held = Ref::borrow(func);  // the call may rebind the global
        Ref result;
        if (PyVectorcall_Function(func) != nullptr) {
            PyObject* args[] = {prev, cur};
            result = Ref::steal(PyObject_Vectorcall(func, args, 2, nullptr));
        } else {
            PyObject* args = arguments(prev, cur);
            if (args == nullptr) {
                return -1;
            }
            result = Ref::steal(PyObject_Call(func, args, nullptr));
        }
        if (!result) {
            return -1;
        }
        if (result.get() == Py_True) {
            return 1;
        }
        if (result.get() == Py_False) {
            return 0;
        }
        return PyObject_IsTrue(result.get());
    }

private:
    // The tuple (prev, cur), borrowed from args_.
    PyObject* arguments(PyObject* prev, PyObject* cur) noexcept {
        PyObject* args = args_.get();
        if (args == nullptr || Py_REFCNT(args) != 1) {
            args_ = Ref::steal(PyTuple_Pack(2, prev, cur));
            return args_.get();
        }
        // Ours alone: no dictionary holds it, so refilling it is invisible.
        Py_SETREF(PyTuple_GET_ITEM(args, 0), Py_NewRef(prev));
        Py_SETREF(PyTuple_GET_ITEM(args, 1), Py_NewRef(cur));
        if (!PyObject_GC_IsTracked(args)) {
            PyObject_GC_Track(args);  // the collector may have untracked it as atomic
        }
        return args;
    }

    // Borrowed; kept alive by func_.
    PyObject* resolve() noexcept {
        if (func_ && namespace_watcher >= 0 && epoch_ == namespace_epoch) [[likely]] {
            return func_.get();
        }
        func_.reset();
        PyObject* found = PyDict_GetItemWithError(g.dict, g.names.n_is_suspiciously_successive_range);
        if (found != nullptr) {
            func_.reset(Py_NewRef(found));
            epoch_ = namespace_epoch;
            return found;
        }
        if (PyErr_Occurred()) {
            return nullptr;
        }
        // Not in the namespace: the builtins fallback, looked up every time.
        fallback_ = Ref::steal(get_global(g.names.n_is_suspiciously_successive_range));
        return fallback_.get();
    }

    Ref func_;
    Ref fallback_;
    Ref args_;
    uint64_t epoch_ = 0;
};

// ---------------------------------------------------------------------------
// The ten plugins of one call.

using SymbolTraits = TooManySymbolOrPunctuationTraits;
using AccentTraits = TooManyAccentuatedTraits;
using DuplicateTraits = SuspiciousDuplicateAccentTraits;
using RangeTraits = SuspiciousRangeTraits;
using WeirdTraits = SuperWeirdWordTraits;
using CjkTraits = CjkUncommonTraits;
using KatakanaTraits = SuspiciousKatakanaTraits;
using ArchaicTraits = ArchaicUpperLowerTraits;
using ArabicTraits = ArabicIsolatedFormTraits;

struct Plugins {
    // In creation order, which is also the order of the debug records.
    static constexpr int kCount = 10;
    Ref objects[kCount];

    int create() noexcept {
        static PyTypeObject* const types[kCount] = {
            &TooManySymbolOrPunctuationPluginType, &TooManyAccentuatedPluginType,  &UnprintablePluginType,
            &SuspiciousDuplicateAccentPluginType,  &SuspiciousRangeType,           &SuperWeirdWordPluginType,
            &CjkUncommonPluginType,                &SuspiciousKatakanaPluginType, &ArchaicUpperLowerPluginType,
            &ArabicIsolatedFormPluginType,
        };
        for (int i = 0; i < kCount; ++i) {
            objects[i] = Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(types[i])));
            if (!objects[i]) {
                return -1;
            }
            if (!Py_IS_TYPE(objects[i].get(), types[i])) {
                PyErr_Format(PyExc_TypeError, "%.200s() returned %.200s", types[i]->tp_name,
                             Py_TYPE(objects[i].get())->tp_name);
                return -1;
            }
        }
        return 0;
    }

    template <class Traits>
    typename Traits::Object* at(int i) const noexcept {
        return objects[i].as<typename Traits::Object>();
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
    Local<SymbolTraits> symbol(p.at<SymbolTraits>(0));
    Local<AccentTraits> accent(p.at<AccentTraits>(1));
    Local<UnprintableTraits> unprintable(p.at<UnprintableTraits>(2));
    DuplicateTraits::Object* duplicate = p.at<DuplicateTraits>(3);
    RangeTraits::Object* range = p.at<RangeTraits>(4);
    Local<WeirdTraits> weird(p.at<WeirdTraits>(5));
    Local<CjkTraits> cjk(p.at<CjkTraits>(6));
    Local<KatakanaTraits> katakana(p.at<KatakanaTraits>(7));
    Local<ArchaicTraits> archaic(p.at<ArchaicTraits>(8));
    Local<ArabicTraits> arabic(p.at<ArabicTraits>(9));
    PageReader pages;
    Judge judge;
    RecordCache records;
    if constexpr (!kAsciiOnly) {
        if (records.allocate(length) < 0) {
            return -1;
        }
    }
    uint64_t writes_seen = g.record_writes;
    // Python code run by a plugin or a record build may have created or
    // rewritten records: drop the words derived from them.
    auto check_records = [&]() noexcept {
        if (writes_seen != g.record_writes) [[unlikely]] {
            ascii.forget_words();
            writes_seen = g.record_writes;
        }
    };

    // Python code may have run: the namespace and the page table may have
    // changed, and records may have been rewritten.
    auto code_ran = [&]() noexcept {
        pages.code_ran();
        if constexpr (!kAsciiOnly) {
            records.distrust();
        }
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
        symbol.store(p.at<SymbolTraits>(0));
        accent.store(p.at<AccentTraits>(1));
        unprintable.store(p.at<UnprintableTraits>(2));
        weird.store(p.at<WeirdTraits>(5));
        cjk.store(p.at<CjkTraits>(6));
        katakana.store(p.at<KatakanaTraits>(7));
        archaic.store(p.at<ArchaicTraits>(8));
        arabic.store(p.at<ArabicTraits>(9));
    };

    for (Py_ssize_t start = 0; start < length; start += w.interval) {
        const Py_ssize_t stop = std::min(length, start + w.interval);
        for (Py_ssize_t i = start; i < stop; ++i) {
            const Py_UCS4 cp = text[i];
            CharInfoObject* info;  // kept alive by the ASCII table or the record cache
            uint32_t word;
            check_records();
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
                        // Comparing or judging the blocks may run Python code.
                        bool ok = RangeTraits::feed_bits(range, word, block, judge) >= 0;
                        code_ran();
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
// Debug trace.

// `value` rendered as format(value) would.
PyObject* render(PyObject* value) noexcept {
    Ref empty = Ref::steal(PyUnicode_New(0, 0));
    return empty ? PyObject_Format(value, empty.get()) : nullptr;
}

PyObject* render_double(double value) noexcept {
    Ref number = Ref::steal(PyFloat_FromDouble(value));
    return number ? render(number.get()) : nullptr;
}

int log_record(PyObject* logger, PyObject* message) noexcept {
    if (message == nullptr) {
        return -1;
    }
    Ref level = Ref::steal(get_global(g.names.n_TRACE));
    if (!level) {
        return -1;
    }
    PyObject* args[] = {logger, level.get(), message};
    Ref result = Ref::steal(
        PyObject_VectorcallMethod(g.names.n_log, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return result ? 0 : -1;
}

int trace(PyObject* text, const Walk& w, const Plugins& plugins) noexcept {
    Ref get_logger = Ref::steal(get_global(g.names.n_getLogger));
    if (!get_logger) {
        return -1;
    }
    Ref logger = Ref::steal(PyObject_CallOneArg(get_logger.get(), g.names.n_vexlora));
    if (!logger) {
        return -1;
    }
    Ref mean = Ref::steal(render_double(w.mean));
    Ref threshold = Ref::steal(render_double(w.maximum_threshold));
    if (!mean || !threshold) {
        return -1;
    }
    Ref start = Ref::steal(PyUnicode_FromFormat(
        "Mess-detector extended-analysis start. intermediary_mean_mess_ratio_calc=%zd mean_mess_ratio=%U "
        "maximum_threshold=%U",
        w.interval, mean.get(), threshold.get()));
    if (log_record(logger.get(), start.get()) < 0) {
        return -1;
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (length > 16) {
        Ref head = Ref::steal(PyUnicode_Substring(text, 0, 16));
        Ref head_record = Ref::steal(head ? PyUnicode_FromFormat("Starting with: %U", head.get()) : nullptr);
        if (log_record(logger.get(), head_record.get()) < 0) {
            return -1;
        }
        Ref tail = Ref::steal(PyUnicode_Substring(text, length - 16, length));
        Ref tail_record = Ref::steal(tail ? PyUnicode_FromFormat("Ending with: %U", tail.get()) : nullptr);
        if (log_record(logger.get(), tail_record.get()) < 0) {
            return -1;
        }
    }
    for (const Ref& plugin : plugins.objects) {
        Ref cls = Ref::steal(render(reinterpret_cast<PyObject*>(Py_TYPE(plugin.get()))));
        Ref ratio = Ref::steal(cls ? PyObject_GetAttr(plugin.get(), g.names.n_ratio) : nullptr);
        Ref ratio_text = Ref::steal(ratio ? render(ratio.get()) : nullptr);
        Ref record = Ref::steal(ratio_text ? PyUnicode_FromFormat("%U: %U", cls.get(), ratio_text.get()) : nullptr);
        if (log_record(logger.get(), record.get()) < 0) {
            return -1;
        }
    }
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
    if (status < 0 || (debug && trace(text, w, plugins) < 0)) {
        return -1.0;
    }
    Ref mean = Ref::steal(PyFloat_FromDouble(w.mean));
    if (!mean) {
        return -1.0;
    }
    PyObject* args[] = {mean.get(), g.int_3};
    Ref rounded = Ref::steal(PyObject_Vectorcall(g.builtin_round, args, 2, nullptr));
    if (!rounded) {
        return -1.0;
    }
    double result = PyFloat_AsDouble(rounded.get());
    if (result == -1.0 && PyErr_Occurred()) {
        return -1.0;
    }
    return result;
}

PyObject* py_mess_ratio(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"decoded_sequence", "maximum_threshold", "debug"};
    static const ArgSpec spec{"mess_ratio", names, 1, 3};
    PyObject* a[3] = {nullptr, nullptr, nullptr};
    if (parse_args(spec, args, nargs, kwnames, a) < 0 || !check_exact_or_none(a[0], &PyUnicode_Type, "decoded_sequence")) {
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
