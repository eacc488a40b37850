// Field descriptions: each class's native fields are declared once
// (shared/murkel_classes.h) and described by a table of these (name, kind,
// offset) that drives attribute access, the state tuple of pickling
// (alphabetical order) and the layout checksums.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace vx {

enum class FieldKind : uint8_t {
    Int32,     // signed 32-bit counter (or bit set)
    Run,       // signed 32-bit count of a pending run, which the rule adds to
               // other counters in one step (so they need that much room)
    UInt32,    // unsigned 32-bit code point
    Bool,      // 32-bit integer holding 0 or 1, seen from Python as bool
    Str,       // object reference holding exactly a str, or None
    Object,    // object reference holding anything (None when empty)
    CharInfo,  // object reference holding a CharInfo record, or None
};

// The C type a field of each kind is stored as.
template <FieldKind K>
struct FieldStorage {
    using type = int32_t;  // Int32, Run, Bool
};
template <>
struct FieldStorage<FieldKind::UInt32> {
    using type = uint32_t;
};
template <>
struct FieldStorage<FieldKind::Str> {
    using type = PyObject*;
};
template <>
struct FieldStorage<FieldKind::Object> {
    using type = PyObject*;
};
template <>
struct FieldStorage<FieldKind::CharInfo> {
    using type = PyObject*;
};
template <FieldKind K>
using field_t = typename FieldStorage<K>::type;

// Does a field of this kind hold an object reference?
constexpr bool is_reference(FieldKind kind) noexcept {
    return kind == FieldKind::Str || kind == FieldKind::Object || kind == FieldKind::CharInfo;
}

// A signed 32-bit counter, which must not wrap?
constexpr bool is_counter(FieldKind kind) noexcept { return kind == FieldKind::Int32 || kind == FieldKind::Run; }

struct FieldDesc {
    const char* name;
    FieldKind kind;
    Py_ssize_t offset;
};

// One class: its fields in declaration order and in state (alphabetical) order,
// and its three accepted layout checksums (the first is written).
struct ClassFields {
    const char* class_name;
    const FieldDesc* fields;  // declaration order
    Py_ssize_t count;
    const uint8_t* state_order;  // indices into `fields`, alphabetical by name
    long checksums[3];           // SHA-256, SHA-1, MD5 prefixes (28 bits)
    const char* member_text;     // state-order names joined with ", "
};

template <class T>
inline T& field_at(PyObject* obj, const FieldDesc& f) noexcept {
    return *reinterpret_cast<T*>(reinterpret_cast<char*>(obj) + f.offset);
}

// Read one field as a new Python object.
inline PyObject* field_get(PyObject* obj, const FieldDesc& f) noexcept {
    switch (f.kind) {
        case FieldKind::Int32:
        case FieldKind::Run:
            return PyLong_FromLong(field_at<int32_t>(obj, f));
        case FieldKind::UInt32:
            return PyLong_FromUnsignedLong(field_at<uint32_t>(obj, f));
        case FieldKind::Bool:
            return PyBool_FromLong(field_at<int32_t>(obj, f));
        case FieldKind::Str:
        case FieldKind::Object:
        case FieldKind::CharInfo: {
            PyObject* v = field_at<PyObject*>(obj, f);
            return Py_NewRef(v ? v : Py_None);
        }
    }
    Py_UNREACHABLE();
}

}  // namespace vx
