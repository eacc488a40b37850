// Instance layout of vexlora.murkel.CharInfo. vexlora.tessaly reads records
// through this struct and checks at import that murkel was built from it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace vx {

struct CharInfoObject {
    PyObject_HEAD PyObject* character;  // exactly str (None only before __init__)
    int32_t printable;
    int32_t alpha;
    int32_t upper;
    int32_t lower;
    int32_t space;
    int32_t digit;
    int32_t is_ascii;
    int32_t case_variable;
    int32_t flags;
    int32_t accentuated;
    int32_t latin;
    int32_t is_cjk;
    int32_t is_katakana;
    int32_t is_halfwidth_katakana;
    int32_t is_arabic;
    int32_t is_ligature;
    int32_t is_superscript;
    int32_t is_sentence_open_punctuation;
    int32_t is_glyph;
    int32_t punct;
    int32_t sym;
    PyObject* range;  // any object: block name str or None
    int32_t sep;
    int32_t emoticon;
    int32_t safe;
    int32_t common_cjk;
    PyObject* unaccented;  // str or None
};

}  // namespace vx
