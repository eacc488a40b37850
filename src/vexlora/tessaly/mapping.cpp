// PLACEHOLDER, to be written.
#include "tessaly/functions.h"

namespace vx::tessaly {

PyObject* py_encoding_unicode_range(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "py_encoding_unicode_range"); return nullptr; }
PyObject* py_unicode_range_languages(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "py_unicode_range_languages"); return nullptr; }
PyObject* py_encoding_languages(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "py_encoding_languages"); return nullptr; }
PyObject* py_mb_encoding_languages(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "py_mb_encoding_languages"); return nullptr; }
PyObject* py_get_target_features(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "py_get_target_features"); return nullptr; }
PyObject* py_alphabet_languages(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "py_alphabet_languages"); return nullptr; }
PyObject* unicode_range_languages_native(PyObject*) noexcept { PyErr_SetString(PyExc_NotImplementedError, "unicode_range_languages"); return nullptr; }

}  // namespace vx::tessaly
