// The character record cache: a lazily filled table of 4352 pages of 256
// records covering every code point, and the Python entry point _char_info.
#include "murkel/registry.h"
#include "murkel/state.h"
#include "shared/args.h"
#include "shared/errors.h"
#include "shared/function.h"
#include "shared/pyref.h"

namespace vx::murkel {

namespace {

constexpr const char kWhere[] = "vexlora.murkel._char_info_from_codepoint";
constexpr Py_UCS4 kLastCodePoint = 0x10FFFF;
constexpr Py_ssize_t kPageSize = 256;

// Rule for this file: Python code can run during any lookup of a global (a
// hostile key's __eq__ in the namespace), any store into a list (the dropped
// entry's finalizer), any allocation (the collector) and every record build
// (the host). Tables, pages and records are therefore held by strong
// references, and a page's shape is checked after the last such step and
// before its slots are read.

// The page table as a list, refusing anything that could make us read out of
// bounds (the table is rebindable from Python).
PyObject* page_table() noexcept {
    PyObject* pages = get_global(g.names.n__CHAR_INFO_PAGES);
    if (pages != nullptr && !PyList_CheckExact(pages)) {
        PyErr_Format(PyExc_TypeError, "_CHAR_INFO_PAGES must be a list, got %.200s", Py_TYPE(pages)->tp_name);
        Py_CLEAR(pages);
    }
    return pages;
}

CharInfoObject* lookup_or_build(Py_UCS4 cp) noexcept {
    if (cp > kLastCodePoint) {
        PyErr_Format(PyExc_ValueError, "code point 0x%X is outside the Unicode range", static_cast<unsigned>(cp));
        return nullptr;
    }
    Py_ssize_t page_index = static_cast<Py_ssize_t>(cp >> 8);
    Py_ssize_t slot = static_cast<Py_ssize_t>(cp & 0xFF);
    Ref pages = Ref::steal(page_table());
    if (!pages) {
        return nullptr;
    }
    if (page_index >= PyList_GET_SIZE(pages.get())) {
        PyErr_Format(PyExc_IndexError, "_CHAR_INFO_PAGES has no page %zd", page_index);
        return nullptr;
    }
    Ref page = Ref::borrow(PyList_GET_ITEM(pages.get(), page_index));
    if (page.get() == Py_None) {
        Ref fresh = Ref::steal(PyList_New(kPageSize));
        if (!fresh) {
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < kPageSize; ++i) {
            PyList_SET_ITEM(fresh.get(), i, Py_NewRef(Py_None));
        }
        // Store through a fresh lookup of the global, as the table may be rebound.
        Ref table = Ref::steal(page_table());
        if (!table) {
            return nullptr;
        }
        if (page_index >= PyList_GET_SIZE(table.get())) {
            PyErr_Format(PyExc_IndexError, "_CHAR_INFO_PAGES has no page %zd", page_index);
            return nullptr;
        }
        if (PyList_SetItem(table.get(), page_index, Py_NewRef(fresh.get())) < 0) {
            return nullptr;
        }
        page = std::move(fresh);
    }
    // Checked only now: storing a fresh page dropped the table's old entry,
    // whose finalizer may have resized the new page through the table.
    if (!PyList_CheckExact(page.get()) || PyList_GET_SIZE(page.get()) != kPageSize) {
        PyErr_Format(PyExc_TypeError, "_CHAR_INFO_PAGES[%zd] must be None or a list of 256 entries, got %.200s",
                     page_index, Py_TYPE(page.get())->tp_name);
        return nullptr;
    }
    PyObject* cached = PyList_GET_ITEM(page.get(), slot);
    if (cached != Py_None) {
        if (!is_char_info(cached)) {
            PyErr_Format(PyExc_TypeError, "_CHAR_INFO_PAGES entry for U+%04X must be None or a CharInfo, got %.200s",
                         static_cast<unsigned>(cp), Py_TYPE(cached)->tp_name);
            return nullptr;
        }
        return reinterpret_cast<CharInfoObject*>(Py_NewRef(cached));
    }
    Ref character = Ref::steal(PyUnicode_FromOrdinal(static_cast<int>(cp)));
    if (!character) {
        return nullptr;
    }
    Ref info = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&CharInfoType), character.get()));
    if (!info) {
        return nullptr;
    }
    // The host ran Python code: the page may have been replaced in the table
    // (our reference keeps it alive) or resized in place. Store only into a
    // page that still has its 256 slots; the caller gets its record anyway.
    if (PyList_CheckExact(page.get()) && PyList_GET_SIZE(page.get()) == kPageSize) {
        Py_SETREF(PyList_GET_ITEM(page.get(), slot), Py_NewRef(info.get()));
    }
    return reinterpret_cast<CharInfoObject*>(info.release());
}

PyObject* py_char_info(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"character"};
    static const ArgSpec spec{"_char_info", names, 1, 1};
    PyObject* character = nullptr;
    Py_UCS4 cp = 0;
    if (parse_args(spec, args, nargs, kwnames, &character) < 0 ||
        !check_exact_or_none(character, &PyUnicode_Type, "character") || !to_ucs4(character, &cp)) {
        VX_TRACEBACK("vexlora.murkel._char_info");
        return nullptr;
    }
    CharInfoObject* info = char_info_from_codepoint(cp);
    if (info == nullptr) {
        VX_TRACEBACK("vexlora.murkel._char_info");
    }
    return reinterpret_cast<PyObject*>(info);
}

}  // namespace

CharInfoObject* char_info_from_codepoint(Py_UCS4 cp) noexcept {
    CharInfoObject* info = lookup_or_build(cp);
    if (info == nullptr) {
        VX_TRACEBACK(kWhere);
    }
    return info;
}

int define_char_info_function(PyObject* module) noexcept {
    static const FunctionDef def{"_char_info", py_char_info,
                                 "Build and cache character information for the public string API.", "(character)"};
    Ref fn = Ref::steal(new_function(def, kModuleName, nullptr));
    return fn ? PyModule_AddObjectRef(module, "_char_info", fn.get()) : -1;
}

}  // namespace vx::murkel
