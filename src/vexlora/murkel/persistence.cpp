// Pickling and copying of the module's classes. Every class saves its native
// fields as a state tuple in alphabetical field order, tagged with a layout
// checksum; a module-level reconstructor per class checks the checksum,
// creates a bare instance and writes the fields back. One generic reduce,
// setstate and reconstructor serve every class, driven by the field
// tables of class_fields.cpp.
//
// Pickled data names the reconstructors and carries the checksums, so both
// are a stored format: old pickles must keep loading, and a hostile pickle
// must be refused with an exception, never read out of bounds.
#include <array>
#include <cstddef>
#include <string>
#include <utility>

#include "murkel/class_fields.h"
#include "murkel/registry.h"
#include "murkel/state.h"
#include "shared/args.h"
#include "shared/errors.h"
#include "shared/function.h"
#include "shared/pyref.h"

namespace vx::murkel {

PyTypeObject* const kClassTypes[kClassCount] = {
#define VX_CLASS_TYPE(Class, ...) &Class##Type,
    VX_MURKEL_CLASSES(VX_CLASS_TYPE)
#undef VX_CLASS_TYPE
};

namespace {

constexpr const char kUnpicklePrefix[] = "__pyx_unpickle_";

std::string unpickle_function_name(int cls) { return std::string(kUnpicklePrefix) + kClassFields[cls].class_name; }

// Failure paths only: "vexlora.murkel.<Class>.<method>" or
// "vexlora.murkel.__pyx_unpickle_<Class>".
void traceback_method(int cls, const char* method) {
    std::string where = std::string(kModuleName) + "." + kClassFields[cls].class_name + "." + method;
    VX_TRACEBACK(where.c_str());
}

void traceback_unpickle(int cls) {
    std::string where = std::string(kModuleName) + "." + unpickle_function_name(cls);
    VX_TRACEBACK(where.c_str());
}

// Interned reconstructor names, for the lookup in the module namespace.
PyObject* unpickle_names[kClassCount] = {};

PyObject* unpickle_name(int cls) noexcept {
    if (unpickle_names[cls] == nullptr) {
        unpickle_names[cls] = PyUnicode_InternFromString(unpickle_function_name(cls).c_str());
    }
    return unpickle_names[cls];  // borrowed (kept for the life of the process)
}

// Write one state item into its field, converting it to the field's type.
int assign_field(PyObject* self, const FieldDesc& f, PyObject* item) noexcept {
    switch (f.kind) {
        case FieldKind::Int32:
        case FieldKind::Run: {
            int32_t v = 0;
            if (!to_int32(item, &v)) {
                return -1;
            }
            field_at<int32_t>(self, f) = v;
            return 0;
        }
        case FieldKind::UInt32: {
            uint32_t v = 0;
            if (!to_uint32(item, &v)) {
                return -1;
            }
            field_at<uint32_t>(self, f) = v;
            return 0;
        }
        case FieldKind::Bool: {
            int v = PyObject_IsTrue(item);
            if (v < 0) {
                return -1;
            }
            field_at<int32_t>(self, f) = v;
            return 0;
        }
        case FieldKind::Str:
            if (item != Py_None && !PyUnicode_CheckExact(item)) {
                raise_expected("str", item);
                return -1;
            }
            break;
        case FieldKind::CharInfo:
            // The plugin reads this field as a record, so nothing else may enter.
            if (item != Py_None && !is_char_info(item)) {
                raise_expected("CharInfo", item);
                return -1;
            }
            break;
        case FieldKind::Object:
            break;
    }
    replace_field(field_at<PyObject*>(self, f), item);
    return 0;
}

// Update the instance's __dict__ with the extra last item of a state tuple.
int restore_dict(PyObject* self, PyObject* extra) noexcept {
    Ref dict = Ref::steal(PyObject_GetAttr(self, g.names.n___dict__));
    if (!dict) {
        return -1;
    }
    if (PyDict_CheckExact(dict.get()) && PyDict_CheckExact(extra)) {
        return PyDict_Update(dict.get(), extra);
    }
    Ref result = Ref::steal(PyObject_CallMethodOneArg(dict.get(), g.names.n_update, extra));
    return result ? 0 : -1;
}

// Write a state tuple into an instance of the class. The item count is checked
// first, so a short tuple changes nothing; after that the fields are assigned
// in state order and those assigned before a failure keep their new values.
// Conversions and dropped old values may run Python code; the items stay
// alive in the caller's tuple, and each field is written right after its own
// conversion, never from a value read before.
int apply_state(int cls, PyObject* self, PyObject* state) noexcept {
    const ClassFields& c = kClassFields[cls];
    Py_ssize_t size = PyTuple_GET_SIZE(state);
    if (size < c.count) {
        PyErr_Format(PyExc_ValueError, "%s state needs %zd items, got %zd", c.class_name, c.count, size);
        return -1;
    }
    for (Py_ssize_t i = 0; i < c.count; ++i) {
        if (assign_field(self, c.fields[c.state_order[i]], PyTuple_GET_ITEM(state, i)) < 0) {
            return -1;
        }
    }
    if (size > c.count) {
        PyObject* extra = PyTuple_GET_ITEM(state, c.count);
        int truthy = PyObject_IsTrue(extra);
        if (truthy < 0 || (truthy && restore_dict(self, extra) < 0)) {
            return -1;
        }
    }
    return 0;
}

PyObject* reduce(int cls, PyObject* self) noexcept {
    const ClassFields& c = kClassFields[cls];
    Ref state = Ref::steal(PyTuple_New(c.count));
    if (!state) {
        return nullptr;
    }
    bool has_reference = false;
    for (Py_ssize_t i = 0; i < c.count; ++i) {
        const FieldDesc& f = c.fields[c.state_order[i]];
        PyObject* value = field_get(self, f);
        if (value == nullptr) {
            return nullptr;
        }
        if (is_reference(f.kind) && value != Py_None) {
            has_reference = true;
        }
        PyTuple_SET_ITEM(state.get(), i, value);
    }

    Ref dict = Ref::steal(PyObject_GetAttr(self, g.names.n___dict__));
    if (!dict) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return nullptr;
        }
        PyErr_Clear();
    }
    bool use_setstate = has_reference;
    if (dict && dict.get() != Py_None) {
        int truthy = PyObject_IsTrue(dict.get());
        if (truthy < 0) {
            return nullptr;
        }
        if (truthy) {
            // Carry a Python subclass's attributes as one extra last item.
            Ref extended = Ref::steal(PyTuple_New(c.count + 1));
            if (!extended) {
                return nullptr;
            }
            for (Py_ssize_t i = 0; i < c.count; ++i) {
                PyTuple_SET_ITEM(extended.get(), i, Py_NewRef(PyTuple_GET_ITEM(state.get(), i)));
            }
            PyTuple_SET_ITEM(extended.get(), c.count, dict.release());
            state = std::move(extended);
            use_setstate = true;
        }
    }

