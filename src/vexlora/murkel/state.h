// Process-wide state of vexlora.murkel: the module namespace, the start-up
// copies of the host flag masks, interned names and the classes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "shared/globals.h"
#include "shared/murkel_classes.h"

namespace vx::murkel {

inline constexpr const char kModuleName[] = "vexlora.murkel";

// Names looked up in the module namespace (interned once at start-up).
// clang-format off: it does not settle on a layout for a list of macro calls.
#define VX_MURKEL_NAMES(X)                                                                        \
    X(COMMON_CJK_CHARACTERS) X(COMMON_SAFE_ASCII_CHARACTERS) X(TRACE) X(CompatibleFamillyRange)   \
    X(_ACCENTUATED) X(_ARABIC) X(_ARABIC_ISOLATED_FORM) X(_BASIC_LATIN_COMPATIBLE_RANGE_FAMILIES) \
    X(_CJK) X(_COMPATIBLE_RANGE_FAMILIES) X(_COMPATIBLE_WITH_ANY_RANGE_FAMILIES) X(_HALFWIDTH_KATAKANA) \
    X(_HANGUL) X(_HIRAGANA) X(_KATAKANA) X(_LATIN) X(_LIGATURE) X(_RANGE_FAMILIES)                \
    X(_SENTENCE_OPEN_PUNCTUATION) X(_SUPERSCRIPT) X(_THAI)                                        \
    X(_character_flags) X(is_emoticon) X(is_punctuation) X(is_separator) X(is_symbol)             \
    X(remove_accent) X(unicode_range)                                                             \
    X(lru_cache) X(getLogger) X(_char_info) X(_ASCII_CHAR_INFO) X(_CHAR_INFO_PAGES)                \
    X(is_suspiciously_successive_range) X(mess_ratio) X(feed_info) X(reset) X(ratio) X(log)         \
    X(maxsize) X(__dict__) X(vexlora) X(update)
// clang-format on

struct Names {
#define VX_DECLARE_NAME(id) PyObject* n_##id = nullptr;
    VX_MURKEL_NAMES(VX_DECLARE_NAME)
#undef VX_DECLARE_NAME
};

struct State {
    PyObject* module = nullptr;    // the one initialised module (strong)
    PyObject* dict = nullptr;      // its namespace (borrowed from module)
    PyObject* builtins = nullptr;  // builtins namespace dict (strong)
    PyObject* builtin_round = nullptr;
    PyObject* float_default_threshold = nullptr;  // 0.2
    PyObject* int_3 = nullptr;

    // Start-up copies of the host flag masks.
    int32_t ACCENTUATED = 0;
    int32_t LATIN = 0;
    int32_t CJK = 0;
    int32_t KATAKANA = 0;
    int32_t HALFWIDTH_KATAKANA = 0;
    int32_t ARABIC = 0;
    int32_t ARABIC_ISOLATED_FORM = 0;
    int32_t LIGATURE = 0;
    int32_t SUPERSCRIPT = 0;
    int32_t SENTENCE_OPEN_PUNCTUATION = 0;
    int32_t GLYPH_MASK = 0;

    // Bumped whenever a CharInfo is created or its fields are rewritten, so
    // that anything derived from a record's fields (or keyed by its address)
    // can tell it may be out of date.
    uint64_t record_writes = 0;

    Names names;
};

extern State g;

// Raised by everything that needs the module namespace while there is none:
// a start-up that failed forgets the namespace, but the classes it had
// readied (and objects made from them) stay reachable from Python.
[[gnu::cold]] inline PyObject* raise_not_initialised() noexcept {
    PyErr_SetString(PyExc_ImportError,
                    "vexlora.murkel failed to initialise; import it again (successfully) before using it");
    return nullptr;
}

// A module global by name (namespace, then builtins): new reference or NameError.
// The lookup may run Python code (the __eq__ of a key sharing the name's
// hash), so nothing borrowed may be held across it.
inline PyObject* get_global(PyObject* name) noexcept {
    if (g.dict == nullptr) [[unlikely]] {
        return raise_not_initialised();
    }
    return lookup_global(g.dict, g.builtins, name);
}

// The classes, PyTypeObject <Class>Type each.
#define VX_DECLARE_TYPE(Class, ...) extern PyTypeObject Class##Type;
VX_MURKEL_CLASSES(VX_DECLARE_TYPE)
#undef VX_DECLARE_TYPE

inline bool is_char_info(PyObject* obj) noexcept { return PyObject_TypeCheck(obj, &CharInfoType); }

}  // namespace vx::murkel
