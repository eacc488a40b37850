// The records mess_ratio reads during its walk: the ASCII table taken once
// per call, the page cache, and a per-call cache of records seen, with the
// rules that say when each may be trusted without asking Python again.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>

#include "murkel/record_bits.h"
#include "murkel/registry.h"
#include "murkel/state.h"
#include "shared/ascii_table.h"
#include "shared/errors.h"
#include "shared/pyref.h"

namespace vx::murkel::driver {

inline constexpr Py_ssize_t kPageSize = 256;

// ---------------------------------------------------------------------------
// Watching the module namespace.
//
// The page table is looked up by name for every record. Looking it up per
// character would cost more than the rest of the walk, so the walk keeps the
// list it found and looks again only after the namespace has changed. A
// dictionary watcher bumps this counter on every change of the namespace;
// without a watcher (all slots taken) the walk looks again after every step
// that may have run Python code.

inline int namespace_watcher = -1;
inline uint64_t namespace_epoch = 0;

inline int on_namespace_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++namespace_epoch;
    return 0;
}

inline int watch_namespace(PyObject* dict) noexcept {
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
// The walk reads a copy of the table (with strong references) so that Python
// code running during the walk cannot shrink it or free a record under us. A
// list that is too short or holds other objects is refused up front; None is
// accepted here and fails at the first character that needs it, as indexing
// None would.
//
// The copy and the words computed from its records are kept between calls:
// a call whose table still holds the same 128 records (compared by identity)
// reuses them, and their words too unless records have been written since.
// While a walk reads the kept copy (a walk may call Python code, which may
// call mess_ratio again), a call that finds other records makes a copy of
// its own instead of replacing the kept one.

struct AsciiRecords {
    CharInfoObject* records[kAsciiRecords] = {};  // strong references once filled
    uint32_t words[kAsciiRecords] = {};           // 0: not computed yet
    uint64_t writes = 0;                          // g.record_writes the words belong to
    int readers = 0;                              // walks using this copy now
    bool filled = false;

    void forget_words() noexcept {
        std::memset(words, 0, sizeof words);
        writes = g.record_writes;
    }
};

inline AsciiRecords kept_ascii_records;

class AsciiTable {
public:
    AsciiTable() = default;
    AsciiTable(const AsciiTable&) = delete;
    AsciiTable& operator=(const AsciiTable&) = delete;
    ~AsciiTable() {
        if (in_use_ == nullptr) {
            return;
        }
        --in_use_->readers;
        if (in_use_ == &own_) {
            for (CharInfoObject* info : own_.records) {
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
        if (!ascii_table_complete(table.get())) {
            return -1;
        }
        PyObject** items = PySequence_Fast_ITEMS(table.get());
        AsciiRecords& kept = kept_ascii_records;
        if (kept.filled && std::memcmp(kept.records, items, sizeof kept.records) == 0) [[likely]] {
            use(kept);
            return 0;
        }
        for (Py_ssize_t i = 0; i < kAsciiRecords; ++i) {
            if (!is_char_info(items[i])) {
                PyErr_Format(PyExc_TypeError, "_ASCII_CHAR_INFO[%zd] must be a CharInfo, got %.200s", i,
                             Py_TYPE(items[i])->tp_name);
                return -1;
            }
        }
        if (kept.readers > 0) {
            for (Py_ssize_t i = 0; i < kAsciiRecords; ++i) {
                own_.records[i] = reinterpret_cast<CharInfoObject*>(Py_NewRef(items[i]));
            }
            own_.filled = true;
            use(own_);
            return 0;
        }
        // Replace the kept copy. Dropping the old records may run Python
        // code, so this walk is counted as a reader before they go.
        CharInfoObject* old[kAsciiRecords];
        const bool had_old = kept.filled;
        std::memcpy(old, kept.records, sizeof old);
        for (Py_ssize_t i = 0; i < kAsciiRecords; ++i) {
            kept.records[i] = reinterpret_cast<CharInfoObject*>(Py_NewRef(items[i]));
        }
        kept.filled = true;
        kept.forget_words();
        use(kept);
        if (had_old) {
            for (CharInfoObject* info : old) {
                Py_DECREF(info);
            }
        }
        return 0;
    }

    // Borrowed record of an ASCII code point, or nullptr with TypeError.
    CharInfoObject* get(Py_UCS4 cp) const noexcept {
        if (in_use_ == nullptr) [[unlikely]] {
            PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
            return nullptr;
        }
        return in_use_->records[cp];
    }

    // The record bits of an ASCII code point (its record is then record(cp)),
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

    CharInfoObject* record(Py_UCS4 cp) const noexcept { return in_use_->records[cp]; }

    // The words of all ASCII code points (0 where not computed yet, and all
    // 0 without a table) and the records behind them (nullptr without a
    // table), for loops that read many.
    const uint32_t* words() const noexcept { return words_; }
    CharInfoObject* const* records() const noexcept { return in_use_ != nullptr ? in_use_->records : nullptr; }

    // The word of an ASCII code point if it has been computed, else 0 (the
    // record is then record(cp)). Runs no code and raises nothing.
    uint32_t known_word(Py_UCS4 cp) const noexcept { return words_[cp]; }

    // Records have been written: words computed before may be wrong.
    void forget_words() noexcept {
        if (in_use_ != nullptr) {
            in_use_->forget_words();
        }
    }

private:
    void use(AsciiRecords& records) noexcept {
        in_use_ = &records;
        ++records.readers;
        words_ = records.words;
        if (records.writes != g.record_writes) {
            records.forget_words();
        }
    }

    static inline uint32_t no_words_[kAsciiRecords] = {};
    AsciiRecords* in_use_ = nullptr;
    uint32_t* words_ = no_words_;  // in_use_->words; all 0 without a table
    AsciiRecords own_;
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
        // nullptr too when the lookup itself changed the namespace: the
        // caller then takes the slow way, which looks the table up in full.
        return peek_known(cp);
    }

    // What peek() would return, when that needs no new lookup of the table
    // (which may run code); else nullptr. Runs no code.
    PyObject* peek_known(Py_UCS4 cp) const noexcept {
        if (stale_ || epoch_ != namespace_epoch) [[unlikely]] {
            return nullptr;
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

    // The page table, when peek_known() would use it without a new lookup;
    // else nullptr. Runs no code.
    PyObject* known_table() const noexcept { return stale_ || epoch_ != namespace_epoch ? nullptr : table_.get(); }

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

    // How many times the table was looked up again. A lookup may run Python
    // code (a hostile key's __eq__ in the namespace).
    uint64_t refreshes() const noexcept { return refreshes_; }

    // Python code may have run and rebound the table. With a watcher the
    // epoch says so; without one, look again before the next record.
    void code_ran() noexcept {
        if (namespace_watcher < 0) {
            stale_ = true;
        }
    }

private:
    void refresh() noexcept {
        ++refreshes_;
        stale_ = false;
        epoch_ = namespace_epoch;
        // Only a list bound in the module namespace itself is kept; anything
        // else (a builtins fallback, a foreign object) goes the slow way,
        // which looks the name up in full and raises what it must.
        // (No namespace after a failed start-up: the slow way raises.)
        PyObject* table = g.dict != nullptr ? PyDict_GetItemWithError(g.dict, g.names.n__CHAR_INFO_PAGES) : nullptr;
        if (table == nullptr) {
            PyErr_Clear();
        }
        table_.reset(table != nullptr && PyList_CheckExact(table) ? Py_NewRef(table) : nullptr);
    }

    Ref table_;
    uint64_t epoch_ = 0;
    uint64_t refreshes_ = 0;
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
// The rule behind all of this: a pointer read from a Python object (a
// table, a page, a record's field) is used only until the next step that may
// run Python code (a host call, the pair judge, a comparison, a dictionary
// lookup, dropping a reference, an allocation that may start the
// collector). Whatever must survive such a step is held by a strong
// reference (the ASCII table's copy, the slots, the retired list), and
// anything derived from it (a word, a trusted slot) is re-checked after it.
//
// The cache never drops the last reference to a record during the walk:
// such records wait in a list until the walk ends, so no finalizer runs
// behind the walk's back and no address is reused while a slot may compare
// against it.
//
// One cache of the largest size is kept between calls (kept_record_cache()),
// so that a call finds the words of the records earlier calls have seen:
// each call starts a new epoch, so a slot is trusted again only once the page
// table is seen to hold the same record, and its word only if no record has
// been written since. A call made while another walk uses the kept cache
// (Python code run by a walk may call mess_ratio) gets a cache of its own.

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

    // The kept cache for one walk, or nullptr when another walk is using it
    // (or it cannot be allocated; the caller then makes its own).
    static RecordCache* take_kept() noexcept {
        static RecordCache* kept = nullptr;
        if (kept == nullptr) {
            kept = new (std::nothrow) RecordCache;
            if (kept == nullptr || kept->allocate(static_cast<Py_ssize_t>(kMaxSlots)) < 0) {
                PyErr_Clear();
                delete kept;
                kept = nullptr;
                return nullptr;
            }
        }
        if (kept->busy_) {
            return nullptr;
        }
        kept->busy_ = true;
        kept->distrust();
        return kept;
    }

    // End of a walk on the kept cache: records retired during it are dropped
    // (which may run Python code, so the cache is free again first, and an
    // exception the walk raised is set aside meanwhile).
    void give_back() noexcept {
        busy_ = false;
        if (PyList_GET_SIZE(retired_.get()) == 0) {
            return;
        }
        PyObject* raised = PyErr_GetRaisedException();
        {
            Ref old = std::move(retired_);
            retired_ = Ref::steal(PyList_New(0));
            if (!retired_) {
                PyErr_Clear();
                retired_ = std::move(old);  // dropped after a later walk
            }
        }
        PyErr_SetRaisedException(raised);
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

    // The record of `cp` and its bits, when its slot is trusted in this epoch
    // or can be trusted again without running code (the page table, known
    // without a new lookup, still holds the slot's record and no record has
    // been written since its word was computed); nullptr otherwise. Runs no
    // code and raises nothing.
    CharInfoObject* trusted(Py_UCS4 cp, const PageReader& pages, uint32_t* word) noexcept {
        Slot& slot = slots_[cp & mask_];
        if (slot.cp != cp || slot.info == nullptr) {
            return nullptr;
        }
        if (slot.epoch != epoch_) {
            if (slot.writes != g.record_writes || pages.peek_known(cp) != reinterpret_cast<PyObject*>(slot.info)) {
                return nullptr;
            }
            slot.epoch = epoch_;
        }
        *word = slot.word;
        return slot.info;
    }

    // The slots and the page table as they stand, for a loop that runs no
    // code: find() answers what trusted() answers.
    class Hot;
    Hot hot(const PageReader& pages) noexcept;

private:
    static constexpr size_t kMinSlots = 64;
    static constexpr size_t kMaxSlots = 16384;
    struct Slot {
        CharInfoObject* info;  // strong
        Py_UCS4 cp;
        uint32_t word;
        uint64_t epoch;   // epoch_ when the record was read from the page table
        uint64_t writes;  // g.record_writes when the word was computed
    };

    CharInfoObject* fill(Slot& slot, Py_UCS4 cp, PageReader& pages, uint32_t* word) noexcept {
        const uint64_t refreshes = pages.refreshes();
        PyObject* found = pages.peek(cp);  // borrowed: used before anything else runs
        if (pages.refreshes() != refreshes) [[unlikely]] {
            distrust();  // the lookup may have run Python code
        }
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
    bool busy_ = false;  // the kept cache only: a walk is using it
};

class RecordCache::Hot {
public:
    // What trusted() returns, without a call: a slot filled or confirmed in
    // this epoch, or one the page table still holds (read from the items of
    // the table as it was when this view was taken: no code has run since,
    // so it has not changed).
    CharInfoObject* find(Py_UCS4 cp, uint32_t* word) const noexcept {
        Slot& slot = slots_[cp & mask_];
        if (slot.cp != cp || slot.info == nullptr) {
            return nullptr;
        }
        if (slot.epoch != epoch_) {
            if (slot.writes != g.record_writes || page_entry(cp) != reinterpret_cast<PyObject*>(slot.info)) {
                return nullptr;
            }
            slot.epoch = epoch_;
        }
        *word = slot.word;
        return slot.info;
    }

private:
    friend class RecordCache;
    Hot(Slot* slots, size_t mask, uint64_t epoch, PyObject* table) noexcept
        : slots_(slots), mask_(mask), epoch_(epoch) {
        if (table != nullptr) {
            table_items_ = reinterpret_cast<PyListObject*>(table)->ob_item;
            table_size_ = PyList_GET_SIZE(table);
        }
    }

    // What PageReader::peek_known(cp) returns.
    PyObject* page_entry(Py_UCS4 cp) const noexcept {
        const Py_ssize_t index = static_cast<Py_ssize_t>(cp >> 8);
        if (index >= table_size_) {
            return nullptr;
        }
        PyObject* page = table_items_[index];
        if (!PyList_CheckExact(page) || PyList_GET_SIZE(page) != kPageSize) {
            return nullptr;
        }
        return PyList_GET_ITEM(page, static_cast<Py_ssize_t>(cp & 0xFF));
    }

    Slot* slots_;
    size_t mask_;
    uint64_t epoch_;
    PyObject** table_items_ = nullptr;
    Py_ssize_t table_size_ = 0;  // 0 without a known table: every confirmation fails
};

inline RecordCache::Hot RecordCache::hot(const PageReader& pages) noexcept {
    return Hot(slots_, mask_, epoch_, pages.known_table());
}

}  // namespace vx::murkel::driver