    PyObject* name = unpickle_name(cls);
    Ref reconstructor = Ref::steal(name ? get_global(name) : nullptr);
    Ref checksum = Ref::steal(PyLong_FromLong(c.checksums[0]));
    if (!reconstructor || !checksum) {
        return nullptr;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    if (use_setstate) {
        return Py_BuildValue("(O(ONO)N)", reconstructor.get(), type, checksum.release(), Py_None, state.release());
    }
    return Py_BuildValue("(O(ONN))", reconstructor.get(), type, checksum.release(), state.release());
}

template <int Cls>
PyObject* reduce_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* result = nullptr;
    if (parse_no_args("__reduce__", nargs, kwnames) == 0) {
        result = reduce(Cls, self);
    }
    if (result == nullptr) {
        traceback_method(Cls, "__reduce__");
    }
    return result;
}

template <int Cls>
PyObject* setstate_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"state"};
    static const ArgSpec params{"__setstate__", names, 1, 1};
    PyObject* state = nullptr;
    if (parse_args(params, args, nargs, kwnames, &state) == 0) {
        ++g.record_writes;  // a record's fields may change here
        if (state == Py_None) {
            PyErr_SetString(PyExc_TypeError, "cannot pass None into a C function argument that is declared 'not None'");
        } else if (!PyTuple_CheckExact(state)) {
            raise_expected("tuple", state);
        } else if (apply_state(Cls, self, state) == 0) {
            Py_RETURN_NONE;
        }
    }
    traceback_method(Cls, "__setstate__");
    return nullptr;
}

// PickleError for a checksum that matches none of the class's layouts.
void raise_incompatible(int cls, long long given) noexcept {
    const ClassFields& c = kClassFields[cls];
    Ref pickle = Ref::steal(PyImport_ImportModule("pickle"));
    Ref error = pickle ? Ref::steal(PyObject_GetAttrString(pickle.get(), "PickleError")) : Ref();
    if (!error) {
        return;
    }
    // Formatted with Python's % so that any given value prints in full.
    const char* format;
    Ref values;
    if (c.checksums[1] == c.checksums[0]) {
        format = "Incompatible checksums (0x%x vs (0x%x) = (%s))";
        values = Ref::steal(Py_BuildValue("(Lls)", given, c.checksums[0], c.member_text));
    } else if (c.checksums[2] == c.checksums[1]) {
        format = "Incompatible checksums (0x%x vs (0x%x, 0x%x) = (%s))";
        values = Ref::steal(Py_BuildValue("(Llls)", given, c.checksums[0], c.checksums[1], c.member_text));
    } else {
        format = "Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))";
        values =
            Ref::steal(Py_BuildValue("(Lllls)", given, c.checksums[0], c.checksums[1], c.checksums[2], c.member_text));
    }
    Ref format_text = Ref::steal(PyUnicode_FromString(format));
    Ref message = values && format_text ? Ref::steal(PyUnicode_Format(format_text.get(), values.get())) : Ref();
    if (message) {
        PyErr_SetObject(error.get(), message.get());
    }
}

