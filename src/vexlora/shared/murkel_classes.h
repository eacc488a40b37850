// The classes of vexlora.murkel and their native fields, declared once.
//
// Everything else about a class's shape follows from this file: the instance
// structs below, murkel's field tables (attribute access, the pickled state
// and its order, the layout checksums stored in pickles), the class index,
// the type objects and their registration, the counter-range checks, and the
// list of classes (with their sizes) vexlora.tessaly checks at import.
//
// To add a field: add one line to its class's VX_FIELDS_<Class> list. To add
// a detector: add its VX_FIELDS_<Class> list, one line to VX_MURKEL_DETECTORS
// (in the order mess_ratio creates and runs them), and its rule (a traits
// struct in murkel/plugin_<name>.h, included by murkel/plugins.h).
//
// A field is F(name, kind): its C type follows from its kind (fields.h). The
// field order here is the instance layout; pickled state lists the fields
// alphabetically, and the checksums pickles carry hash those names, so
// renaming, adding or removing a field changes the stored format (the
// checksums of the existing classes are pinned in murkel/class_fields.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "shared/fields.h"

// clang-format off: it does not settle on a layout for lists of macro calls.

// The record of pre-computed properties of one character. `character` is
// exactly a str (None only before __init__), `range` a block name or any
// object a host function returned, `unaccented` a str or None.
#define VX_FIELDS_CharInfo(F)                                                               \
    F(character, Str) F(printable, Bool) F(alpha, Bool) F(upper, Bool) F(lower, Bool)       \
    F(space, Bool) F(digit, Bool) F(is_ascii, Bool) F(case_variable, Bool) F(flags, Int32)  \
    F(accentuated, Bool) F(latin, Bool) F(is_cjk, Bool) F(is_katakana, Bool)                \
    F(is_halfwidth_katakana, Bool) F(is_arabic, Bool) F(is_ligature, Bool)                  \
    F(is_superscript, Bool) F(is_sentence_open_punctuation, Bool) F(is_glyph, Bool)         \
    F(punct, Bool) F(sym, Bool) F(range, Object) F(sep, Bool) F(emoticon, Bool)             \
    F(safe, Bool) F(common_cjk, Bool) F(unaccented, Str)

// The base class of the detectors has no fields of its own.
#define VX_FIELDS_MessDetectorPlugin(F)

#define VX_FIELDS_TooManySymbolOrPunctuationPlugin(F)                                       \
    F(_punctuation_count, Int32) F(_symbol_count, Int32) F(_character_count, Int32)         \
    F(_last_printable_char, UInt32)

#define VX_FIELDS_TooManyAccentuatedPlugin(F)                                               \
    F(_character_count, Int32) F(_accentuated_count, Int32)

#define VX_FIELDS_UnprintablePlugin(F)                                                      \
    F(_unprintable_count, Int32) F(_character_count, Int32) F(_has_escape, Bool)

#define VX_FIELDS_SuspiciousDuplicateAccentPlugin(F)                                        \
    F(_successive_count, Int32) F(_character_count, Int32)                                  \
    F(_last_latin_character, CharInfo) F(_last_was_accentuated, Bool)

#define VX_FIELDS_SuspiciousRange(F)                                                        \
    F(_suspicious_successive_range_count, Int32) F(_character_count, Int32)                 \
    F(_has_last_printable, Bool) F(_last_printable_range, Object)

#define VX_FIELDS_SuperWeirdWordPlugin(F)                                                   \
    F(_word_count, Int32) F(_bad_word_count, Int32) F(_foreign_long_count, Int32)           \
    F(_is_current_word_bad, Bool) F(_foreign_long_watch, Bool) F(_character_count, Int32)   \
    F(_bad_character_count, Int32) F(_buffer_length, Run)                                   \
    F(_buffer_last_char_upper, Bool) F(_buffer_last_char_accentuated, Bool)                 \
    F(_buffer_accent_count, Int32) F(_buffer_glyph_count, Int32)                            \
    F(_buffer_upper_count, Int32) F(_buffer_first_lower, Bool)                              \
    F(_buffer_has_non_ascii, Bool) F(_buffer_last_char_ligature, Bool)                      \
    F(_buffer_has_internal_ligature, Bool) F(_is_current_word_invalid, Bool)                \
    F(_invalid_word_count, Int32)

#define VX_FIELDS_CjkUncommonPlugin(F)                                                      \
    F(_character_count, Int32) F(_uncommon_count, Int32)

