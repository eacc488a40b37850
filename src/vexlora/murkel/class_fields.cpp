// The fields of every class, described once in declaration order. Pickled
// state lists them alphabetically; the checksums are the first seven hex
// digits of the SHA-256, SHA-1 and MD5 digests of the alphabetical names
// joined by blanks, and old pickles may carry any of the three.
#include "murkel/class_fields.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <string>

#include "murkel/char_info.h"
#include "shared/plugin_layout.h"

namespace vx::murkel {

namespace {

#define VX_FIELD(object, name, kind) {#name, FieldKind::kind, offsetof(object, name)}

#define VX_T TooManySymbolOrPunctuationPluginObject
const FieldDesc kTooManySymbolOrPunctuationFields[] = {
    VX_FIELD(VX_T, _punctuation_count, Int32),
    VX_FIELD(VX_T, _symbol_count, Int32),
    VX_FIELD(VX_T, _character_count, Int32),
    VX_FIELD(VX_T, _last_printable_char, UInt32),
};
#undef VX_T

#define VX_T TooManyAccentuatedPluginObject
const FieldDesc kTooManyAccentuatedFields[] = {
    VX_FIELD(VX_T, _character_count, Int32),
    VX_FIELD(VX_T, _accentuated_count, Int32),
};
#undef VX_T

#define VX_T UnprintablePluginObject
const FieldDesc kUnprintableFields[] = {
    VX_FIELD(VX_T, _unprintable_count, Int32),
    VX_FIELD(VX_T, _character_count, Int32),
    VX_FIELD(VX_T, _has_escape, Bool),
};
#undef VX_T

#define VX_T SuspiciousDuplicateAccentPluginObject
const FieldDesc kSuspiciousDuplicateAccentFields[] = {
    VX_FIELD(VX_T, _successive_count, Int32),
    VX_FIELD(VX_T, _character_count, Int32),
    VX_FIELD(VX_T, _last_latin_character, CharInfo),
    VX_FIELD(VX_T, _last_was_accentuated, Bool),
};
#undef VX_T

#define VX_T SuspiciousRangeObject
const FieldDesc kSuspiciousRangeFields[] = {
    VX_FIELD(VX_T, _suspicious_successive_range_count, Int32),
    VX_FIELD(VX_T, _character_count, Int32),
    VX_FIELD(VX_T, _has_last_printable, Bool),
    VX_FIELD(VX_T, _last_printable_range, Object),
};
#undef VX_T

#define VX_T SuperWeirdWordPluginObject
const FieldDesc kSuperWeirdWordFields[] = {
    VX_FIELD(VX_T, _word_count, Int32),
    VX_FIELD(VX_T, _bad_word_count, Int32),
    VX_FIELD(VX_T, _foreign_long_count, Int32),
    VX_FIELD(VX_T, _is_current_word_bad, Bool),
    VX_FIELD(VX_T, _foreign_long_watch, Bool),
    VX_FIELD(VX_T, _character_count, Int32),
    VX_FIELD(VX_T, _bad_character_count, Int32),
    VX_FIELD(VX_T, _buffer_length, Int32),
    VX_FIELD(VX_T, _buffer_last_char_upper, Bool),
    VX_FIELD(VX_T, _buffer_last_char_accentuated, Bool),
    VX_FIELD(VX_T, _buffer_accent_count, Int32),
    VX_FIELD(VX_T, _buffer_glyph_count, Int32),
    VX_FIELD(VX_T, _buffer_upper_count, Int32),
    VX_FIELD(VX_T, _buffer_first_lower, Bool),
    VX_FIELD(VX_T, _buffer_has_non_ascii, Bool),
    VX_FIELD(VX_T, _buffer_last_char_ligature, Bool),
    VX_FIELD(VX_T, _buffer_has_internal_ligature, Bool),
    VX_FIELD(VX_T, _is_current_word_invalid, Bool),
    VX_FIELD(VX_T, _invalid_word_count, Int32),
};
#undef VX_T

#define VX_T CjkUncommonPluginObject
const FieldDesc kCjkUncommonFields[] = {
    VX_FIELD(VX_T, _character_count, Int32),
    VX_FIELD(VX_T, _uncommon_count, Int32),
};
#undef VX_T

#define VX_T SuspiciousKatakanaPluginObject
const FieldDesc kSuspiciousKatakanaFields[] = {
    VX_FIELD(VX_T, _katakana_count, Int32),
    VX_FIELD(VX_T, _halfwidth_katakana_count, Int32),
    VX_FIELD(VX_T, _cjk_count, Int32),
    VX_FIELD(VX_T, _uncommon_cjk_count, Int32),
};
#undef VX_T

#define VX_T ArchaicUpperLowerPluginObject
const FieldDesc kArchaicUpperLowerFields[] = {
    VX_FIELD(VX_T, _buf, Bool),
    VX_FIELD(VX_T, _character_count_since_last_sep, Int32),
    VX_FIELD(VX_T, _successive_upper_lower_count, Int32),
    VX_FIELD(VX_T, _successive_upper_lower_count_final, Int32),
    VX_FIELD(VX_T, _character_count, Int32),
    VX_FIELD(VX_T, _last_alpha_seen_upper, Bool),
    VX_FIELD(VX_T, _last_alpha_seen_lower, Bool),
    VX_FIELD(VX_T, _current_ascii_only, Bool),
};
#undef VX_T

#define VX_T ArabicIsolatedFormPluginObject
const FieldDesc kArabicIsolatedFormFields[] = {
    VX_FIELD(VX_T, _character_count, Int32),
    VX_FIELD(VX_T, _isolated_form_count, Int32),
};
#undef VX_T

#undef VX_FIELD

// The alphabetical order of a class's fields and their names joined with
// ", ", built once from the declaration-order table.
template <std::size_t N>
struct Derived {
    std::array<uint8_t, N> order{};
    std::string text;

