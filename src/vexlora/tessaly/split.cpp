// PLACEHOLDER, to be written.
#include "tessaly/functions.h"

namespace vx::tessaly {

PyObject* py_alpha_unicode_split(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "py_alpha_unicode_split"); return nullptr; }
PyObject* alpha_unicode_split_native(PyObject*) noexcept { PyErr_SetString(PyExc_NotImplementedError, "split"); return nullptr; }

}  // namespace vx::tessaly
