// TooManyAccentuatedPlugin: accentuated letters among alphabetic characters.
#pragma once

#include "murkel/plugin_base.h"
#include "murkel/record_bits.h"
#include "murkel/state.h"

namespace vx::murkel {

struct TooManyAccentuatedTraits {
    using Object = TooManyAccentuatedPluginObject;
    static constexpr const char* kDoc = nullptr;
    static constexpr bool kHasReference = false;

    static void construct(Object* self) noexcept { reset(self); }

    static void reset(Object* self) noexcept {
        self->_character_count = 0;
        self->_accentuated_count = 0;
    }

    static void feed_bits(Object* self, uint32_t word) noexcept {
        bump(self->_character_count);
        bump(self->_accentuated_count, bits::bit(word, bits::kAccentuated));
    }

    // Fewer than eight letters say nothing either way.
    static double ratio(const Object* self) noexcept {
        if (self->_character_count < 8) {
            return 0.0;
        }
        double r = static_cast<double>(self->_accentuated_count) / static_cast<double>(self->_character_count);
        return r >= 0.35 ? r : 0.0;
    }
};

}  // namespace vx::murkel
