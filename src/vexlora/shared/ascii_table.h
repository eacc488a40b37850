// The size check both modules make on _ASCII_CHAR_INFO, murkel's rebindable
// list of the 128 ASCII records: one exception type and one message.
//
// A list that is too short is a ValueError (the type is right, its length is
// not); anything but a list, or an entry that is not a CharInfo, stays a
// TypeError at the caller.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vx {

inline constexpr Py_ssize_t kAsciiRecords = 128;

// True when the list `table` has an entry for every ASCII code point;
// otherwise ValueError and false. Python code can shrink the list in place,
// so callers check again after anything that may have run it.
inline bool ascii_table_complete(PyObject* table) noexcept {
    Py_ssize_t size = PyList_GET_SIZE(table);
    if (size >= kAsciiRecords) [[likely]] {
        return true;
    }
    PyErr_Format(PyExc_ValueError, "_ASCII_CHAR_INFO must hold %zd CharInfo records, got a list of %zd", kAsciiRecords,
                 size);
    return false;
}

}  // namespace vx
