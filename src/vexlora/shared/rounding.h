// round(value, digits) for a float and a small digit count, as both modules
// compute their results with the built-in round().
//
// Calling the built-in costs a float object, a call and a decimal conversion
// (dtoa and strtod), a large share of a short call. When the function the
// module looked up at start-up is the interpreter's own round(), the result
// is computed here instead, whenever the scaled value is far enough from a
// tie that its binary rounding error cannot change the decision; values near
// a tie, huge values and any other round function go through the call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vx {

// round(value, digits) as a double, computed through `round_fn` when it is
// not the built-in; -1 with an exception set on failure.
int round_digits(PyObject* round_fn, double value, int digits, double* out) noexcept;

// The same as a new float object, or nullptr with an exception.
PyObject* round_digits_object(PyObject* round_fn, double value, int digits) noexcept;

}  // namespace vx
