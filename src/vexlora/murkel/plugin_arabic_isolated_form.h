// ArabicIsolatedFormPlugin: the share of Arabic letters in isolated form.
#pragma once

#include "murkel/plugin_base.h"
#include "murkel/record_bits.h"
#include "murkel/state.h"

namespace vx::murkel {

struct ArabicIsolatedFormTraits {
    using Object = ArabicIsolatedFormPluginObject;
    static constexpr const char* kDoc = nullptr;
    static constexpr bool kHasReference = false;

    static void construct(Object* self) noexcept { reset(self); }

    static void reset(Object* self) noexcept {
        self->_character_count = 0;
        self->_isolated_form_count = 0;
    }

    // The isolated-form bit has no field of its own in the record.

    static void feed_bits(Object* self, uint32_t word) noexcept {
        bump(self->_character_count);
        bump(self->_isolated_form_count, bits::bit(word, bits::kIsolatedForm));
    }

    static double ratio(const Object* self) noexcept {
        if (self->_character_count < 8) {
            return 0.0;
        }
        return static_cast<double>(self->_isolated_form_count) / static_cast<double>(self->_character_count);
    }
};

}  // namespace vx::murkel
