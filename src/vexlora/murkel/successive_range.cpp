// is_suspiciously_successive_range: are two neighbouring Unicode blocks an
// unlikely pair? The module attribute is the function behind an unbounded
// lru_cache, since texts repeat the same few block changes over and over.
#include <initializer_list>
#include <utility>

#include "murkel/pair_judge.h"
#include "murkel/registry.h"
#include "murkel/state.h"
#include "shared/args.h"
#include "shared/errors.h"
#include "shared/function.h"
#include "shared/pyref.h"

namespace vx::murkel {

namespace {

constexpr const char kWhere[] = "vexlora.murkel.is_suspiciously_successive_range";

PyObject* basic_latin = nullptr;  // "Basic Latin", kept for the life of the process

// Is `op` an argument the memo can hash and compare without running code?
bool plain_argument(PyObject* op) noexcept { return op == Py_None || PyUnicode_CheckExact(op); }

// The C type of functools' memoizing wrapper, or nullptr (new reference).
PyObject* memo_wrapper_type() noexcept {
    Ref functools = Ref::steal(PyImport_ImportModule("_functools"));
    PyObject* type = functools ? PyObject_GetAttrString(functools.get(), "_lru_cache_wrapper") : nullptr;
    if (type == nullptr) {
        PyErr_Clear();  // only a missed shortcut for the walk
    }
    return type;
}

// <table global>[range], which must be a str or None. New reference.
PyObject* family_of(PyObject* table_name, PyObject* range) noexcept {
    Ref families = Ref::steal(get_global(table_name));
    if (!families) {
        return nullptr;
    }
    Ref family = Ref::steal(PyObject_GetItem(families.get(), range));
    if (family && family.get() != Py_None && !PyUnicode_CheckExact(family.get())) {
        raise_expected("str", family.get());
        return nullptr;
    }
    return family.release();
}

// Two families, each a str or None: equal as Python strings.
bool same_family(PyObject* a, PyObject* b) noexcept {
    if (a == b) {
        return true;
    }
    if (a == Py_None || b == Py_None) {
        return false;
    }
    return PyUnicode_Compare(a, b) == 0;
}

// `item in <module global name>`: 1, 0, or -1 with an exception.
int in_global(PyObject* name, PyObject* item) noexcept {
    Ref container = Ref::steal(get_global(name));
    return container ? PySequence_Contains(container.get(), item) : -1;
}

// The rules, first match wins: 1 (suspicious), 0, or -1 with an exception.
int judge(PyObject* a, PyObject* b) noexcept {
    if (a == Py_None || b == Py_None) {
        return 1;  // a character without a known block never fits
    }
    // The table is looked up for each subscription, as for every other use
    // of a host name: the first one may run code that rebinds it.
    Ref family_a = Ref::steal(family_of(g.names.n__RANGE_FAMILIES, a));
    if (!family_a) {
        return -1;
    }
    Ref family_b = Ref::steal(family_of(g.names.n__RANGE_FAMILIES, b));
    if (!family_b) {
        return -1;
    }
    if (same_family(family_a.get(), family_b.get())) {
        return 0;
    }
    for (PyObject* family : {family_a.get(), family_b.get()}) {
        int any = in_global(g.names.n__COMPATIBLE_WITH_ANY_RANGE_FAMILIES, family);
        if (any != 0) {
            return any < 0 ? -1 : 0;
        }
    }
    Ref make_pair = Ref::steal(get_global(g.names.n_CompatibleFamillyRange));
    if (!make_pair) {
        return -1;
    }
    PyObject* pair_args[] = {family_a.get(), family_b.get()};
    Ref pair = Ref::steal(PyObject_Vectorcall(make_pair.get(), pair_args, 2, nullptr));
    if (!pair) {
        return -1;
    }
    int compatible = in_global(g.names.n__COMPATIBLE_RANGE_FAMILIES, pair.get());
    if (compatible != 0) {
        return compatible < 0 ? -1 : 0;
    }
    // Basic Latin sits next to a few families (punctuation, symbols...)
    // without that being noise, in either order.
    for (auto [range, other_family] : {std::pair{a, family_b.get()}, std::pair{b, family_a.get()}}) {
        int is_basic_latin = PyObject_RichCompareBool(range, basic_latin, Py_EQ);
        if (is_basic_latin < 0) {
            return -1;
        }
        if (is_basic_latin) {
            int fits = in_global(g.names.n__BASIC_LATIN_COMPATIBLE_RANGE_FAMILIES, other_family);
            return fits < 0 ? -1 : !fits;
        }
    }
    return 1;
}

PyObject* py_is_suspiciously_successive_range(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"unicode_range_a", "unicode_range_b"};
    static const ArgSpec spec{"is_suspiciously_successive_range", names, 2, 2};
    PyObject* a[2];
    ++driver::judge_entries;
    const bool parsed = parse_args(spec, args, nargs, kwnames, a) >= 0;
    if (parsed && !(plain_argument(a[0]) && plain_argument(a[1]))) {
        driver::judge_saw_other_arguments = true;
    }
    int result = parsed ? judge(a[0], a[1]) : -1;
    if (result < 0) {
        VX_TRACEBACK(kWhere);
        return nullptr;
    }
    return PyBool_FromLong(result);
}

}  // namespace

namespace driver {
PyObject* installed_judge = nullptr;
uint64_t judge_entries = 0;
bool judge_saw_other_arguments = false;
}  // namespace driver

// Define the function, then bind the module attribute to
// lru_cache(maxsize=None)(function).
int define_successive_range_function(PyObject*) noexcept {
    static const FunctionDef def{"is_suspiciously_successive_range", py_is_suspiciously_successive_range,
                                 "Return whether two adjacent Unicode ranges are suspicious.",
                                 "(unicode_range_a, unicode_range_b)"};
    if (basic_latin == nullptr && (basic_latin = PyUnicode_InternFromString("Basic Latin")) == nullptr) {
        return -1;
    }
    Ref function = Ref::steal(new_function(def, kModuleName, nullptr));
    Ref lru_cache = Ref::steal(function ? get_global(g.names.n_lru_cache) : nullptr);
    if (!lru_cache) {
        return -1;
    }
    PyObject* decorator_args[] = {Py_None};
    Ref kwnames = Ref::steal(PyTuple_Pack(1, g.names.n_maxsize));
    Ref decorator =
        Ref::steal(kwnames ? PyObject_Vectorcall(lru_cache.get(), decorator_args, 0, kwnames.get()) : nullptr);
    Ref wrapped = Ref::steal(decorator ? PyObject_CallOneArg(decorator.get(), function.get()) : nullptr);
    if (!wrapped) {
        return -1;
    }
    // Remember the wrapper when it is functools' own C wrapper around our
    // function: calling it then runs Python code only when it calls us.
    Ref wrapper_type = Ref::steal(memo_wrapper_type());
    if (wrapper_type && reinterpret_cast<PyObject*>(Py_TYPE(wrapped.get())) == wrapper_type.get()) {
        Ref inner = Ref::steal(PyObject_GetAttrString(wrapped.get(), "__wrapped__"));
        PyErr_Clear();
        if (inner.get() == function.get()) {
            Py_XSETREF(driver::installed_judge, Py_NewRef(wrapped.get()));
        }
    }
    return PyDict_SetItem(g.dict, g.names.n_is_suspiciously_successive_range, wrapped.get());
}

}  // namespace vx::murkel