PyObject* reconstruct(int cls, PyObject* type, PyObject* checksum_arg, PyObject* state) noexcept {
    const ClassFields& c = kClassFields[cls];
    long long checksum = PyLong_AsLongLong(checksum_arg);
    if (checksum == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (state != Py_None && !PyTuple_CheckExact(state)) {
        raise_arg_type("state", "tuple", state);
        return nullptr;
    }
    if (checksum != c.checksums[0] && checksum != c.checksums[1] && checksum != c.checksums[2]) {
        raise_incompatible(cls, checksum);
        return nullptr;
    }
    // class.__new__(type): refuses a type that is not the class or a subclass
    // with the interpreter's own messages, and never runs __init__.
    PyObject* cls_type = reinterpret_cast<PyObject*>(kClassTypes[cls]);
    Ref new_fn = Ref::steal(PyObject_GetAttrString(cls_type, "__new__"));
    Ref instance = new_fn ? Ref::steal(PyObject_CallOneArg(new_fn.get(), type)) : Ref();
    if (!instance) {
        return nullptr;
    }
    if (!PyObject_TypeCheck(instance.get(), kClassTypes[cls])) {
        PyErr_Format(PyExc_TypeError, "%s.__new__ returned a %.200s object", kClassTypes[cls]->tp_name,
                     Py_TYPE(instance.get())->tp_name);
        return nullptr;
    }
    if (state != Py_None && apply_state(cls, instance.get(), state) < 0) {
        return nullptr;
    }
    return instance.release();
}

template <int Cls>
PyObject* unpickle_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const std::string func_name = unpickle_function_name(Cls);
    static const char* const names[] = {"type", "checksum", "state"};
    static const ArgSpec params{func_name.c_str(), names, 3, 3};
    PyObject* a[3];
    PyObject* result = nullptr;
    if (parse_args(params, args, nargs, kwnames, a) == 0) {
        result = reconstruct(Cls, a[0], a[1], a[2]);
    }
    if (result == nullptr) {
        traceback_unpickle(Cls);
    }
    return result;
}

template <std::size_t... I>
constexpr auto reduce_methods(std::index_sequence<I...>) {
    return std::array<NativeImpl, sizeof...(I)>{&reduce_method<static_cast<int>(I)>...};
}
template <std::size_t... I>
constexpr auto setstate_methods(std::index_sequence<I...>) {
    return std::array<NativeImpl, sizeof...(I)>{&setstate_method<static_cast<int>(I)>...};
}
template <std::size_t... I>
constexpr auto unpickle_functions(std::index_sequence<I...>) {
    return std::array<NativeImpl, sizeof...(I)>{&unpickle_function<static_cast<int>(I)>...};
}

constexpr auto kReduceMethods = reduce_methods(std::make_index_sequence<kClassCount>());
constexpr auto kSetstateMethods = setstate_methods(std::make_index_sequence<kClassCount>());
constexpr auto kUnpickleFunctions = unpickle_functions(std::make_index_sequence<kClassCount>());

int class_index(PyTypeObject* type) noexcept {
    for (int i = 0; i < kClassCount; ++i) {
        if (kClassTypes[i] == type) {
            return i;
        }
    }
    return -1;
}

}  // namespace

int attach_persistence_methods(PyTypeObject* type) noexcept {
    int cls = class_index(type);
    if (cls < 0) {
        PyErr_Format(PyExc_SystemError, "no field table for %s", type->tp_name);
        return -1;
    }
    const FunctionDef reduce_def{"__reduce__", kReduceMethods[cls], nullptr, "($self)"};
    const FunctionDef setstate_def{"__setstate__", kSetstateMethods[cls], nullptr, "($self, state)"};
    if (unpickle_name(cls) == nullptr || add_method(type, reduce_def, kModuleName) < 0) {
        return -1;
    }
    return add_method(type, setstate_def, kModuleName);
}

int attach_char_info_persistence() noexcept { return attach_persistence_methods(&CharInfoType); }

int define_unpickle_functions(PyObject* module) noexcept {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    for (int cls = 0; cls < kClassCount; ++cls) {
        const std::string name = unpickle_function_name(cls);
        const FunctionDef def{name.c_str(), kUnpickleFunctions[cls], nullptr, "(type, checksum, state)"};
        Ref function = Ref::steal(new_function(def, kModuleName, nullptr));
        PyObject* key = unpickle_name(cls);
        if (!function || key == nullptr || PyDict_SetItem(dict, key, function.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace vx::murkel
