// The routines each tessaly source file provides; module.cpp creates the
// Python functions from them in the order the module publishes them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace vx::tessaly {

// tables.cpp: fill the language tables from FREQUENCIES; -1 with an exception on failure.
int initialize_language_ranks() noexcept;

// Python functions (vx::NativeImpl signature: self is nullptr for module functions).
#define VX_IMPL(name) PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
VX_IMPL(py_encoding_unicode_range);         // mapping.cpp
VX_IMPL(py_unicode_range_languages);        // mapping.cpp
VX_IMPL(py_encoding_languages);             // mapping.cpp
VX_IMPL(py_mb_encoding_languages);          // mapping.cpp
VX_IMPL(py_get_target_features);            // mapping.cpp
VX_IMPL(py_alphabet_languages);             // mapping.cpp
VX_IMPL(py_characters_popularity_compare);  // popularity.cpp
VX_IMPL(py_alpha_unicode_split);            // split.cpp
VX_IMPL(py_merge_coherence_ratios);         // merging.cpp
VX_IMPL(py_filter_alt_coherence_matches);   // merging.cpp
VX_IMPL(py_coherence_ratio);                // coherence.cpp
#undef VX_IMPL

// Native forms used inside the module.
PyObject* unicode_range_languages_native(PyObject* primary_range) noexcept;  // mapping.cpp
double characters_popularity_compare_index(Py_ssize_t language, const uint32_t* codepoints,
                                           Py_ssize_t n) noexcept;          // popularity.cpp (-1.0 + exception)
PyObject* alpha_unicode_split_native(PyObject* decoded_sequence) noexcept;  // split.cpp
PyObject* filter_alt_coherence_matches_native(PyObject* results) noexcept;  // merging.cpp

}  // namespace vx::tessaly
