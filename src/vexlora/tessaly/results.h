// Building (language, ratio) result lists: the name of a language index and
// the final ordering, highest ratio first.
#pragma once

#include <cmath>
#include <cstring>

#include "shared/builtin_function.h"
#include "shared/pyref.h"
#include "tessaly/bindings.h"
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

// Insert (key, value) into the first `count` entries of two parallel arrays
// kept in descending key order, after every entry whose key is greater or
// equal: entries with equal keys keep their order of insertion.
template <class Key, class Value>
inline void insert_descending(Key* keys, Value* values, Py_ssize_t count, Key key, Value value) noexcept {
    Py_ssize_t j = count;
    while (j > 0 && keys[j - 1] < key) {
        keys[j] = keys[j - 1];
        values[j] = values[j - 1];
        --j;
    }
    keys[j] = key;
    values[j] = value;
}

// Is `obj` the itemgetter class of the operator module (an immutable type
// of that name, which Python code cannot make)?
inline bool is_operator_itemgetter(PyObject* obj) noexcept {
    if (!PyType_Check(obj)) {
        return false;
    }
    const auto* type = reinterpret_cast<PyTypeObject*>(obj);
    return (type->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) != 0 && std::strcmp(type->tp_name, "operator.itemgetter") == 0;
}

// What sorted(pairs, key=itemgetter(1), reverse=True) returns, computed
// here when every element is an exact pair whose second item is an exact
// float other than NaN (the driver's own results): a new list, stable, by
// ratio descending. nullptr, with nothing raised, when the call must do it.
inline PyObject* sorted_pairs_by_float(PyObject* pairs) noexcept {
    constexpr Py_ssize_t kMostPairs = 256;
    const Py_ssize_t n = PyList_GET_SIZE(pairs);
    if (n > kMostPairs) {
        return nullptr;
    }
    PyObject* items[kMostPairs];
    double keys[kMostPairs];
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(pairs, i);
        if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 2 ||
            !PyFloat_CheckExact(PyTuple_GET_ITEM(item, 1))) {
            return nullptr;
        }
        const double key = PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(item, 1));
        if (std::isnan(key)) {
            return nullptr;
        }
        // Insertion sort: result lists are short.
        insert_descending(keys, items, i, key, item);
    }
    PyObject* sorted = PyList_New(n);
    if (sorted == nullptr) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyList_SET_ITEM(sorted, i, Py_NewRef(items[i]));
    }
    return sorted;
}

// sorted(pairs, key=itemgetter(1), reverse=True): new list or nullptr. The
// key comes from the module's `itemgetter`, looked up at each call; the sort
// is stable, so equal ratios keep their order. With the built-in sorted and
// the operator module's itemgetter, the driver's results are sorted here.
inline PyObject* sorted_by_ratio(PyObject* pairs) noexcept {
    static BuiltinFunction builtin_sorted("sorted");
    Ref itemgetter = Ref::steal(bound_global(bindings.itemgetter));
    if (!itemgetter) {
        return nullptr;
    }
    if (PyList_CheckExact(pairs) && is_operator_itemgetter(itemgetter.get()) && builtin_sorted.is(g.builtin_sorted)) {
        PyObject* sorted = sorted_pairs_by_float(pairs);
        if (sorted != nullptr || PyErr_Occurred()) {
            return sorted;
        }
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
