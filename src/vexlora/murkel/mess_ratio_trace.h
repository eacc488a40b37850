// The debug records of mess_ratio.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "shared/pyref.h"

namespace vx::murkel {

// Log the trace records of one mess_ratio call: the start record with the
// interval, the unrounded mean and the threshold; the first and last 16
// characters of texts longer than 16; then each plugin's class and ratio, in
// creation order. 0, or -1 with an exception.
int trace_mess_ratio(PyObject* text, Py_ssize_t interval, double mean_ratio, double maximum_threshold,
                     const Ref* plugins, int count) noexcept;

}  // namespace vx::murkel
