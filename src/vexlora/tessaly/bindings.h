// Module globals read on every call (and murkel's page table, read for every
// record), without a dictionary lookup per use.
//
// A dictionary watcher on tessaly's and murkel's namespaces follows what each
// watched name is bound to: every store, deletion or clearing of a namespace
// reaches the watcher before it takes effect, so the value it last reported
// is what a lookup would find right now, and it stays alive while bound (the
// namespace holds it). A change the watcher cannot read without running
// Python code (a key that is not an exact str, a namespace rebuilt wholesale)
// makes the binding unknown for good; so does having no watcher slot. An
// unknown binding, or a name absent from its namespace (the built-in names
// come next), is looked up as before.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "tessaly/state.h"

namespace vx::tessaly {

struct Binding {
    PyObject* const* name;      // where start-up puts the interned name
    PyObject* dict = nullptr;   // the watched namespace (held for the life of the process)
    PyObject* value = nullptr;  // borrowed from the namespace while bound; nullptr when absent
    bool known = false;
};

struct Bindings {
    Binding judge{&g.names.n_is_suspiciously_successive_range};  // in tessaly's namespace
    Binding ascii_records{&g.names.n__ASCII_CHAR_INFO};
    Binding too_small{&g.names.n_TOO_SMALL_SEQUENCE};
    Binding itemgetter{&g.names.n_itemgetter};
    Binding pages{&g.names.n__CHAR_INFO_PAGES};  // in murkel's namespace
};

extern Bindings bindings;

// Start following the names (end of start-up); 0, or -1 with an exception.
int watch_bindings(PyObject* murkel_dict) noexcept;

// The global `b` names, as get_global would return it: a new reference, or
// nullptr with an exception.
inline PyObject* bound_global(const Binding& b) noexcept {
    if (b.known && b.value != nullptr) [[likely]] {
        return Py_NewRef(b.value);
    }
    return get_global(*b.name);
}

// murkel's page table when it can be read directly: bound in murkel's
// namespace to a list. Borrowed, valid until Python code runs.
inline PyObject* cached_page_table() noexcept {
    const Binding& b = bindings.pages;
    return b.known && b.value != nullptr && PyList_CheckExact(b.value) ? b.value : nullptr;
}

// The record murkel's cache holds for `cp`, read straight from its page
// table: what _char_info_from_codepoint would return for it, without the
// call. Borrowed, valid until Python code runs. nullptr (no exception) when
// the plain read does not apply: the table is unknown or not a list, the
// page is missing or not a list of 256 slots, the slot holds no record. The
// caller then asks murkel, which builds, refuses or reports as it does.
inline CharInfoObject* cached_record(Py_UCS4 cp) noexcept {
    PyObject* table = cached_page_table();
    const Py_ssize_t page_index = static_cast<Py_ssize_t>(cp >> 8);
    if (table == nullptr || cp > 0x10FFFF || page_index >= PyList_GET_SIZE(table)) {
        return nullptr;
    }
    PyObject* page = PyList_GET_ITEM(table, page_index);
    if (!PyList_CheckExact(page) || PyList_GET_SIZE(page) != 256) {
        return nullptr;
    }
    PyObject* record = PyList_GET_ITEM(page, cp & 0xFF);
    return is_char_info(record) ? reinterpret_cast<CharInfoObject*>(record) : nullptr;
}

}  // namespace vx::tessaly
