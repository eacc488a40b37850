#include "shared/args.h"

namespace vx {

void raise_arg_count(const char* func_name, bool exact, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given) noexcept {
    Py_ssize_t expected;
    const char* more_or_less;
    if (given < min) {
        expected = min;
        more_or_less = "at least";
    } else {
        expected = max;
        more_or_less = "at most";
    }
    if (exact) {
        more_or_less = "exactly";
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func_name,
                 more_or_less, expected, expected == 1 ? "" : "s", given);
}

namespace {

// Position of keyword `key` among the parameter names, or -1.
Py_ssize_t find_name(const ArgSpec& spec, PyObject* key) noexcept {
    for (Py_ssize_t i = 0; i < spec.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, spec.names[i]) == 0) {
            return i;
        }
    }
    return -1;
}

int place_keyword(const ArgSpec& spec, PyObject* key, PyObject* value, PyObject** out) noexcept {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.func_name);
        return -1;
    }
    Py_ssize_t i = find_name(spec, key);
    if (i < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.func_name, key);
        return -1;
    }
    if (out[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec.func_name, key);
        return -1;
    }
    out[i] = value;
    return 0;
}

int check_required(const ArgSpec& spec, PyObject** out) noexcept {
    for (Py_ssize_t i = 0; i < spec.required; ++i) {
        if (out[i] == nullptr) {
            raise_arg_count(spec.func_name, spec.required == spec.count, spec.required, spec.count, i);
            return -1;
        }
    }
    return 0;
}

}  // namespace

int parse_args(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out) noexcept {
    for (Py_ssize_t i = 0; i < spec.count; ++i) {
        out[i] = nullptr;
    }
    if (nargs > spec.count || (kwnames == nullptr && nargs < spec.required)) {
        raise_arg_count(spec.func_name, spec.required == spec.count, spec.required, spec.count, nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out[i] = args[i];
    }
    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (place_keyword(spec, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out) < 0) {
                return -1;
            }
        }
    }
    return check_required(spec, out);
}

int parse_args_tuple(const ArgSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out) noexcept {
    for (Py_ssize_t i = 0; i < spec.count; ++i) {
        out[i] = nullptr;
    }
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    bool has_kw = kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0;
    if (nargs > spec.count || (!has_kw && nargs < spec.required)) {
        raise_arg_count(spec.func_name, spec.required == spec.count, spec.required, spec.count, nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out[i] = PyTuple_GET_ITEM(args, i);
    }
    if (has_kw) {
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (place_keyword(spec, key, value, out) < 0) {
                return -1;
            }
        }
    }
    return check_required(spec, out);
}

int parse_no_args(const char* func_name, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (nargs > 0) {
        raise_arg_count(func_name, true, 0, 0, nargs);
        return -1;
    }
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, 0);
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func_name, key);
        return -1;
    }
    return 0;
}

}  // namespace vx