#define VX_FIELDS_SuspiciousKatakanaPlugin(F)                                               \
    F(_katakana_count, Int32) F(_halfwidth_katakana_count, Int32) F(_cjk_count, Int32)      \
    F(_uncommon_cjk_count, Int32)

#define VX_FIELDS_ArchaicUpperLowerPlugin(F)                                                \
    F(_buf, Bool) F(_character_count_since_last_sep, Int32)                                 \
    F(_successive_upper_lower_count, Run) F(_successive_upper_lower_count_final, Int32)     \
    F(_character_count, Int32) F(_last_alpha_seen_upper, Bool)                              \
    F(_last_alpha_seen_lower, Bool) F(_current_ascii_only, Bool)

#define VX_FIELDS_ArabicIsolatedFormPlugin(F)                                               \
    F(_character_count, Int32) F(_isolated_form_count, Int32)

// The detectors, X(Class, Traits), in the order mess_ratio creates them, runs
// them and lists them in its debug trace. Traits is the struct holding the
// class's rule (murkel/plugin_type.h describes it).
#define VX_MURKEL_DETECTORS(X)                                                              \
    X(TooManySymbolOrPunctuationPlugin, TooManySymbolOrPunctuationTraits)                   \
    X(TooManyAccentuatedPlugin, TooManyAccentuatedTraits)                                   \
    X(UnprintablePlugin, UnprintableTraits)                                                 \
    X(SuspiciousDuplicateAccentPlugin, SuspiciousDuplicateAccentTraits)                     \
    X(SuspiciousRange, SuspiciousRangeTraits)                                               \
    X(SuperWeirdWordPlugin, SuperWeirdWordTraits)                                           \
    X(CjkUncommonPlugin, CjkUncommonTraits)                                                 \
    X(SuspiciousKatakanaPlugin, SuspiciousKatakanaTraits)                                   \
    X(ArchaicUpperLowerPlugin, ArchaicUpperLowerTraits)                                     \
    X(ArabicIsolatedFormPlugin, ArabicIsolatedFormTraits)

// Every class, X(Class, ...), in start-up order: the record, the detectors'
// base class, then the detectors. The order is the class index below.
#define VX_MURKEL_CLASSES(X) X(CharInfo) X(MessDetectorPlugin) VX_MURKEL_DETECTORS(X)

// clang-format on

namespace vx {

// ---------------------------------------------------------------------------
// Instance layouts, named <Class>Object.

#define VX_DECLARE_FIELD(name, kind) field_t<FieldKind::kind> name;

struct CharInfoObject {
    PyObject_HEAD VX_FIELDS_CharInfo(VX_DECLARE_FIELD)
};

struct MessDetectorPluginObject;

// Native method table of the detectors, in slot order. Every slot that can
// fail returns -1 with an exception set (0 on success); ratio cannot fail.
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

#define VX_DECLARE_DETECTOR(Class, Traits)  \
    struct Class##Object {                  \
        MessDetectorPluginObject base;      \
        VX_FIELDS_##Class(VX_DECLARE_FIELD) \
    };
VX_MURKEL_DETECTORS(VX_DECLARE_DETECTOR)
#undef VX_DECLARE_DETECTOR
#undef VX_DECLARE_FIELD

// ---------------------------------------------------------------------------
// The class index: each class's position in VX_MURKEL_CLASSES.

// clang-format off
enum ClassIndex : int {
#define VX_CLASS_INDEX(Name, ...) k##Name##Class,
    VX_MURKEL_CLASSES(VX_CLASS_INDEX)
#undef VX_CLASS_INDEX
    kClassCount,
    // The detectors are the classes after their base.
    kFirstDetectorClass = kMessDetectorPluginClass + 1,
    kDetectorCount = kClassCount - kFirstDetectorClass,
};
// clang-format on

// The class names, indexed by ClassIndex.
inline constexpr const char* kClassNames[kClassCount] = {
#define VX_CLASS_NAME(Class, ...) #Class,
    VX_MURKEL_CLASSES(VX_CLASS_NAME)
#undef VX_CLASS_NAME
};

// The class index of an instance layout: kClassOf<SuspiciousRangeObject>.
template <class Object>
inline constexpr int kClassOf = -1;
#define VX_CLASS_OF(Name, ...) \
    template <>                \
    inline constexpr int kClassOf<Name##Object> = k##Name##Class;
VX_MURKEL_CLASSES(VX_CLASS_OF)
#undef VX_CLASS_OF

// The number of native fields of a class.
#define VX_COUNT_FIELD(name, kind) +1
#define VX_FIELD_COUNT(Class) (0 VX_FIELDS_##Class(VX_COUNT_FIELD))

}  // namespace vx
