// Building (language, ratio) result lists: the name of a language index and
// the final ordering, highest ratio first.
#pragma once

#include "shared/pyref.h"
#include "tessaly/state.h"

namespace vx::tessaly {

// Name of a language index (new reference), or nullptr with RuntimeError
// when the names list no longer covers it. The list is reachable from Python
// (through the collector's referrer lists), so the name is held, not
// borrowed, across whatever the caller does next.
inline PyObject* language_name(int language) noexcept {
    PyObject* names = g.language_names;
    if (names == nullptr || !PyList_CheckExact(names) || language < 0 || language >= PyList_GET_SIZE(names)) {
        PyErr_Format(PyExc_RuntimeError, "no language name for index %d", language);
        return nullptr;
    }
    return Py_NewRef(PyList_GET_ITEM(names, language));
}

// sorted(pairs, key=itemgetter(1), reverse=True): new list or nullptr. The
// key comes from the module's `itemgetter`, looked up at each call; the sort
// is stable, so equal ratios keep their order.
inline PyObject* sorted_by_ratio(PyObject* pairs) noexcept {
    Ref itemgetter = Ref::steal(get_global(g.names.n_itemgetter));
    if (!itemgetter) {
        return nullptr;
    }
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one) {
        return nullptr;
    }
    Ref key = Ref::steal(PyObject_CallOneArg(itemgetter.get(), one.get()));
    if (!key) {
        return nullptr;
    }
    Ref kwnames = Ref::steal(PyTuple_Pack(2, g.names.n_key, g.names.n_reverse));
    if (!kwnames) {
        return nullptr;
    }
    PyObject* args[] = {nullptr, pairs, key.get(), Py_True};
    return PyObject_Vectorcall(g.builtin_sorted, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get());
}

}  // namespace vx::tessaly
