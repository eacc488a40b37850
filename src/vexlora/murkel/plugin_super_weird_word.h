// SuperWeirdWordPlugin: words whose letters look implausible. Only running
// aggregates of the current word are kept, never its text.
#pragma once

#include "murkel/plugin_base.h"
#include "murkel/record_bits.h"
#include "murkel/state.h"

namespace vx::murkel {

struct SuperWeirdWordTraits {
    using Object = SuperWeirdWordPluginObject;
    static constexpr const char* kDoc = nullptr;
    static constexpr bool kHasReference = false;

    static void construct(Object* self) noexcept { reset(self); }

    static void reset(Object* self) noexcept {
        self->_word_count = 0;
        self->_bad_word_count = 0;
        self->_foreign_long_count = 0;
        self->_is_current_word_bad = 0;
        self->_foreign_long_watch = 0;
        self->_character_count = 0;
        self->_bad_character_count = 0;
        self->_is_current_word_invalid = 0;
        self->_invalid_word_count = 0;
        clear_word(self);
    }

    // The ten fields describing the current word.
    static void clear_word(Object* self) noexcept {
        self->_buffer_length = 0;
        self->_buffer_last_char_upper = 0;
        self->_buffer_last_char_accentuated = 0;
        self->_buffer_accent_count = 0;
        self->_buffer_glyph_count = 0;
        self->_buffer_upper_count = 0;
        self->_buffer_first_lower = 0;
        self->_buffer_has_non_ascii = 0;
        self->_buffer_last_char_ligature = 0;
        self->_buffer_has_internal_ligature = 0;
    }

    static void add_letter(Object* self, const CharInfoObject* info) noexcept {
        if (self->_buffer_last_char_ligature) {
            self->_buffer_has_internal_ligature = 1;
        }
        self->_buffer_last_char_ligature = info->is_ligature;
        if (self->_buffer_length == 0) {
            self->_buffer_first_lower = info->lower;
        }
        bump(self->_buffer_length);
        self->_buffer_last_char_upper = info->upper;
        if (info->upper) {
            bump(self->_buffer_upper_count);
        }
        if (!info->is_ascii) {
            self->_buffer_has_non_ascii = 1;
        }
        self->_buffer_last_char_accentuated = info->accentuated;
        if (info->accentuated) {
            bump(self->_buffer_accent_count);
        }
        if (info->is_glyph) {
            bump(self->_buffer_glyph_count);
            return;
        }
        if (!self->_foreign_long_watch && (!info->latin || info->accentuated)) {
            self->_foreign_long_watch = 1;
        }
    }

    // Judge the word that just ended and fold it into the text counters.
    static void end_word(Object* self) noexcept {
        const int32_t n = self->_buffer_length;
        bump(self->_word_count);
        bump(self->_character_count, n);
        if (n >= 4) {
            // accents / n >= 0.5, exactly, without a division (n is positive here)
            if (2 * static_cast<int64_t>(self->_buffer_accent_count) >= n) {
                self->_is_current_word_bad = 1;
            } else if (self->_buffer_last_char_accentuated && self->_buffer_last_char_upper &&
                       self->_buffer_upper_count != n) {
                bump(self->_foreign_long_count);
                self->_is_current_word_bad = 1;
            } else if (self->_buffer_glyph_count == 1) {
                self->_is_current_word_bad = 1;
                bump(self->_foreign_long_count);
            } else if (self->_buffer_has_non_ascii && self->_buffer_first_lower &&
                       self->_buffer_upper_count == wrap_add(n, -1)) {
                bump(self->_foreign_long_count);
                self->_is_current_word_bad = 1;
            }
        }
        if (n >= 24 && self->_foreign_long_watch) {
            const int32_t u = self->_buffer_upper_count;
            // u / n <= 0.3 in doubles is exactly 10u <= 3n for these magnitudes
            const bool camel_case = u > 0 && 10 * static_cast<int64_t>(u) <= 3 * static_cast<int64_t>(n);
            if (!camel_case) {
                bump(self->_foreign_long_count);
                self->_is_current_word_bad = 1;
            }
        }
        if (self->_is_current_word_bad) {
            bump(self->_bad_word_count);
            bump(self->_bad_character_count, n);
            self->_is_current_word_bad = 0;
        }
        if (self->_is_current_word_invalid) {
            bump(self->_invalid_word_count);
            self->_is_current_word_invalid = 0;
        }
        self->_foreign_long_watch = 0;
        clear_word(self);
    }

    // The rule, over the record bits. A letter is plain selects and adds;
    // only the end of a word branches.
    static void feed_bits(Object* self, uint32_t word) noexcept {
        using bits::bit;
        if ((word & bits::kAlpha) != 0) {
            const int32_t length = self->_buffer_length;
            self->_buffer_has_internal_ligature =
                self->_buffer_last_char_ligature ? 1 : self->_buffer_has_internal_ligature;
            self->_buffer_last_char_ligature = bit(word, bits::kLigature);
            self->_buffer_first_lower = length == 0 ? bit(word, bits::kLower) : self->_buffer_first_lower;
            self->_buffer_length = wrap_add(length, 1);
            self->_buffer_last_char_upper = bit(word, bits::kUpper);
            bump(self->_buffer_upper_count, bit(word, bits::kUpper));
            self->_buffer_has_non_ascii = (word & bits::kNonAscii) != 0 ? 1 : self->_buffer_has_non_ascii;
            self->_buffer_last_char_accentuated = bit(word, bits::kAccentuated);
            bump(self->_buffer_accent_count, bit(word, bits::kAccentuated));
            bump(self->_buffer_glyph_count, bit(word, bits::kGlyph));
            self->_foreign_long_watch =
                !self->_foreign_long_watch && (word & bits::kForeignLetter) != 0 ? 1 : self->_foreign_long_watch;
            return;
        }
        if (self->_buffer_length == 0) {
            return;
        }
        if ((word & (bits::kOpensSentence | bits::kSuperscript | bits::kEndsWord | bits::kSymbolInWord)) == 0) {
            return;  // a digit, a joiner or anything else that neither ends nor marks the word
        }
        if ((word & bits::kOpensSentence) != 0 ||
            ((word & bits::kSuperscript) != 0 && self->_buffer_has_internal_ligature)) {
            self->_is_current_word_bad = 1;
            self->_is_current_word_invalid = 1;
        }
        if ((word & bits::kEndsWord) != 0) {
            end_word(self);
        } else if ((word & bits::kSymbolInWord) != 0) {
            self->_is_current_word_bad = 1;
            bump(self->_buffer_length);
            self->_buffer_last_char_upper = 0;
            self->_buffer_last_char_accentuated = 0;
        }
    }

    static double ratio(const Object* self) noexcept {
        if (self->_invalid_word_count != 0) {
            return 1.0;
        }
        if (self->_word_count <= 10 && self->_foreign_long_count == 0) {
            return 0.0;
        }
        // Feeding always leaves a positive count here; only a restored state
        // can hold zero, which must not turn into a division by zero.
        if (self->_character_count == 0) {
            return 0.0;
        }
        return static_cast<double>(self->_bad_character_count) / static_cast<double>(self->_character_count);
    }
};

}  // namespace vx::murkel
