// Instance layouts and the native method table of the detector plugins.
// vexlora.tessaly compiles against these to check murkel's instance sizes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "shared/charinfo_layout.h"

namespace vx {

struct MessDetectorPluginObject;

// Native method table, in slot order. Every slot that can fail returns -1
// with an exception set (0 on success); ratio cannot fail.
struct PluginVTable {
    // 1: feed_info(character, info); skip_dispatch = 0 lets the base class
    //    reach a Python override.
    int (*feed_info)(MessDetectorPluginObject* self, PyObject* character, CharInfoObject* info, int skip_dispatch);
    // 2: reset()
    int (*reset)(MessDetectorPluginObject* self, int skip_dispatch);
    // 3: _feed(code point, info): the per-character update (concrete plugins).
    int (*feed)(MessDetectorPluginObject* self, Py_UCS4 cp, CharInfoObject* info);
    // 4: ratio as a native double (concrete plugins).
    double (*ratio)(MessDetectorPluginObject* self);
};

struct MessDetectorPluginObject {
    PyObject_HEAD const PluginVTable* vtab;
};

struct TooManySymbolOrPunctuationPluginObject {
    MessDetectorPluginObject base;
    int32_t _punctuation_count;
    int32_t _symbol_count;
    int32_t _character_count;
    uint32_t _last_printable_char;
};

struct TooManyAccentuatedPluginObject {
    MessDetectorPluginObject base;
    int32_t _character_count;
    int32_t _accentuated_count;
};

struct UnprintablePluginObject {
    MessDetectorPluginObject base;
    int32_t _unprintable_count;
    int32_t _character_count;
    int32_t _has_escape;
};

struct SuspiciousDuplicateAccentPluginObject {
    MessDetectorPluginObject base;
    int32_t _successive_count;
    int32_t _character_count;
    PyObject* _last_latin_character;  // CharInfo or None
    int32_t _last_was_accentuated;
};

struct SuspiciousRangeObject {
    MessDetectorPluginObject base;
    int32_t _suspicious_successive_range_count;
    int32_t _character_count;
    int32_t _has_last_printable;
    PyObject* _last_printable_range;  // block name str or None
};

struct SuperWeirdWordPluginObject {
    MessDetectorPluginObject base;
    int32_t _word_count;
    int32_t _bad_word_count;
    int32_t _foreign_long_count;
    int32_t _is_current_word_bad;
    int32_t _foreign_long_watch;
    int32_t _character_count;
    int32_t _bad_character_count;
    int32_t _buffer_length;
    int32_t _buffer_last_char_upper;
    int32_t _buffer_last_char_accentuated;
    int32_t _buffer_accent_count;
    int32_t _buffer_glyph_count;
    int32_t _buffer_upper_count;
    int32_t _buffer_first_lower;
    int32_t _buffer_has_non_ascii;
    int32_t _buffer_last_char_ligature;
    int32_t _buffer_has_internal_ligature;
    int32_t _is_current_word_invalid;
    int32_t _invalid_word_count;
};

struct CjkUncommonPluginObject {
    MessDetectorPluginObject base;
    int32_t _character_count;
    int32_t _uncommon_count;
};

struct SuspiciousKatakanaPluginObject {
    MessDetectorPluginObject base;
    int32_t _katakana_count;
    int32_t _halfwidth_katakana_count;
    int32_t _cjk_count;
    int32_t _uncommon_cjk_count;
};

struct ArchaicUpperLowerPluginObject {
    MessDetectorPluginObject base;
    int32_t _buf;
    int32_t _character_count_since_last_sep;
    int32_t _successive_upper_lower_count;
    int32_t _successive_upper_lower_count_final;
    int32_t _character_count;
    int32_t _last_alpha_seen_upper;
    int32_t _last_alpha_seen_lower;
    int32_t _current_ascii_only;
};

struct ArabicIsolatedFormPluginObject {
    MessDetectorPluginObject base;
    int32_t _character_count;
    int32_t _isolated_form_count;
};

}  // namespace vx
