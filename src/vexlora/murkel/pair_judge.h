// The pair judge, as SuspiciousRange calls it from the mess_ratio walk.
#pragma once

#include "murkel/walk_records.h"

namespace vx::murkel::driver {

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
        // Both items are in place (and the tuple tracked) before the old ones
        // are dropped, since a dropped item's finalizer may run Python code,
        // which must never see a half-refilled tuple.
        PyObject* old_prev = PyTuple_GET_ITEM(args, 0);
        PyObject* old_cur = PyTuple_GET_ITEM(args, 1);
        PyTuple_SET_ITEM(args, 0, Py_NewRef(prev));
        PyTuple_SET_ITEM(args, 1, Py_NewRef(cur));
        if (!PyObject_GC_IsTracked(args)) {
            PyObject_GC_Track(args);  // the collector may have untracked it as atomic
        }
        Py_DECREF(old_prev);
        Py_DECREF(old_cur);
        return args;
    }

    // Borrowed; kept alive by func_.
    PyObject* resolve() noexcept {
        if (func_ && namespace_watcher >= 0 && epoch_ == namespace_epoch) [[likely]] {
            return func_.get();
        }
        func_.reset();
        PyObject* found = g.dict != nullptr
                              ? PyDict_GetItemWithError(g.dict, g.names.n_is_suspiciously_successive_range)
                              : nullptr;
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

}  // namespace vx::murkel::driver
