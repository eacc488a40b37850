// Character records as tessaly reads them: ASCII from murkel's prebuilt
// _ASCII_CHAR_INFO list, everything else from murkel's native cache.
//
// The ASCII list is a rebindable module global, so it is validated before it
// is indexed: a list shorter than 128 entries (ValueError) or an entry that
// is not a CharInfo (TypeError) is refused instead of being read.
#pragma once

#include "shared/ascii_table.h"
#include "tessaly/bindings.h"
#include "tessaly/state.h"

namespace vx::tessaly {

// The current _ASCII_CHAR_INFO as a validated list (new reference), or
// nullptr with an exception.
inline PyObject* ascii_table() noexcept {
    PyObject* table = bound_global(bindings.ascii_records);
    if (table == nullptr) {
        return nullptr;
    }
    if (!PyList_CheckExact(table)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(table)->tp_name);
        Py_DECREF(table);
        return nullptr;
    }
    if (!ascii_table_complete(table)) {
        Py_DECREF(table);
        return nullptr;
    }
    return table;
}

// Record of `cp` (new reference) or nullptr with an exception. `table` is a
// list validated by ascii_table(); its entries are checked on use, and so is
// its length, since Python code run between two lookups (building a record,
// a host callback) may have shrunk the list.
inline CharInfoObject* record_for(PyObject* table, Py_UCS4 cp) noexcept {
    if (cp <= 127) {
        if (!ascii_table_complete(table)) {
            return nullptr;
        }
        PyObject* entry = PyList_GET_ITEM(table, cp);
        if (!is_char_info(entry)) {
            PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(entry)->tp_name,
                         g.char_info_type->tp_name);
            return nullptr;
        }
        return reinterpret_cast<CharInfoObject*>(Py_NewRef(entry));
    }
    return g.char_info_from_codepoint(cp);
}

// Record of the one-character str `character` (code point `cp`) as the
// Python-level code sees it: ASCII from _ASCII_CHAR_INFO, everything else
// through the module global `_char_info` (which the host may rebind). New
// reference, or nullptr with an exception.
inline CharInfoObject* record_via_char_info(PyObject* character, Py_UCS4 cp) noexcept {
    if (cp <= 127) {
        PyObject* table = ascii_table();
        if (table == nullptr) {
            return nullptr;
        }
        CharInfoObject* record = record_for(table, cp);
        Py_DECREF(table);
        return record;
    }
    PyObject* char_info = get_global(g.names.n__char_info);
    if (char_info == nullptr) {
        return nullptr;
    }
    PyObject* record = PyObject_CallOneArg(char_info, character);
    Py_DECREF(char_info);
    if (record != nullptr && !is_char_info(record)) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(record)->tp_name,
                     g.char_info_type->tp_name);
        Py_CLEAR(record);
    }
    return reinterpret_cast<CharInfoObject*>(record);
}

}  // namespace vx::tessaly
