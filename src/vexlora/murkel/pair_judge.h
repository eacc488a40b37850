// The pair judge, as SuspiciousRange calls it from the mess_ratio walk.
#pragma once

#include "murkel/walk_records.h"
#include "shared/pair_call.h"

namespace vx::murkel::driver {

// The global is_suspiciously_successive_range is looked up by name at each
// block change. While the namespace is unchanged (the watcher's epoch), the
// name still resolves to the object found last time, so that object is kept
// and the dictionary lookup skipped; the call itself goes through whatever
// is bound, as every caller's would.
//
// The call goes through a PairCaller, which spares the memoizing wrapper
// one argument tuple per block change.

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
        Ref result = Ref::steal(call_(func, prev, cur));
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
    // Borrowed; kept alive by func_.
    PyObject* resolve() noexcept {
        if (func_ && namespace_watcher >= 0 && epoch_ == namespace_epoch) [[likely]] {
            return func_.get();
        }
        func_.reset();
        PyObject* found =
            g.dict != nullptr ? PyDict_GetItemWithError(g.dict, g.names.n_is_suspiciously_successive_range) : nullptr;
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
    PairCaller call_;
    uint64_t epoch_ = 0;
};

}  // namespace vx::murkel::driver
