// PLACEHOLDER, to be written.
#include "tessaly/functions.h"

namespace vx::tessaly {

PyObject* py_merge_coherence_ratios(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "py_merge_coherence_ratios"); return nullptr; }
PyObject* py_filter_alt_coherence_matches(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "py_filter_alt_coherence_matches"); return nullptr; }
PyObject* filter_alt_coherence_matches_native(PyObject*) noexcept { PyErr_SetString(PyExc_NotImplementedError, "filter"); return nullptr; }

}  // namespace vx::tessaly
