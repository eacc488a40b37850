// Start-up of vexlora.tessaly: multi-phase initialisation. The execute step
// links to vexlora.murkel natively, binds the names the functions look up,
// builds the language tables and publishes the eleven functions.
#include <cstring>
#include <iterator>

#if defined(__linux__) || defined(__APPLE__)
#include <dlfcn.h>
#endif

#include "shared/capi.h"
#include "shared/errors.h"
#include "shared/function.h"
#include "shared/pyref.h"
#include "shared/startup.h"
#include "tessaly/bindings.h"
#include "tessaly/functions.h"
#include "tessaly/state.h"

namespace vx::tessaly {

State g;

namespace {

constexpr const char kMurkelName[] = "vexlora.murkel";

ModuleRecord record;

// Objects created once and reused by a later start-up attempt.
struct Constants {
    PyObject* defaults_alphabet_languages = nullptr;  // (False,)
    PyObject* defaults_coherence_ratio = nullptr;     // (0.1, None)
} constants;

int create_constants() noexcept {
#define VX_INTERN_NAME(id)                                \
    if (g.names.n_##id == nullptr) {                      \
        g.names.n_##id = PyUnicode_InternFromString(#id); \
        if (g.names.n_##id == nullptr) return -1;         \
    }
    VX_TESSALY_NAMES(VX_INTERN_NAME)
#undef VX_INTERN_NAME
    if (constants.defaults_alphabet_languages == nullptr &&
        (constants.defaults_alphabet_languages = PyTuple_Pack(1, Py_False)) == nullptr) {
        return -1;
    }
    if (constants.defaults_coherence_ratio == nullptr) {
        Ref threshold = Ref::steal(PyFloat_FromDouble(0.1));
        if (!threshold || (constants.defaults_coherence_ratio = PyTuple_Pack(2, threshold.get(), Py_None)) == nullptr) {
            return -1;
        }
    }
    return 0;
}

int lookup_builtins() noexcept {
    struct Builtin {
        const char* name;
        PyObject** slot;
    };
    const Builtin builtins[] = {
        {"enumerate", &g.builtin_enumerate},
        {"sorted", &g.builtin_sorted},
        {"round", &g.builtin_round},
        {"sum", &g.builtin_sum},
        {"max", &g.builtin_max},
    };
    for (const Builtin& b : builtins) {
        PyObject* value = PyDict_GetItemString(g.builtins, b.name);  // borrowed
        if (value == nullptr) {
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", b.name);
            return -1;
        }
        Py_XSETREF(*b.slot, Py_NewRef(value));
    }
    return 0;
}

// A murkel class and the instance size this module was compiled against.
struct ImportedType {
    const char* name;
    size_t size;
};

// Every murkel class, CharInfo first, then MessDetectorPlugin and the detectors.
const ImportedType kMurkelTypes[] = {
#define VX_IMPORTED_TYPE(Class, ...) {#Class, sizeof(Class##Object)},
    VX_MURKEL_CLASSES(VX_IMPORTED_TYPE)
#undef VX_IMPORTED_TYPE
};
static_assert(std::size(kMurkelTypes) == 1 + kPluginTypeCount && kCharInfoClass == 0 && kMessDetectorPluginClass == 1);

// Fetch a class of murkel and check that its instances are at least as large
// as the record layout this module reads them through.
PyTypeObject* import_type(PyObject* murkel, const ImportedType& wanted) noexcept {
    Ref obj = Ref::steal(PyObject_GetAttrString(murkel, wanted.name));
    if (!obj) {
        return nullptr;
    }
    if (!PyType_Check(obj.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", kMurkelName, wanted.name);
        return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(obj.get());
    Py_ssize_t basicsize = type->tp_basicsize;
    Py_ssize_t itemsize = type->tp_itemsize;
    const char* const message =
        "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C header, got %zd "
        "from PyObject";
    if (static_cast<size_t>(basicsize + itemsize) < wanted.size) {
        PyErr_Format(PyExc_ValueError, message, kMurkelName, wanted.name, static_cast<Py_ssize_t>(wanted.size),
                     basicsize + itemsize);
        return nullptr;
    }
    if (static_cast<size_t>(basicsize) > wanted.size) {
        Ref text = Ref::steal(
            PyUnicode_FromFormat(message, kMurkelName, wanted.name, static_cast<Py_ssize_t>(wanted.size), basicsize));
        if (!text || PyErr_WarnEx(nullptr, PyUnicode_AsUTF8(text.get()), 0) < 0) {
            return nullptr;
        }
    }
    return reinterpret_cast<PyTypeObject*>(obj.release());
}

// The native method table a murkel class publishes in its dictionary.
const PluginVTable* import_vtable(PyTypeObject* type) noexcept {
    Ref dict = Ref::steal(PyType_GetDict(type));
    if (!dict) {
        return nullptr;
    }
    Ref key = Ref::steal(PyUnicode_FromString("__pyx_vtable__"));
    if (!key) {
        return nullptr;
    }
    Ref capsule = Ref::steal(PyObject_GetItem(dict.get(), key.get()));
    if (!capsule) {
        return nullptr;
    }
    void* pointer = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (pointer == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_RuntimeError, "invalid vtable found for imported type");
        }
        return nullptr;
    }
    return static_cast<const PluginVTable*>(pointer);
}

int import_murkel_types(PyObject* murkel) noexcept {
    PyTypeObject* char_info = import_type(murkel, kMurkelTypes[0]);
    if (char_info == nullptr) {
        return -1;
    }
    Py_XSETREF(g.char_info_type, char_info);
    for (int i = 0; i < kPluginTypeCount; ++i) {
        PyTypeObject* type = import_type(murkel, kMurkelTypes[i + 1]);
        if (type == nullptr) {
            return -1;
        }
        Py_XSETREF(g.plugin_types[i], type);
        g.plugin_vtables[i] = import_vtable(type);
        if (g.plugin_vtables[i] == nullptr) {
            return -1;
        }
    }
    return 0;
}

// Take murkel's native record lookup from __pyx_capi__, refusing a capsule
// whose signature text differs from the one this module was built with.
int import_char_info_from_codepoint(PyObject* murkel) noexcept {
    constexpr const char kFunction[] = "_char_info_from_codepoint";
    Ref capi = Ref::steal(PyObject_GetAttrString(murkel, "__pyx_capi__"));
    if (!capi) {
        return -1;
    }
    if (!PyDict_Check(capi.get())) {
        raise_expected("dict", capi.get());
        return -1;
    }
    PyObject* capsule = PyDict_GetItemString(capi.get(), kFunction);  // borrowed
    if (capsule == nullptr) {
        PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %.8s %.200s", kMurkelName, "function",
                     kFunction);
        return -1;
    }
    if (!PyCapsule_IsValid(capsule, kCharInfoFromCodepointSignature)) {
        const char* got = PyCapsule_GetName(capsule);
        if (got == nullptr) {
            if (PyErr_Occurred()) {
                return -1;
            }
            got = "NULL";
        }
        PyErr_Format(PyExc_TypeError, "C %.8s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     "function", kMurkelName, kFunction, kCharInfoFromCodepointSignature, got);
        return -1;
    }
    void* pointer = PyCapsule_GetPointer(capsule, kCharInfoFromCodepointSignature);
    if (pointer == nullptr) {
        return -1;
    }
    g.char_info_from_codepoint = reinterpret_cast<CharInfoFromCodepointFn>(pointer);
    return 0;
}

// True when `a` and `b` lie in the same loaded binary (or when that cannot be told).
bool same_binary(const void* a, const void* b) noexcept {
#if defined(__linux__) || defined(__APPLE__)
    Dl_info info_a;
    Dl_info info_b;
    if (dladdr(a, &info_a) == 0 || dladdr(b, &info_b) == 0) {
        return false;
    }
    return info_a.dli_fbase == info_b.dli_fbase;
#else
    (void)a;
    (void)b;
    return true;
#endif
}

// The size check above only proves that instances are large enough; this
// module reads records through murkel's own layout, so every class must be
// one vexlora.murkel defines, or a Python subclass of one (which keeps the
// layout): a class that only Python code or another binary can have made
// does not count. murkel's classes are static types of the binary that also
// holds _char_info_from_codepoint.
int check_murkel_class(PyTypeObject* type, const char* name) noexcept {
    PyTypeObject* defined = type;
    while (defined != nullptr && (defined->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        defined = defined->tp_base;
    }
    const size_t prefix = sizeof(kMurkelName) - 1;
    const bool own = defined != nullptr && std::strncmp(defined->tp_name, kMurkelName, prefix) == 0 &&
                     defined->tp_name[prefix] == '.' && std::strcmp(defined->tp_name + prefix + 1, name) == 0 &&
                     same_binary(defined, reinterpret_cast<const void*>(g.char_info_from_codepoint));
    if (!own) {
        PyErr_Format(PyExc_ImportError, "%.200s.%.200s is bound to %.200s, a class that %.200s does not define",
                     kMurkelName, name, type->tp_name, kMurkelName);
        return -1;
    }
    return 0;
}

int check_murkel_classes() noexcept {
    if (check_murkel_class(g.char_info_type, kMurkelTypes[0].name) < 0) {
        return -1;
    }
    for (int i = 0; i < kPluginTypeCount; ++i) {
        if (check_murkel_class(g.plugin_types[i], kMurkelTypes[i + 1].name) < 0) {
            return -1;
        }
    }
    return 0;
}

int link_murkel() noexcept {
    Ref murkel = Ref::steal(PyImport_ImportModule(kMurkelName));
    if (!murkel) {
        return -1;
    }
    return import_murkel_types(murkel.get()) < 0 || import_char_info_from_codepoint(murkel.get()) < 0 ||
                   check_murkel_classes() < 0
               ? -1
               : 0;
}

// Follow the globals read on every call, and murkel's page table.
int watch_globals() noexcept {
    Ref murkel = Ref::steal(PyImport_ImportModule(kMurkelName));
    if (!murkel) {
        return -1;
    }
    // Held for the life of the process, as the watcher compares namespaces by address.
    PyObject* murkel_dict = Py_NewRef(PyModule_GetDict(murkel.get()));
    return watch_bindings(murkel_dict);
}

const char* const kLruCache[] = {"lru_cache"};
const char* const kItemgetter[] = {"itemgetter"};
const char* const kConstantNames[] = {
    "FREQUENCIES", "KO_NAMES", "LANGUAGE_SUPPORTED_COUNT", "TOO_SMALL_SEQUENCE", "ZH_NAMES",
};
const char* const kMurkelNames[] = {"_ASCII_CHAR_INFO", "_char_info", "is_suspiciously_successive_range"};
const char* const kUtilsNames[] = {"is_multi_byte_encoding", "is_unicode_range_secondary"};

int import_host_names() noexcept {
    return import_module_as(g.dict, "importlib") < 0 || import_names(g.dict, "functools", kLruCache, 1) < 0 ||
                   import_names(g.dict, "operator", kItemgetter, 1) < 0 ||
                   import_names(g.dict, "vexlora.constant", kConstantNames, std::size(kConstantNames)) < 0 ||
                   import_names(g.dict, kMurkelName, kMurkelNames, std::size(kMurkelNames)) < 0 ||
                   import_names(g.dict, "vexlora.utils", kUtilsNames, std::size(kUtilsNames)) < 0
               ? -1
               : 0;
}

int build_language_tables() noexcept {
    PyObject* index = PyDict_New();
    if (index == nullptr) {
        return -1;
    }
    Py_XSETREF(g.language_index, index);
    PyObject* names = PyList_New(0);
    if (names == nullptr) {
        return -1;
    }
    Py_XSETREF(g.language_names, names);
    if (initialize_language_ranks() < 0 || PyErr_Occurred()) {
        return -1;
    }
    return 0;
}

enum class Cache { none, lru_default, lru_language_count };

struct PublicFunction {
    FunctionDef def;
    Cache cache;
    PyObject** defaults;  // the defaults tuple, or nullptr
};

const PublicFunction kFunctions[] = {
    {{"encoding_unicode_range", py_encoding_unicode_range,
      "Return associated unicode ranges in a single byte code page.", "(iana_name)"},
     Cache::none,
     nullptr},
    {{"unicode_range_languages", py_unicode_range_languages, "Return inferred languages used with a unicode range.",
      "(primary_range)"},
     Cache::none,
     nullptr},
    {{"encoding_languages", py_encoding_languages, "Return the language association for a single-byte encoding.",
      "(iana_name)"},
     Cache::lru_default,
     nullptr},
    {{"mb_encoding_languages", py_mb_encoding_languages, "Return the language association for a multi-byte encoding.",
      "(iana_name)"},
     Cache::lru_default,
     nullptr},
    {{"get_target_features", py_get_target_features, "Return whether a language has accents and is purely Latin.",
      "(language)"},
     Cache::lru_language_count,
     nullptr},
    {{"alphabet_languages", py_alphabet_languages, "Return languages associated with the supplied alphabet.",
      "(characters, ignore_non_latin=False)"},
     Cache::none,
     &constants.defaults_alphabet_languages},
    {{"characters_popularity_compare", py_characters_popularity_compare,
      "Compare observed character popularity with a language profile.", "(language, ordered_characters)"},
     Cache::none,
     nullptr},
    {{"alpha_unicode_split", py_alpha_unicode_split,
      "Split alphabetic characters into compatible Unicode-range layers.", "(decoded_sequence)"},
     Cache::none,
     nullptr},
    {{"merge_coherence_ratios", py_merge_coherence_ratios, "Merge coherence ratios by language.", "(results)"},
     Cache::none,
     nullptr},
    {{"filter_alt_coherence_matches", py_filter_alt_coherence_matches,
      "Collapse alternative language names while retaining their best score.", "(results)"},
     Cache::none,
     nullptr},
    {{"coherence_ratio", py_coherence_ratio, "Detect languages represented in a decoded sequence.",
      "(decoded_sequence, threshold=0.1, lg_inclusion=None)"},
     Cache::none,
     &constants.defaults_coherence_ratio},
};

// lru_cache() or lru_cache(maxsize=LANGUAGE_SUPPORTED_COUNT), from the namespace.
PyObject* make_decorator(Cache cache) noexcept {
    Ref lru_cache = Ref::steal(get_global(g.names.n_lru_cache));
    if (!lru_cache) {
        return nullptr;
    }
    if (cache == Cache::lru_default) {
        return PyObject_CallNoArgs(lru_cache.get());
    }
    Ref maxsize = Ref::steal(get_global(g.names.n_LANGUAGE_SUPPORTED_COUNT));
    if (!maxsize) {
        return nullptr;
    }
    PyObject* args[] = {maxsize.get()};
    Ref kwnames = Ref::steal(PyTuple_Pack(1, g.names.n_maxsize));
    if (!kwnames) {
        return nullptr;
    }
    return PyObject_Vectorcall(lru_cache.get(), args, 0, kwnames.get());
}

int define_functions() noexcept {
    for (const PublicFunction& f : kFunctions) {
        Ref decorator;
        if (f.cache != Cache::none) {
            decorator = Ref::steal(make_decorator(f.cache));
            if (!decorator) {
                return -1;
            }
        }
        Ref function = Ref::steal(new_function(f.def, kModuleName, f.defaults ? *f.defaults : nullptr));
        if (!function) {
            return -1;
        }
        if (decorator) {
            function = Ref::steal(PyObject_CallOneArg(decorator.get(), function.get()));
            if (!function) {
                return -1;
            }
        }
        if (PyDict_SetItemString(g.dict, f.def.name, function.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

int bind_test_dict() noexcept {
    Ref test = Ref::steal(PyDict_New());
    return test ? PyDict_SetItemString(g.dict, "__test__", test.get()) : -1;
}

int run_start_up(PyObject* module) noexcept {
    PyObject* builtins_module = PyImport_AddModule("builtins");  // borrowed
    if (builtins_module == nullptr || PyDict_SetItemString(g.dict, "__builtins__", builtins_module) < 0) {
        return -1;
    }
    if (check_runtime_version(kModuleName) < 0 || create_constants() < 0 ||
        ensure_in_sys_modules(kModuleName, module) < 0 || lookup_builtins() < 0 || link_murkel() < 0 ||
        import_host_names() < 0 || build_language_tables() < 0 || function_type_ready("vexlora.tessaly.function") < 0 ||
        define_functions() < 0 || bind_test_dict() < 0 || watch_globals() < 0) {
        return -1;
    }
    return 0;
}

PyObject* tessaly_create(PyObject* spec, PyModuleDef*) { return create_module(record, spec); }

int tessaly_exec(PyObject* module) {
    return exec_module_once(record, module, "tessaly", kModuleName, {&g.module, &g.dict, &g.builtins}, run_start_up);
}

PyModuleDef_Slot tessaly_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(tessaly_create)},
    {Py_mod_exec, reinterpret_cast<void*>(tessaly_exec)},
    {0, nullptr},
};

PyModuleDef tessaly_def = {
    PyModuleDef_HEAD_INIT, "tessaly", nullptr, 0, nullptr, tessaly_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace vx::tessaly

PyMODINIT_FUNC PyInit_tessaly() { return PyModuleDef_Init(&vx::tessaly::tessaly_def); }
