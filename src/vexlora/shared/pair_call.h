// Calling a two-argument function, such as the memoized block-pair judge,
// many times in a row.
//
// A callable without vectorcall (the memoizing wrapper is one) takes its
// arguments as a tuple, which the wrapper also uses as its memo key; calling
// it through the generic path would build and free one tuple per call. The
// caller keeps one argument tuple and refills it in place whenever nobody
// else holds it, which is the case after every memo hit; after a miss the
// memo keeps it as a key and a new one is made.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

#include "shared/pyref.h"

namespace vx {

// What the interpreter makes of a callable that returned a result with an
// exception set, or no result without one: a SystemError (chained to the
// pending exception in the first case). Always nullptr.
[[gnu::cold, gnu::noinline]] inline PyObject* misbehaved_call(PyObject* func, PyObject* result) noexcept {
    if (result == nullptr) {
        PyErr_Format(PyExc_SystemError, "%R returned NULL without setting an exception", func);
        return nullptr;
    }
    Py_DECREF(result);
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_Format(PyExc_SystemError, "%R returned a result with an exception set", func);
    PyObject* raised = PyErr_GetRaisedException();
    PyException_SetCause(raised, Py_NewRef(cause));
    PyException_SetContext(raised, cause);
    PyErr_SetRaisedException(raised);
    return nullptr;
}

class PairCaller {
public:
    PairCaller() = default;
    PairCaller(const PairCaller&) = delete;
    PairCaller& operator=(const PairCaller&) = delete;

    // func(first, second): a new reference, or nullptr with an exception.
    PyObject* operator()(PyObject* func, PyObject* first, PyObject* second) noexcept {
        if (const vectorcallfunc call = vectorcall_of(func); call != nullptr) {
            // As PyObject_Vectorcall calls it, without its per-call
            // overhead: through the vectorcall entry, with the result checked
            // as the interpreter checks it.
            PyObject* args[] = {first, second};
            PyObject* result = call(func, args, 2, nullptr);
            if ((result == nullptr) == (PyErr_Occurred() != nullptr)) [[likely]] {
                return result;
            }
            return misbehaved_call(func, result);
        }
        PyObject* args = arguments(first, second);
        return args != nullptr ? PyObject_Call(func, args, nullptr) : nullptr;
    }

    // Will the next call of `func` go without allocating (and so without a
    // chance for the collector to run)?
    bool reuses_arguments(PyObject* func) const noexcept {
        return vectorcall_of(func) != nullptr || (args_ && Py_REFCNT(args_.get()) == 1);
    }

    // The argument tuple of the last call through the tuple path (borrowed),
    // or nullptr. Held elsewhere too when the callee kept it.
    PyObject* last_arguments() const noexcept { return args_.get(); }

private:
    // What PyVectorcall_Function(func) returns, read in place: the
    // interpreter's own function is not inlined into callers outside it.
    static vectorcallfunc vectorcall_of(PyObject* func) noexcept {
        const PyTypeObject* type = Py_TYPE(func);
        if ((type->tp_flags & Py_TPFLAGS_HAVE_VECTORCALL) == 0) {
            return nullptr;
        }
        vectorcallfunc call;
        std::memcpy(&call, reinterpret_cast<const char*>(func) + type->tp_vectorcall_offset, sizeof call);
        return call;
    }

    // The tuple (first, second), borrowed from args_.
    PyObject* arguments(PyObject* first, PyObject* second) noexcept {
        PyObject* args = args_.get();
        if (args == nullptr || Py_REFCNT(args) != 1) {
            args_ = Ref::steal(PyTuple_Pack(2, first, second));
            return args_.get();
        }
        // Ours alone: no dictionary holds it, so refilling it is invisible.
        // Both items are in place (and the tuple tracked) before the old ones
        // are dropped, since a dropped item's finalizer may run Python code,
        // which must never see a half-refilled tuple.
        PyObject* old_first = PyTuple_GET_ITEM(args, 0);
        PyObject* old_second = PyTuple_GET_ITEM(args, 1);
        PyTuple_SET_ITEM(args, 0, Py_NewRef(first));
        PyTuple_SET_ITEM(args, 1, Py_NewRef(second));
        if (!PyObject_GC_IsTracked(args)) {
            PyObject_GC_Track(args);  // the collector may have untracked it as atomic
        }
        Py_DECREF(old_first);
        Py_DECREF(old_second);
        return args;
    }

    Ref args_;
};

}  // namespace vx
