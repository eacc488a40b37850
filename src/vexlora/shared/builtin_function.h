// Recognising the interpreter's own built-in functions, so that native code
// may compute what a call to one of them would return without making the
// call, while any replacement bound in its place is still called.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vx {

class BuiltinFunction {
public:
    explicit constexpr BuiltinFunction(const char* name) noexcept : name_(name) {}

    // Is `fn` the built-in of this name, as defined by the builtins module
    // (not an object rebound under its name)?
    bool is(PyObject* fn) noexcept;

private:
    const char* name_;
    PyCFunction impl_ = nullptr;
    bool searched_ = false;
};

}  // namespace vx
