// Reshaping lists of (language, ratio) results: collapsing alternative
// names of one language, and averaging several lists into one.
#include "shared/args.h"
#include "shared/errors.h"
#include "shared/pyref.h"
#include "shared/rounding.h"
#include "tessaly/functions.h"
#include "tessaly/state.h"
#include "tessaly/unpack.h"

namespace vx::tessaly {

namespace {

constexpr const char kFilterName[] = "vexlora.tessaly.filter_alt_coherence_matches";
constexpr const char kMergeName[] = "vexlora.tessaly.merge_coherence_ratios";

// Both functions group ratios in a dict of their own. It is private, but not
// out of reach: Python code run meanwhile (a ratio's __radd__ or __gt__, a
// name's __eq__ or __hash__, a finalizer) can find it through the
// collector's referrer lists and change or clear it. So no name or list is
// borrowed from it across a call that can run Python code: the groups are
// read back from a snapshot of its items, each held while it is used.

// Append `ratio` to the list stored under `name`, creating it on first sight.
// Returns the list's new length, or -1 with an exception. The list is
// borrowed only from the lookup to the append, which run no Python code.
Py_ssize_t collect(PyObject* groups, PyObject* name, PyObject* ratio) noexcept {
    PyObject* ratios = PyDict_GetItemWithError(groups, name);  // borrowed
    if (ratios == nullptr) {
        if (PyErr_Occurred()) {
            return -1;
        }
        Ref fresh = Ref::steal(PyList_New(0));
        if (!fresh || PyDict_SetItem(groups, name, fresh.get()) < 0) {
            return -1;
        }
        ratios = fresh.get();  // now owned by the dict
    }
    if (PyList_Append(ratios, ratio) < 0) {
        return -1;
    }
    return PyList_GET_SIZE(ratios);
}

// Calls `visit(name, ratios)` for every group in insertion order, both held
// while it runs; `visit` returns -1 on error. The snapshot may itself be
// reached and emptied by Python code, so its length is read at every step.
template <class Visit>
int for_each_group(PyObject* groups, Visit&& visit) noexcept {
    Ref items = Ref::steal(PyDict_Items(groups));
    if (!items) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(items.get(), i));  // a (name, ratios) tuple
        if (visit(PyTuple_GET_ITEM(item.get(), 0), PyTuple_GET_ITEM(item.get(), 1)) < 0) {
            return -1;
        }
    }
    return 0;
}

PyObject* raise_not_iterable() noexcept {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
    return nullptr;
}

// The common case decided without Python calls: every element an exact
// pair whose name is an exact str without an em dash (so `replace` would
// give the name back unchanged), no two names equal. The list then comes back
// as it is. False when the general walk must decide.
bool plainly_distinct(PyObject* results) noexcept {
    constexpr Py_ssize_t kMostPairs = 64;
    const Py_ssize_t n = PyList_GET_SIZE(results);
    if (n > kMostPairs) {
        return false;
    }
    PyObject* names[kMostPairs];
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(results, i);
        if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 2) {
            return false;
        }
        PyObject* name = PyTuple_GET_ITEM(item, 0);
        if (!PyUnicode_CheckExact(name) || PyUnicode_FindChar(name, 0x2014, 0, PyUnicode_GET_LENGTH(name), 1) != -1) {
            return false;
        }
        for (Py_ssize_t j = 0; j < i; ++j) {
            if (names[j] == name || PyUnicode_Compare(names[j], name) == 0) {
                return false;
            }
        }
        names[i] = name;
    }
    return true;
}

PyObject* filter(PyObject* results) noexcept {
    if (results == Py_None) {
        return raise_not_iterable();
    }
    if (!PyList_CheckExact(results)) {
        raise_arg_type("results", "list", results);
        return nullptr;
    }
    if (plainly_distinct(results)) {
        return Py_NewRef(results);
    }
    static PyObject* em_dash = nullptr;
    static PyObject* empty = nullptr;
    if (em_dash == nullptr && (em_dash = PyUnicode_FromString("\xe2\x80\x94")) == nullptr) {
        return nullptr;
    }
    if (empty == nullptr && (empty = PyUnicode_FromStringAndSize(nullptr, 0)) == nullptr) {
        return nullptr;
    }
    Ref groups = Ref::steal(PyDict_New());
    if (!groups) {
        return nullptr;
    }
    bool repeated = false;
    // Index-based walk with a fresh length check, as a list iterator does:
    // a `replace` override may change the list while we walk it.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(results); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(results, i));
        Ref language;
        Ref ratio;
        if (unpack_pair(item.get(), language, ratio) < 0) {
            return nullptr;
        }
        Ref name = Ref::steal(PyObject_CallMethodObjArgs(language.get(), g.names.n_replace, em_dash, empty, nullptr));
        if (!name) {
            return nullptr;
        }
        if (!PyUnicode_CheckExact(name.get())) {
            raise_expected("str", name.get());
            return nullptr;
        }
        Py_ssize_t seen = collect(groups.get(), name.get(), ratio.get());
        if (seen < 0) {
            return nullptr;
        }
        repeated = repeated || seen >= 2;
    }
    if (!repeated) {
        return Py_NewRef(results);
    }
    Ref collapsed = Ref::steal(PyList_New(0));
    if (!collapsed) {
        return nullptr;
    }
    // max() runs the ratios' comparisons.
    const int status = for_each_group(groups.get(), [&](PyObject* name, PyObject* ratios) -> int {
        Ref best = Ref::steal(PyObject_CallOneArg(g.builtin_max, ratios));
        Ref pair = Ref::steal(best ? PyTuple_Pack(2, name, best.get()) : nullptr);
        return pair ? PyList_Append(collapsed.get(), pair.get()) : -1;
    });
    return status < 0 ? nullptr : collapsed.release();
}

