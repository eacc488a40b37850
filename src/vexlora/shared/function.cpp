#include "shared/function.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__linux__)
#include <pthread.h>
#endif

#include "shared/pyref.h"

namespace vx {

namespace {

// Stack kept free below the deepest native entry we allow: room for one more
// level of our own frames and the interpreter's frames between two entries
// (tens of KB, more in sanitizer builds), and for raising the error.
constexpr uintptr_t kStackReserve = 256 * 1024;

#if defined(__linux__)
// The calling thread's stack: an entry is refused in [low, floor).
struct StackBounds {
    bool known = false;
    uintptr_t low = 0;
    uintptr_t floor = 0;
};
thread_local StackBounds stack_bounds;

void find_stack_bounds(StackBounds& bounds) noexcept {
    bounds.known = true;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) {
        return;  // unknown: an empty range refuses nothing
    }
    void* low = nullptr;
    size_t size = 0;
    const int rc = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    if (rc == 0 && low != nullptr) {
        bounds.low = reinterpret_cast<uintptr_t>(low);
        // A thread started with a small stack still gets three quarters of it.
        bounds.floor = bounds.low + std::min<uintptr_t>(kStackReserve, size / 4);
    }
}

// A frame outside the thread's stack (code run on a stack of its own, as
// some coroutine libraries do) is not judged.
bool stack_nearly_exhausted() noexcept {
    StackBounds& bounds = stack_bounds;
    if (!bounds.known) {
        find_stack_bounds(bounds);
    }
    const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    return here >= bounds.low && here < bounds.floor;
}
#else
bool stack_nearly_exhausted() noexcept { return false; }
#endif

// Nesting depth of our native entries on this thread.
thread_local int native_depth = 0;

}  // namespace

int enter_native_call() noexcept {
    // The interpreter's recursion count bounds the number of nested levels,
    // but not their size: a level of ours plus the Python code it calls back
    // can take more C stack than the count allows for. So the stack left is
    // checked as well, and an entry refused while there is still room to
    // raise and unwind.
    if (stack_nearly_exhausted()) {
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded in a vexlora function (C stack nearly exhausted)");
        return -1;
    }
    // The interpreter's C-level budget alone is not enough either: 3.13
    // allows 10000 nested C calls, more than our frames fit in a default
    // 8 MiB stack, so our nesting also stops at the Python recursion limit.
    if (native_depth >= Py_GetRecursionLimit()) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded in a vexlora function");
        return -1;
    }
    if (Py_EnterRecursiveCall(" in a vexlora function")) {
        return -1;
    }
    ++native_depth;
    return 0;
}

void leave_native_call() noexcept {
    --native_depth;
    Py_LeaveRecursiveCall();
}

namespace {

PyObject* call_impl(FunctionObject* f, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // Our functions call back into host code, which may call them again: a
    // cycle must end in RecursionError rather than in a stack overflow.
    if (enter_native_call() < 0) {
        return nullptr;
    }
    PyObject* result = f->impl(self, args, nargs, kwnames);
    leave_native_call();
    return result;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (f->owner == nullptr) {
        return call_impl(f, nullptr, args, nargs, kwnames);
    }
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "unbound method %U() needs an argument", f->qualname);
        return nullptr;
    }
    PyObject* self = args[0];
    if (!PyObject_TypeCheck(self, f->owner)) {
        PyErr_Format(PyExc_TypeError, "descriptor '%U' for '%.100s' objects doesn't apply to a '%.100s' object",
                     f->name, f->owner->tp_name, Py_TYPE(self)->tp_name);
        return nullptr;
    }
    return call_impl(f, self, args + 1, nargs - 1, kwnames);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_TYPE(self)->tp_free(self);
}

PyObject* function_repr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname); }
PyObject* get_doc(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return Py_NewRef(f->doc ? f->doc : Py_None);
}
PyObject* get_defaults(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return Py_NewRef(f->defaults ? f->defaults : Py_None);
}
// Lets inspect.signature() describe the function.
PyObject* get_text_signature(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (f->text_signature == nullptr) {
        Py_RETURN_NONE;
    }
    return PyUnicode_FromString(f->text_signature);
}
PyObject* get_module(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return Py_NewRef(f->module ? f->module : Py_None);
}
int set_module(PyObject* self, PyObject* value, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_XSETREF(f->module, Py_XNewRef(value));
    return 0;
}

// Pickling a function stores a reference by name, as for Python functions.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* make(const FunctionDef& def, const char* module_name, PyTypeObject* owner, PyObject* defaults) noexcept {
    Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
    if (!name) {
        return nullptr;
    }
    Ref qualname = owner ? Ref::steal(PyUnicode_FromFormat("%s.%s", std::strrchr(owner->tp_name, '.') + 1, def.name))
                         : Ref::borrow(name.get());
    Ref module = Ref::steal(PyUnicode_InternFromString(module_name));
    Ref doc = def.doc ? Ref::steal(PyUnicode_FromString(def.doc)) : Ref();
    if (!qualname || !module || (def.doc && !doc)) {
        return nullptr;
    }
    auto* f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (f == nullptr) {
        return nullptr;
    }
    f->vectorcall = function_vectorcall;
    f->impl = def.impl;
    f->owner = owner;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = module.release();
    f->doc = doc.release();
    f->defaults = Py_XNewRef(defaults);
    f->dict = nullptr;
    f->text_signature = def.text_signature;
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

}  // namespace

PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};

int function_type_ready(const char* type_name) noexcept {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) {
        return 0;
    }
    FunctionType.tp_name = type_name;
    FunctionType.tp_basicsize = sizeof(FunctionObject);
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE;
    FunctionType.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    FunctionType.tp_call = PyVectorcall_Call;
    FunctionType.tp_descr_get = function_descr_get;
    FunctionType.tp_traverse = function_traverse;
    FunctionType.tp_clear = function_clear;
    FunctionType.tp_dealloc = function_dealloc;
    FunctionType.tp_repr = function_repr;
    FunctionType.tp_getset = function_getset;
    FunctionType.tp_methods = function_methods;
    FunctionType.tp_dictoffset = offsetof(FunctionObject, dict);
    return PyType_Ready(&FunctionType);
}

PyObject* new_function(const FunctionDef& def, const char* module_name, PyObject* defaults) noexcept {
    return make(def, module_name, nullptr, defaults);
}

PyObject* new_method(const FunctionDef& def, const char* module_name, PyTypeObject* owner) noexcept {
    return make(def, module_name, owner, nullptr);
}

int add_method(PyTypeObject* owner, const FunctionDef& def, const char* module_name) noexcept {
    Ref method = Ref::steal(new_method(def, module_name, owner));
    if (!method) {
        return -1;
    }
    PyObject* dict = PyType_GetDict(owner);  // new reference in 3.12
    if (dict == nullptr) {
        return -1;
    }
    int rc = PyDict_SetItemString(dict, def.name, method.get());
    Py_DECREF(dict);
    if (rc < 0) {
        return -1;
    }
    PyType_Modified(owner);
    return 0;
}

}  // namespace vx
