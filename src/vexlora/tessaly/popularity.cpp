// PLACEHOLDER, to be written.
#include "tessaly/functions.h"

namespace vx::tessaly {

PyObject* py_characters_popularity_compare(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "py_characters_popularity_compare"); return nullptr; }
double characters_popularity_compare_index(Py_ssize_t, const uint32_t*, Py_ssize_t) noexcept { PyErr_SetString(PyExc_NotImplementedError, "popularity"); return -1.0; }

}  // namespace vx::tessaly