// Average of a list of ratios, rounded to 4 places with the host arithmetic.
// The caller holds `ratios`; its length is taken after sum(), as Python code
// would, and asked of the object, which Python code may have replaced.
PyObject* rounded_average(PyObject* ratios) noexcept {
    static PyObject* four = nullptr;
    if (four == nullptr && (four = PyLong_FromLong(4)) == nullptr) {
        return nullptr;
    }
    Ref total = Ref::steal(PyObject_CallOneArg(g.builtin_sum, ratios));
    if (!total) {
        return nullptr;
    }
    const Py_ssize_t size = PyObject_Size(ratios);
    if (size < 0) {
        return nullptr;
    }
    Ref count = Ref::steal(PyLong_FromSsize_t(size));
    if (!count) {
        return nullptr;
    }
    Ref average = Ref::steal(PyNumber_TrueDivide(total.get(), count.get()));
    if (!average) {
        return nullptr;
    }
    if (PyFloat_CheckExact(average.get())) {
        return round_digits_object(g.builtin_round, PyFloat_AS_DOUBLE(average.get()), 4);
    }
    PyObject* args[] = {average.get(), four};
    return PyObject_Vectorcall(g.builtin_round, args, 2, nullptr);
}

// sorted(items, key=itemgetter(1), reverse=True), itemgetter from the namespace.
PyObject* sort_by_ratio(PyObject* items) noexcept {
    static PyObject* one = nullptr;
    if (one == nullptr && (one = PyLong_FromLong(1)) == nullptr) {
        return nullptr;
    }
    Ref itemgetter = Ref::steal(get_global(g.names.n_itemgetter));
    if (!itemgetter) {
        return nullptr;
    }
    Ref key = Ref::steal(PyObject_CallOneArg(itemgetter.get(), one));
    if (!key) {
        return nullptr;
    }
    Ref kwnames = Ref::steal(PyTuple_Pack(2, g.names.n_key, g.names.n_reverse));
    if (!kwnames) {
        return nullptr;
    }
    PyObject* args[] = {items, key.get(), Py_True};
    return PyObject_Vectorcall(g.builtin_sorted, args, 1, kwnames.get());
}

PyObject* merge(PyObject* results) noexcept {
    if (results == Py_None) {
        return raise_not_iterable();
    }
    Ref groups = Ref::steal(PyDict_New());
    if (!groups) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(results); ++i) {
        Ref pairs = Ref::borrow(PyList_GET_ITEM(results, i));
        Ref iterator = Ref::steal(PyObject_GetIter(pairs.get()));
        if (!iterator) {
            return nullptr;
        }
        while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
            Ref language;
            Ref ratio;
            if (unpack_pair(item.get(), language, ratio) < 0 ||
                collect(groups.get(), language.get(), ratio.get()) < 0) {
                return nullptr;
            }
        }
        if (PyErr_Occurred()) {
            return nullptr;
        }
    }
    Ref averaged = Ref::steal(PyList_New(0));
    if (!averaged) {
        return nullptr;
    }
    // sum() runs the ratios' arithmetic.
    const int status = for_each_group(groups.get(), [&](PyObject* language, PyObject* ratios) -> int {
        Ref average = Ref::steal(rounded_average(ratios));
        Ref pair = Ref::steal(average ? PyTuple_Pack(2, language, average.get()) : nullptr);
        return pair ? PyList_Append(averaged.get(), pair.get()) : -1;
    });
    return status < 0 ? nullptr : sort_by_ratio(averaged.get());
}

}  // namespace

PyObject* filter_alt_coherence_matches_native(PyObject* results) noexcept {
    PyObject* filtered = filter(results);
    if (filtered == nullptr) {
        VX_TRACEBACK(kFilterName);
    }
    return filtered;
}

PyObject* py_filter_alt_coherence_matches(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"results"};
    static const ArgSpec spec{"filter_alt_coherence_matches", names, 1, 1};
    PyObject* results;
    if (parse_args(spec, args, nargs, kwnames, &results) < 0) {
        VX_TRACEBACK(kFilterName);
        return nullptr;
    }
    return filter_alt_coherence_matches_native(results);
}

PyObject* py_merge_coherence_ratios(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"results"};
    static const ArgSpec spec{"merge_coherence_ratios", names, 1, 1};
    PyObject* results;
    if (parse_args(spec, args, nargs, kwnames, &results) < 0 ||
        !check_exact_or_none(results, &PyList_Type, "results")) {
        VX_TRACEBACK(kMergeName);
        return nullptr;
    }
    PyObject* merged = merge(results);
    if (merged == nullptr) {
        VX_TRACEBACK(kMergeName);
    }
    return merged;
}

}  // namespace vx::tessaly
