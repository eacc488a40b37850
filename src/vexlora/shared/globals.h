// Looking up module globals by name at each use: the module namespace first,
// then the built-in names, as Python code would.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vx {

// New reference, or nullptr with NameError "name 'x' is not defined".
inline PyObject* lookup_global(PyObject* module_dict, PyObject* builtins_dict, PyObject* name) noexcept {
    PyObject* value = PyDict_GetItemWithError(module_dict, name);
    if (value != nullptr) {
        return Py_NewRef(value);
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    value = PyDict_GetItemWithError(builtins_dict, name);
    if (value != nullptr) {
        return Py_NewRef(value);
    }
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return nullptr;
}

}  // namespace vx
