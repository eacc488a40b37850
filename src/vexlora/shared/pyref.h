// Owning reference holder: the one way both modules hold a strong reference.
//
// A borrowed pointer is wrapped explicitly with Ref::borrow (which takes a new
// reference), a new reference is adopted with Ref::steal, and handing the
// reference back to the interpreter is an explicit release(). Error paths then
// cannot leak: whatever a Ref holds is dropped when it goes out of scope.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vx {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Adopt a new reference (may be null, as returned by a failing API call).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Take a new reference to a borrowed pointer.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Give the reference away (to the interpreter or a container that steals).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset(PyObject* p = nullptr) noexcept {
        PyObject* old = std::exchange(p_, p);
        Py_XDECREF(old);
    }
    template <class T>
    T* as() const noexcept {
        return reinterpret_cast<T*>(p_);
    }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Replace a strong reference stored in an object field: the new value is
// taken (incref) before the old one is dropped, so a field never points at a
// freed object even if dropping the old one runs arbitrary code.
inline void replace_field(PyObject*& field, PyObject* value) noexcept {
    PyObject* old = field;
    Py_INCREF(value);
    field = value;
    Py_XDECREF(old);
}

}  // namespace vx
