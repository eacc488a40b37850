// Equality of two exact str without a Python comparison.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

namespace vx {

// Two exact str hold the same text. Cheaper than a rich comparison for the
// common unequal pair (block names, say), whose lengths or cached hashes
// usually differ.
inline bool same_text(PyObject* a, PyObject* b) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) {
        return false;
    }
    const Py_hash_t ha = reinterpret_cast<PyASCIIObject*>(a)->hash;
    const Py_hash_t hb = reinterpret_cast<PyASCIIObject*>(b)->hash;
    if (ha != -1 && hb != -1 && ha != hb) {
        return false;
    }
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(length) * PyUnicode_KIND(a)) == 0;
}

}  // namespace vx
