// One table-driven argument parser for every Python-visible function and
// method of both modules, so all of them raise the same messages.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vx {

// Declaration of a function's parameters. All parameters may be given by
// position or by keyword; the first `required` are mandatory.
struct ArgSpec {
    const char* func_name;     // name used in messages, e.g. "mess_ratio"
    const char* const* names;  // parameter names, `count` entries
    Py_ssize_t required;       // number of mandatory parameters
    Py_ssize_t count;          // total number of parameters
};

// Vectorcall form. On success fills out[0..count) with borrowed references
// (nullptr for an optional parameter that was not given) and returns 0; on
// failure raises TypeError and returns -1.
int parse_args(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out) noexcept;

// Tuple + dict form, for tp_init and tp_new.
int parse_args_tuple(const ArgSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out) noexcept;

// Fast check for functions without parameters (vectorcall form).
int parse_no_args(const char* func_name, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// The count error: "f() takes exactly 1 positional argument (2 given)".
void raise_arg_count(const char* func_name, bool exact, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given) noexcept;

}  // namespace vx
