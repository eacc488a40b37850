// Unpacking one (a, b) pair the way `a, b = item` does, with the same
// messages for an item of the wrong length.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "shared/pyref.h"

namespace vx::tessaly {

inline void raise_need_more_values(Py_ssize_t got) noexcept {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
}

inline void raise_too_many_values() noexcept {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(2));
}

// 0 on success (first/second hold new references), -1 with an exception.
inline int unpack_pair(PyObject* item, Ref& first, Ref& second) noexcept {
    if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
        Py_ssize_t size = PyTuple_CheckExact(item) ? PyTuple_GET_SIZE(item) : PyList_GET_SIZE(item);
        if (size != 2) {
            if (size > 2) {
                raise_too_many_values();
            } else {
                raise_need_more_values(size);
            }
            return -1;
        }
        PyObject* const* values = PyTuple_CheckExact(item) ? &PyTuple_GET_ITEM(item, 0) : &PyList_GET_ITEM(item, 0);
        first = Ref::borrow(values[0]);
        second = Ref::borrow(values[1]);
        return 0;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(item));
    if (!iterator) {
        return -1;
    }
    Ref values[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        values[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!values[i]) {
            if (!PyErr_Occurred()) {
                raise_need_more_values(i);
            }
            return -1;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) {
        raise_too_many_values();
        return -1;
    }
    if (PyErr_Occurred()) {
        return -1;
    }
    first = std::move(values[0]);
    second = std::move(values[1]);
    return 0;
}

}  // namespace vx::tessaly
