// The pair judge, as SuspiciousRange calls it from the mess_ratio walk.
#pragma once

#include "murkel/walk_records.h"
#include "shared/pair_call.h"

namespace vx::murkel::driver {

// What proves that a call of the judge ran no Python code (successive_range.cpp):
// the memoizing wrapper murkel installed at start-up, when it is functools'
// own C wrapper around murkel's function (else nullptr); how many times that
// function was entered; whether it ever took an argument other than None or
// an exact str. While it has not, every key in the memo is made of None and
// exact str, so a memo lookup with such arguments hashes and compares without
// running code, and a hit returns without calling anything.
extern PyObject* installed_judge;
extern uint64_t judge_entries;
extern bool judge_saw_other_arguments;

// The global is_suspiciously_successive_range is looked up by name at each
// block change. While the namespace is unchanged (the watcher's epoch), the
// name still resolves to the object found last time, so that object is kept
// and the dictionary lookup skipped; the call itself goes through whatever
// is bound, as every caller's would.
//
// The call goes through a PairCaller, which spares the memoizing wrapper
// one argument tuple per block change.

// The memo keeps the argument tuple of each call that missed as the key of
// its answer. A later call with the very same tuple finds that key by
// identity, without comparing the two tuples item by item. These are the
// tuples the memo kept from the walks' own calls, by the identity of their
// two items (exact str or None); a tuple here is held, so its items stay
// alive and their addresses identify them. A tuple is only learnt when the
// memo misses, so none is ever dropped (an open-addressed table that stops
// learning when half full: texts meet a few dozen block pairs).
class MemoKeys {
public:
    // The tuple (prev, cur) kept from an earlier call (borrowed), or nullptr.
    PyObject* find(PyObject* prev, PyObject* cur) const noexcept {
        for (size_t i = start(prev, cur);; i = (i + 1) & (kSize - 1)) {
            PyObject* key = keys_[i];
            if (key == nullptr || (PyTuple_GET_ITEM(key, 0) == prev && PyTuple_GET_ITEM(key, 1) == cur)) {
                return key;
            }
        }
    }

    // `args`, the tuple (prev, cur) of a call that the memo kept.
    void learn(PyObject* args, PyObject* prev, PyObject* cur) noexcept {
        if (count_ >= kSize / 2) {
            return;
        }
        for (size_t i = start(prev, cur);; i = (i + 1) & (kSize - 1)) {
            PyObject* key = keys_[i];
            if (key == nullptr) {
                keys_[i] = Py_NewRef(args);
                ++count_;
                return;
            }
            if (PyTuple_GET_ITEM(key, 0) == prev && PyTuple_GET_ITEM(key, 1) == cur) {
                return;  // one tuple per pair is enough
            }
        }
    }

private:
    static constexpr size_t kSize = 1024;
    static_assert(kSize == size_t{1} << 10, "start() takes the top 10 bits");
    static size_t start(PyObject* prev, PyObject* cur) noexcept {
        const uint64_t mixed =
            (reinterpret_cast<uintptr_t>(prev) ^ (reinterpret_cast<uintptr_t>(cur) << 1)) * 0x9E3779B97F4A7C15ull;
        return static_cast<size_t>(mixed >> 54);  // the top 10 bits
    }
    PyObject* keys_[kSize] = {};
    size_t count_ = 0;
};

inline MemoKeys memo_keys;

class Judge {
public:
    Judge() = default;
    Judge(const Judge&) = delete;
    Judge& operator=(const Judge&) = delete;

    // The judge's answer for (prev, cur): 1 or 0, or -1 with an exception.
    // The caller holds both arguments for the length of the call.
    [[gnu::always_inline]] int operator()(PyObject* prev, PyObject* cur) noexcept {
        bool quiet;
        return (*this)(prev, cur, &quiet);
    }

    // The same, and *quiet tells whether the call provably ran no Python code
    // at all (a memo hit of the installed judge, murkel's function not
    // entered). Callers that only need this for one call ask here rather than
    // comparing counters around it.
    [[gnu::always_inline]] int operator()(PyObject* prev, PyObject* cur, bool* quiet) noexcept {
        *quiet = false;
        bool looked_up = false;
        // Borrowed: func_ or fallback_ holds it, and only resolve() replaces
        // them, so it stays alive however the call rebinds the global.
        PyObject* func = resolve(&looked_up);
        if (func == nullptr) [[unlikely]] {
            return -1;
        }
        PyObject* result;
        if (func == installed_judge && installed_judge != nullptr && plain(prev) && plain(cur)) {
            const uint64_t entries = judge_entries;
            result = call_memo(func, prev, cur, looked_up, quiet);
            *quiet = *quiet && judge_entries == entries;
        } else {
            result = call_(func, prev, cur);
        }
        if (result == Py_True) {
            return 1;  // immortal: nothing to drop
        }
        if (result == Py_False) {
            return 0;
        }
        if (result == nullptr) {
            return -1;
        }
        const int truth = PyObject_IsTrue(result);
        Py_DECREF(result);
        return truth;
    }

    // How many calls ran no Python code apart from, perhaps, murkel's own
    // function behind the memo (judge_entries tells whether it ran).
    uint64_t quiet_calls() const noexcept { return quiet_calls_; }

private:
    static bool plain(PyObject* op) noexcept { return op == Py_None || PyUnicode_CheckExact(op); }

    // The installed memoizing wrapper with arguments it hashes and compares
    // without running code. A new reference, or nullptr with an exception.
    // *quiet: no code but perhaps murkel's own function ran.
    PyObject* call_memo(PyObject* func, PyObject* prev, PyObject* cur, bool looked_up, bool* quiet_out) noexcept {
        PyObject* key = memo_keys.find(prev, cur);  // held by memo_keys for good
        const bool quiet = !looked_up && !judge_saw_other_arguments && (key || call_.reuses_arguments(func));
        PyObject* result = key != nullptr ? PyObject_Call(func, key, nullptr) : call_(func, prev, cur);
        quiet_calls_ += quiet ? 1 : 0;
        *quiet_out = quiet;
        if (result != nullptr && key == nullptr) {
            // A miss keeps the argument tuple as the memo's key.
            PyObject* args = call_.last_arguments();
            if (args != nullptr && Py_REFCNT(args) > 1 && PyTuple_GET_ITEM(args, 0) == prev &&
                PyTuple_GET_ITEM(args, 1) == cur) {
                memo_keys.learn(args, prev, cur);
            }
        }
        return result;
    }

    // Borrowed; kept alive by func_. *looked_up: the namespace was searched
    // (which may run code).
    PyObject* resolve(bool* looked_up) noexcept {
        // epoch_ holds a real epoch only while func_ holds what the watched
        // namespace bound then, so one comparison covers all three
        // conditions (the watcher, once added, is never removed).
        if (epoch_ == namespace_epoch) [[likely]] {
            return func_.get();
        }
        *looked_up = true;
        epoch_ = kUnknownEpoch;
        func_.reset();
        PyObject* found =
            g.dict != nullptr ? PyDict_GetItemWithError(g.dict, g.names.n_is_suspiciously_successive_range) : nullptr;
        if (found != nullptr) {
            func_.reset(Py_NewRef(found));
            if (namespace_watcher >= 0) {
                epoch_ = namespace_epoch;
            }
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
    PairCaller call_;
    // Never reached by namespace_epoch, which only counts up from 0.
    static constexpr uint64_t kUnknownEpoch = ~uint64_t{0};
    uint64_t epoch_ = kUnknownEpoch;
    uint64_t quiet_calls_ = 0;
};

}  // namespace vx::murkel::driver
