// CjkUncommonPlugin: CJK letters outside the host's common set, weighed
// against those inside it.
#pragma once

#include "murkel/plugin_base.h"
#include "murkel/record_bits.h"
#include "murkel/state.h"

namespace vx::murkel {

struct CjkUncommonTraits {
    using Object = CjkUncommonPluginObject;
    static constexpr const char* kDoc = "Detect messy CJK text that probably means nothing.";
    static constexpr bool kHasReference = false;

    static void construct(Object* self) noexcept { reset(self); }

    static void reset(Object* self) noexcept {
        self->_character_count = 0;
        self->_uncommon_count = 0;
    }

    static void feed_bits(Object* self, uint32_t word) noexcept {
        bump(self->_character_count);
        bump(self->_uncommon_count, 1 - bits::bit(word, bits::kCommonCjk));
    }

    // (uncommon - common) over a denominator of at least 80, so the value
    // stays small (at most 0.2) and short texts weigh little.
    static double ratio(const Object* self) noexcept {
        const int32_t c = self->_character_count;
        if (c < 4) {
            return 0.0;
        }
        const double d = c < 16 ? 80.0 : 5.0 * static_cast<double>(c);
        const double x = static_cast<double>(int64_t{self->_uncommon_count} * 2 - c) / d;
        return x > 0.0 ? x : 0.0;
    }
};

}  // namespace vx::murkel
