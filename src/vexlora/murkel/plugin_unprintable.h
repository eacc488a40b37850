// UnprintablePlugin: control characters that are neither printable nor white
// space; a single escape character marks the whole text.
#pragma once

#include "murkel/plugin_base.h"
#include "murkel/record_bits.h"
#include "murkel/state.h"

namespace vx::murkel {

struct UnprintableTraits {
    using Object = UnprintablePluginObject;
    static constexpr const char* kDoc = nullptr;
    static constexpr bool kHasReference = false;

    static void construct(Object* self) noexcept {
        self->_unprintable_count = 0;
        self->_character_count = 0;
        self->_has_escape = 0;
    }

    // The character count survives a reset.
    static void reset(Object* self) noexcept {
        self->_unprintable_count = 0;
        self->_has_escape = 0;
    }

    static void feed_bits(Object* self, uint32_t word) noexcept {
        self->_has_escape = (word & bits::kEscape) != 0 ? 1 : self->_has_escape;
        bump(self->_unprintable_count, bits::bit(word, bits::kUnprintable));
        bump(self->_character_count);
    }

    // No threshold and no clamp: the value may exceed 1.0.
    static double ratio(const Object* self) noexcept {
        if (self->_character_count == 0) {
            return 0.0;
        }
        if (self->_has_escape) {
            return 1.0;
        }
        return static_cast<double>(int64_t{self->_unprintable_count} * 8) / static_cast<double>(self->_character_count);
    }
};

}  // namespace vx::murkel
