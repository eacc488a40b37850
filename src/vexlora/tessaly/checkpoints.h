// Long native loops stay interruptible: they stop every kSignalInterval
// characters to let the interpreter run its signal handlers (Ctrl-C raises
// KeyboardInterrupt there), and fail with whatever a handler raised.
//
// A handler is Python code, and PyErr_CheckSignals may also run a collection
// that is due. A loop calls it only where it holds nothing borrowed from a
// Python object (or holds what it reads strongly), as across any other call
// that can run Python code.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vx::tessaly {

inline constexpr Py_ssize_t kSignalInterval = Py_ssize_t{1} << 16;

// The end of the block that starts at `from`, at most kSignalInterval long.
inline Py_ssize_t block_end(Py_ssize_t from, Py_ssize_t length) noexcept {
    return length - from > kSignalInterval ? from + kSignalInterval : length;
}

}  // namespace vx::tessaly