    explicit Derived(const FieldDesc* fields) {
        for (std::size_t i = 0; i < N; ++i) {
            order[i] = static_cast<uint8_t>(i);
        }
        std::sort(order.begin(), order.end(),
                  [fields](uint8_t a, uint8_t b) { return std::strcmp(fields[a].name, fields[b].name) < 0; });
        for (std::size_t i = 0; i < N; ++i) {
            if (i != 0) {
                text += ", ";
            }
            text += fields[order[i]].name;
        }
    }
};

template <std::size_t N>
ClassFields describe(const char* name, const FieldDesc (&fields)[N], const Derived<N>& derived, long sha256, long sha1,
                     long md5) {
    return {name, fields, static_cast<Py_ssize_t>(N), derived.order.data(), {sha256, sha1, md5}, derived.text.c_str()};
}

const Derived<kCharInfoFieldCount> kCharInfoDerived(kCharInfoFields);
const Derived<4> kTooManySymbolOrPunctuationDerived(kTooManySymbolOrPunctuationFields);
const Derived<2> kTooManyAccentuatedDerived(kTooManyAccentuatedFields);
const Derived<3> kUnprintableDerived(kUnprintableFields);
const Derived<4> kSuspiciousDuplicateAccentDerived(kSuspiciousDuplicateAccentFields);
const Derived<4> kSuspiciousRangeDerived(kSuspiciousRangeFields);
const Derived<19> kSuperWeirdWordDerived(kSuperWeirdWordFields);
const Derived<2> kCjkUncommonDerived(kCjkUncommonFields);
const Derived<4> kSuspiciousKatakanaDerived(kSuspiciousKatakanaFields);
const Derived<8> kArchaicUpperLowerDerived(kArchaicUpperLowerFields);
const Derived<2> kArabicIsolatedFormDerived(kArabicIsolatedFormFields);

}  // namespace

const ClassFields kClassFields[kClassCount] = {
    describe("CharInfo", kCharInfoFields, kCharInfoDerived, 0xf7ea24c, 0x5afcf8a, 0xadb4e5c),
    // The base class has no fields of its own.
    {"MessDetectorPlugin", nullptr, 0, nullptr, {0xe3b0c44, 0xda39a3e, 0xd41d8cd}, ""},
    describe("TooManySymbolOrPunctuationPlugin", kTooManySymbolOrPunctuationFields, kTooManySymbolOrPunctuationDerived,
             0x327c53a, 0x1a068f6, 0x65e67bd),
    describe("TooManyAccentuatedPlugin", kTooManyAccentuatedFields, kTooManyAccentuatedDerived, 0x449210c, 0x1ce7123,
             0x08c77a1),
    describe("UnprintablePlugin", kUnprintableFields, kUnprintableDerived, 0xd0712a7, 0xcba0289, 0xc8dc087),
    describe("SuspiciousDuplicateAccentPlugin", kSuspiciousDuplicateAccentFields, kSuspiciousDuplicateAccentDerived,
             0x8e0a0ae, 0x2c209e2, 0xe01428c),
    describe("SuspiciousRange", kSuspiciousRangeFields, kSuspiciousRangeDerived, 0xc3a586a, 0xc3a5e3d, 0x21be36c),
    describe("SuperWeirdWordPlugin", kSuperWeirdWordFields, kSuperWeirdWordDerived, 0x4e9a21b, 0x44df1eb, 0x7528bac),
    describe("CjkUncommonPlugin", kCjkUncommonFields, kCjkUncommonDerived, 0x7755c74, 0xcb89c6a, 0x34be3ad),
    describe("SuspiciousKatakanaPlugin", kSuspiciousKatakanaFields, kSuspiciousKatakanaDerived, 0xe0740f5, 0xea7dd01,
             0x5350dcc),
    describe("ArchaicUpperLowerPlugin", kArchaicUpperLowerFields, kArchaicUpperLowerDerived, 0x8731d9b, 0x2ef271b,
             0xf2708e8),
    describe("ArabicIsolatedFormPlugin", kArabicIsolatedFormFields, kArabicIsolatedFormDerived, 0xe896c1a, 0x6b9dafd,
             0x8829393),
};

}  // namespace vx::murkel
