// PLACEHOLDER, to be written.
#include "tessaly/functions.h"

namespace vx::tessaly {

PyObject* py_coherence_ratio(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "py_coherence_ratio"); return nullptr; }

}  // namespace vx::tessaly
