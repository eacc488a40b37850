// Failure helpers shared by both modules: traceback entries and the exact
// messages for the common argument and conversion errors.
//
// Convention: a failing routine returns its sentinel (nullptr, -1, or -1.0
// with an exception pending) and records where it failed with
// VX_TRACEBACK("vexlora.<module>.<qualified name>").
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <cstdint>

namespace vx {

// Add a traceback entry named `where` to the pending exception: an empty code
// object named for the C++ routine, run in no frame, gives the entry its name,
// file and line. Public API only (3.13 no longer exports a ready-made helper).
// Building the entry may itself fail (memory; the file name's codec); the
// original exception then stays pending, without the extra entry.
inline void add_traceback(const char* where, const char* file, int line) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) {
        return;
    }
    PyFrameObject* frame = nullptr;
    if (PyObject* globals = PyDict_New()) {
        if (PyCodeObject* code = PyCode_NewEmpty(file, where, line)) {
            frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
            Py_DECREF(code);
        }
        Py_DECREF(globals);
    }
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

#define VX_TRACEBACK(where) ::vx::add_traceback((where), __FILE_NAME__, __LINE__)

// "Argument 'x' has incorrect type (expected T, got U)".
inline void raise_arg_type(const char* argname, const char* expected, PyObject* got) noexcept {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argname,
                 expected, Py_TYPE(got)->tp_name);
}

// Accept exactly `type` (not a subclass) or None.
inline bool check_exact_or_none(PyObject* obj, PyTypeObject* type, const char* argname) noexcept {
    if (obj == Py_None || Py_TYPE(obj) == type) {
        return true;
    }
    raise_arg_type(argname, type->tp_name, obj);
    return false;
}

// Accept an instance of `type` (subclasses included) or None.
inline bool check_instance_or_none(PyObject* obj, PyTypeObject* type, const char* argname) noexcept {
    if (obj == Py_None || PyObject_TypeCheck(obj, type)) {
        return true;
    }
    raise_arg_type(argname, type->tp_name, obj);
    return false;
}

// "Expected <what>, got <type name>".
inline void raise_expected(const char* what, PyObject* got) noexcept {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", what, Py_TYPE(got)->tp_name);
}

// Convert a one-character str to its code point. Anything else raises the
// interpreter's usual messages for that conversion. Returns false on error.
inline bool to_ucs4(PyObject* obj, Py_UCS4* out) noexcept {
    if (PyUnicode_Check(obj)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(obj);
        if (n == 1) {
            *out = PyUnicode_READ_CHAR(obj, 0);
            return true;
        }
        PyErr_Format(PyExc_ValueError,
                     "only single character unicode strings can be converted to Py_UCS4, got length %zd", n);
        return false;
    }
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "ord() expected string of length 1, but %.200s found", "NoneType");
        return false;
    }
    raise_expected("str", obj);
    return false;
}

// Signed 32-bit conversion with the messages of a C `int` field.
inline bool to_int32(PyObject* obj, int32_t* out) noexcept {
    if (!PyLong_Check(obj)) {
        if (!PyIndex_Check(obj)) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
            return false;
        }
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v == -1 && PyErr_Occurred()) {
        return false;
    }
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<int32_t>(v);
    return true;
}

// Unsigned 32-bit conversion with the messages of a C `uint32_t` field.
inline bool to_uint32(PyObject* obj, uint32_t* out) noexcept {
    if (!PyLong_Check(obj) && !PyIndex_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v == -1 && PyErr_Occurred()) {
        return false;
    }
    if (overflow < 0 || (overflow == 0 && v < 0)) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to uint32_t");
        return false;
    }
    if (overflow > 0 || v > static_cast<long long>(UINT32_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to uint32_t");
        return false;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

// Truth value as a 0/1 int32; -1 on error.
inline int truth(PyObject* obj) noexcept { return PyObject_IsTrue(obj); }

}  // namespace vx
