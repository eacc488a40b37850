// ArchaicUpperLowerPlugin: letter case flipping back and forth inside short
// runs of cased letters. Runs made only of ASCII are ignored.
#pragma once

#include "murkel/plugin_base.h"
#include "murkel/record_bits.h"
#include "murkel/state.h"

namespace vx::murkel {

struct ArchaicUpperLowerTraits {
    using Object = ArchaicUpperLowerPluginObject;
    static constexpr const char* kDoc = nullptr;
    static constexpr bool kHasReference = false;
    static constexpr int32_t kLongestRun = 64;

    static void construct(Object* self) noexcept { reset(self); }

    static void reset(Object* self) noexcept {
        self->_buf = 0;
        self->_character_count_since_last_sep = 0;
        self->_successive_upper_lower_count = 0;
        self->_successive_upper_lower_count_final = 0;
        self->_character_count = 0;
        self->_last_alpha_seen_upper = 0;
        self->_last_alpha_seen_lower = 0;
        self->_current_ascii_only = 1;
    }

    // A separator (`word`) ends the open case run: a short run of non-ASCII
    // text keeps its flips, unless a digit ends it.
    static void end_run(Object* self, uint32_t word) noexcept {
        // A select rather than a branch: which way it goes follows the text.
        const bool kept = self->_character_count_since_last_sep <= kLongestRun && (word & bits::kDigit) == 0 &&
                          !self->_current_ascii_only;
        bump(self->_successive_upper_lower_count_final, kept ? self->_successive_upper_lower_count : 0);
        self->_successive_upper_lower_count = 0;
        self->_buf = 0;
        self->_character_count_since_last_sep = 0;
        self->_current_ascii_only = 1;
    }

    // The rule, over the record bits; the flip bookkeeping inside a run is
    // plain selects.
    static void feed_bits(Object* self, uint32_t word) noexcept {
        const int32_t run = self->_character_count_since_last_sep;
        if ((word & bits::kCaseSeparator) != 0 && run > 0) {
            end_run(self, word);
            bump(self->_character_count);
            return;
        }
        const int32_t upper = bits::bit(word, bits::kUpper);
        const int32_t lower = bits::bit(word, bits::kLower);
        self->_current_ascii_only =
            self->_current_ascii_only && (word & bits::kNonAscii) != 0 ? 0 : self->_current_ascii_only;
        if (run > 0) {
            const bool flip = (upper && self->_last_alpha_seen_lower) || (lower && self->_last_alpha_seen_upper);
            const bool pending = self->_buf != 0;
            bump(self->_successive_upper_lower_count, flip && pending ? 2 : 0);
            self->_buf = flip && !pending ? 1 : 0;
        }
        bump(self->_character_count);
        bump(self->_character_count_since_last_sep);
        self->_last_alpha_seen_upper = upper;
        self->_last_alpha_seen_lower = lower;
    }

    static double ratio(const Object* self) noexcept {
        if (self->_character_count == 0) {
            return 0.0;
        }
        return static_cast<double>(self->_successive_upper_lower_count_final) /
               static_cast<double>(self->_character_count);
    }
};

}  // namespace vx::murkel
