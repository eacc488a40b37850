// The function object type both modules use for their Python-visible
// functions and methods.
//
// Unlike a plain built-in function it reports its module, name, qualified
// name, docstring and __defaults__, binds as a method when stored in a class,
// and is called through vectorcall. Module functions receive self == nullptr;
// methods receive the instance, already checked against the owning type.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vx {

using NativeImpl = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

struct FunctionDef {
    const char* name;
    NativeImpl impl;
    const char* doc;                       // nullptr for none
    const char* text_signature = nullptr;  // e.g. "(text, threshold=0.1)"; "($self, x)" for methods
};

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    NativeImpl impl;
    PyTypeObject* owner;  // for methods: the class whose instances are accepted as self
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;  // tuple or nullptr
    PyObject* dict;
    const char* text_signature;
};

// Guard a native entry that may be reached again from the Python code it
// runs: 0 to go on (pair it with leave_native_call), or -1 with
// RecursionError when the recursion limit is reached or the C stack is
// nearly exhausted. Every function object made here is guarded already.
int enter_native_call() noexcept;
void leave_native_call() noexcept;

// Ready the function type of the calling module (once per module). Its type
// name is "<module_name>.function".
int function_type_ready(const char* type_name) noexcept;
extern PyTypeObject FunctionType;

// A module-level function: __module__ = module_name, __qualname__ = name.
// `defaults` is borrowed and may be nullptr.
PyObject* new_function(const FunctionDef& def, const char* module_name, PyObject* defaults) noexcept;

// A method of `owner`: __qualname__ = "<Class>.<name>".
PyObject* new_method(const FunctionDef& def, const char* module_name, PyTypeObject* owner) noexcept;

// Create a method and store it in the class dictionary of a type this module
// defines (and tell the type system that the type changed).
int add_method(PyTypeObject* owner, const FunctionDef& def, const char* module_name) noexcept;

}  // namespace vx
