// Start-up of vexlora.murkel: multi-phase initialisation. The execute step
// builds the module namespace in the order its attributes appear.
#include <iterator>

#include "murkel/registry.h"
#include "murkel/state.h"
#include "shared/capi.h"
#include "shared/errors.h"
#include "shared/function.h"
#include "shared/pyref.h"
#include "shared/startup.h"

namespace vx::murkel {

State g;

namespace {

ModuleRecord record;

int create_names() noexcept {
#define VX_INTERN_NAME(id)                                \
    if (g.names.n_##id == nullptr) {                      \
        g.names.n_##id = PyUnicode_InternFromString(#id); \
        if (g.names.n_##id == nullptr) return -1;         \
    }
    VX_MURKEL_NAMES(VX_INTERN_NAME)
#undef VX_INTERN_NAME
    return 0;
}

int create_constants() noexcept {
    if (create_names() < 0) {
        return -1;
    }
    if (g.float_default_threshold == nullptr && (g.float_default_threshold = PyFloat_FromDouble(0.2)) == nullptr) {
        return -1;
    }
    if (g.int_3 == nullptr && (g.int_3 = PyLong_FromLong(3)) == nullptr) {
        return -1;
    }
    return 0;
}

int lookup_builtin_round() noexcept {
    PyObject* round = PyDict_GetItemString(g.builtins, "round");  // borrowed
    if (round == nullptr) {
        PyErr_SetString(PyExc_NameError, "name 'round' is not defined");
        return -1;
    }
    Py_XSETREF(g.builtin_round, Py_NewRef(round));
    return 0;
}

int add_capsule(PyObject* capi, const char* key, void* fn, const char* signature) noexcept {
    Ref capsule = Ref::steal(PyCapsule_New(fn, signature, nullptr));
    if (!capsule) {
        return -1;
    }
    return PyDict_SetItemString(capi, key, capsule.get());
}

int build_capi_table(PyObject* module) noexcept {
    Ref capi = Ref::steal(PyObject_GetAttrString(module, "__pyx_capi__"));
    if (!capi) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        capi = Ref::steal(PyDict_New());
        if (!capi || PyObject_SetAttrString(module, "__pyx_capi__", capi.get()) < 0) {
            return -1;
        }
    }
    if (add_capsule(capi.get(), "mess_ratio", reinterpret_cast<void*>(&mess_ratio_native), kMessRatioSignature) < 0) {
        return -1;
    }
    return add_capsule(capi.get(), "_char_info_from_codepoint", reinterpret_cast<void*>(&char_info_from_codepoint),
                       kCharInfoFromCodepointSignature);
}

// Read a module global integer into a signed 32-bit copy.
int read_flag(PyObject* name, int32_t* out) noexcept {
    Ref value = Ref::steal(get_global(name));
    return value && to_int32(value.get(), out) ? 0 : -1;
}

int copy_flag_masks() noexcept {
    // _GLYPH_MASK is computed with Python's | on the module globals first.
    PyObject* parts[] = {g.names.n__CJK, g.names.n__HANGUL, g.names.n__KATAKANA, g.names.n__HIRAGANA, g.names.n__THAI};
    Ref mask = Ref::steal(get_global(parts[0]));
    for (size_t i = 1; mask && i < std::size(parts); ++i) {
        Ref next = Ref::steal(get_global(parts[i]));
        mask = next ? Ref::steal(PyNumber_Or(mask.get(), next.get())) : Ref();
    }
    if (!mask || !to_int32(mask.get(), &g.GLYPH_MASK)) {
        return -1;
    }
    return (read_flag(g.names.n__ACCENTUATED, &g.ACCENTUATED) < 0 || read_flag(g.names.n__LATIN, &g.LATIN) < 0 ||
            read_flag(g.names.n__CJK, &g.CJK) < 0 || read_flag(g.names.n__KATAKANA, &g.KATAKANA) < 0 ||
            read_flag(g.names.n__HALFWIDTH_KATAKANA, &g.HALFWIDTH_KATAKANA) < 0 ||
            read_flag(g.names.n__ARABIC, &g.ARABIC) < 0 ||
            read_flag(g.names.n__ARABIC_ISOLATED_FORM, &g.ARABIC_ISOLATED_FORM) < 0 ||
            read_flag(g.names.n__LIGATURE, &g.LIGATURE) < 0 || read_flag(g.names.n__SUPERSCRIPT, &g.SUPERSCRIPT) < 0 ||
            read_flag(g.names.n__SENTENCE_OPEN_PUNCTUATION, &g.SENTENCE_OPEN_PUNCTUATION) < 0)
               ? -1
               : 0;
}

int build_ascii_table() noexcept {
    Ref table = Ref::steal(PyList_New(128));
    if (!table) {
        return -1;
    }
    for (Py_UCS4 cp = 0; cp < 128; ++cp) {
        Ref ch = Ref::steal(PyUnicode_FromOrdinal(static_cast<int>(cp)));
        if (!ch) {
            return -1;
        }
        PyObject* info = PyObject_CallOneArg(reinterpret_cast<PyObject*>(&CharInfoType), ch.get());
        if (info == nullptr) {
            return -1;
        }
        PyList_SET_ITEM(table.get(), cp, info);
    }
    return PyDict_SetItem(g.dict, g.names.n__ASCII_CHAR_INFO, table.get());
}

int build_page_table() noexcept {
    constexpr Py_ssize_t kPages = 4352;  // 4352 pages of 256 cover U+0000..U+10FFFF
    Ref pages = Ref::steal(PyList_New(kPages));
    if (!pages) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < kPages; ++i) {
        PyList_SET_ITEM(pages.get(), i, Py_NewRef(Py_None));
    }
    return PyDict_SetItem(g.dict, g.names.n__CHAR_INFO_PAGES, pages.get());
}

const char* const kConstantNames[] = {
    "COMMON_CJK_CHARACTERS",
    "COMMON_SAFE_ASCII_CHARACTERS",
    "TRACE",
    "CompatibleFamillyRange",
    "_ACCENTUATED",
    "_ARABIC",
    "_ARABIC_ISOLATED_FORM",
    "_BASIC_LATIN_COMPATIBLE_RANGE_FAMILIES",
    "_CJK",
    "_COMPATIBLE_RANGE_FAMILIES",
    "_COMPATIBLE_WITH_ANY_RANGE_FAMILIES",
    "_HALFWIDTH_KATAKANA",
    "_HANGUL",
    "_HIRAGANA",
    "_KATAKANA",
    "_LATIN",
    "_LIGATURE",
    "_RANGE_FAMILIES",
    "_SENTENCE_OPEN_PUNCTUATION",
    "_SUPERSCRIPT",
    "_THAI",
};
const char* const kUtilsNames[] = {
    "_character_flags", "is_emoticon", "is_punctuation", "is_separator", "is_symbol", "remove_accent", "unicode_range",
};
const char* const kLruCache[] = {"lru_cache"};
const char* const kGetLogger[] = {"getLogger"};

int run_start_up(PyObject* module) noexcept {
    PyObject* builtins_module = PyImport_AddModule("builtins");  // borrowed
    if (builtins_module == nullptr || PyDict_SetItemString(g.dict, "__builtins__", builtins_module) < 0) {
        return -1;
    }
    if (check_runtime_version(kModuleName) < 0 || create_constants() < 0 ||
        ensure_in_sys_modules(kModuleName, module) < 0 || lookup_builtin_round() < 0 || build_capi_table(module) < 0 ||
        function_type_ready("vexlora.murkel.function") < 0 || register_char_info_type(module) < 0 ||
        register_plugin_types(module) < 0 || import_names(g.dict, "functools", kLruCache, 1) < 0 ||
        import_names(g.dict, "logging", kGetLogger, 1) < 0 ||
        import_names(g.dict, "vexlora.constant", kConstantNames, std::size(kConstantNames)) < 0 ||
        import_names(g.dict, "vexlora.utils", kUtilsNames, std::size(kUtilsNames)) < 0 || copy_flag_masks() < 0 ||
        attach_char_info_persistence() < 0 || define_char_info_function(module) < 0 || build_ascii_table() < 0 ||
        build_page_table() < 0 || attach_plugin_methods() < 0 || define_successive_range_function(module) < 0 ||
        define_mess_ratio_function(module) < 0 || define_unpickle_functions(module) < 0) {
        return -1;
    }
    return 0;
}

PyObject* murkel_create(PyObject* spec, PyModuleDef*) { return create_module(record, spec); }

int murkel_exec(PyObject* module) {
    return exec_module_once(record, module, "murkel", kModuleName, {&g.module, &g.dict, &g.builtins}, run_start_up);
}

PyModuleDef_Slot murkel_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(murkel_create)},
    {Py_mod_exec, reinterpret_cast<void*>(murkel_exec)},
    {0, nullptr},
};

PyModuleDef murkel_def = {
    PyModuleDef_HEAD_INIT, "murkel", nullptr, 0, nullptr, murkel_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace vx::murkel

PyMODINIT_FUNC PyInit_murkel() { return PyModuleDef_Init(&vx::murkel::murkel_def); }
