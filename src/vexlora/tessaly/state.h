// Process-wide state of vexlora.tessaly: the module namespace, the objects
// taken from vexlora.murkel at start-up and the language tables.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "shared/capi.h"
#include "shared/globals.h"
#include "shared/murkel_classes.h"

namespace vx::tessaly {

inline constexpr const char kModuleName[] = "vexlora.tessaly";
inline constexpr int kLanguageCount = 41;
inline constexpr int kPluginTypeCount = kDetectorCount + 1;  // MessDetectorPlugin and the detectors

// Names looked up in the module namespace (interned once at start-up).
// clang-format off: it does not settle on a layout for a list of macro calls.
#define VX_TESSALY_NAMES(X)                                                                   \
    X(importlib) X(lru_cache) X(itemgetter) X(FREQUENCIES) X(KO_NAMES) X(LANGUAGE_SUPPORTED_COUNT) \
    X(TOO_SMALL_SEQUENCE) X(ZH_NAMES) X(_ASCII_CHAR_INFO) X(_char_info)                          \
    X(is_suspiciously_successive_range) X(is_multi_byte_encoding) X(is_unicode_range_secondary)  \
    X(encoding_unicode_range) X(import_module) X(IncrementalDecoder) X(errors) X(ignore)         \
    X(decode) X(items) X(get) X(split) X(remove) X(replace) X(startswith) X(update) X(key)       \
    X(reverse) X(maxsize) X(lower) X(_CHAR_INFO_PAGES)
// clang-format on

struct Names {
#define VX_DECLARE_NAME(id) PyObject* n_##id = nullptr;
    VX_TESSALY_NAMES(VX_DECLARE_NAME)
#undef VX_DECLARE_NAME
};

struct State {
    PyObject* module = nullptr;    // the one initialised module (strong)
    PyObject* dict = nullptr;      // its namespace (borrowed from module)
    PyObject* builtins = nullptr;  // builtins namespace dict (strong)
    PyObject* builtin_enumerate = nullptr;
    PyObject* builtin_sorted = nullptr;
    PyObject* builtin_round = nullptr;
    PyObject* builtin_sum = nullptr;
    PyObject* builtin_max = nullptr;

    // Taken from vexlora.murkel at start-up.
    PyTypeObject* char_info_type = nullptr;
    PyTypeObject* plugin_types[kPluginTypeCount] = {};
    const PluginVTable* plugin_vtables[kPluginTypeCount] = {};
    CharInfoFromCodepointFn char_info_from_codepoint = nullptr;

    PyObject* language_index = nullptr;  // _LANGUAGE_INDEX: dict name -> index
    PyObject* language_names = nullptr;  // _LANGUAGE_NAMES: list index -> name

    Names names;
};

extern State g;

// Python code can run inside any call that reaches the interpreter: a host
// function or a rebindable global, a comparison or hash of a caller's
// object, sum() or max(), a record murkel builds, a signal checkpoint. Across
// such a call nothing read from a Python object is borrowed: what is used
// afterwards is held (Ref::borrow) or read again, since the code may rewrite
// a record in place, clear a container it found through the collector, or
// call this module again.

// A module global by name (namespace, then builtins): new reference or NameError.
inline PyObject* get_global(PyObject* name) noexcept { return lookup_global(g.dict, g.builtins, name); }

// Language tables, filled once by initialize_language_ranks() during import.
extern uint16_t LANGUAGE_PROFILE_SIZES[kLanguageCount];
extern uint8_t LANGUAGE_CHARACTER_RANKS[kLanguageCount][65536];
extern int LANGUAGE_PURE_LATIN[kLanguageCount];
extern int LANGUAGE_HAS_ACCENTS[kLanguageCount];
// The same membership by code point: bit L is set when the character is in
// language L's profile, so that counting a text's matches for every
// language takes one lookup per character instead of one per language.
static_assert(kLanguageCount <= 64, "one bit per language in a 64-bit word");
extern uint64_t LANGUAGE_MEMBERSHIP[65536];

// 1-based rank of a code point in a language's profile; 0 when absent.
inline unsigned rank_of(int language, uint32_t cp) noexcept {
    return cp > 0xFFFF ? 0u : LANGUAGE_CHARACTER_RANKS[language][cp];
}

inline bool is_char_info(PyObject* obj) noexcept { return PyObject_TypeCheck(obj, g.char_info_type); }

}  // namespace vx::tessaly
