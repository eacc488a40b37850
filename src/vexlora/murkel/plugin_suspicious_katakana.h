// SuspiciousKatakanaPlugin: only halfwidth Katakana next to only uncommon CJK
// is full mess.
#pragma once

#include "murkel/plugin_base.h"
#include "murkel/record_bits.h"
#include "murkel/state.h"

namespace vx::murkel {

struct SuspiciousKatakanaTraits {
    using Object = SuspiciousKatakanaPluginObject;
    static constexpr const char* kDoc = "Detect implausible halfwidth Katakana and uncommon CJK combinations.";
    static constexpr bool kHasReference = false;

    static void construct(Object* self) noexcept { reset(self); }

    static void reset(Object* self) noexcept {
        self->_katakana_count = 0;
        self->_halfwidth_katakana_count = 0;
        self->_cjk_count = 0;
        self->_uncommon_cjk_count = 0;
    }

    static void feed_bits(Object* self, uint32_t word) noexcept {
        if ((word & bits::kKatakana) != 0) {
            bump(self->_katakana_count);
            bump(self->_halfwidth_katakana_count, bits::bit(word, bits::kHalfwidthKatakana));
        } else {
            bump(self->_cjk_count);
            bump(self->_uncommon_cjk_count, 1 - bits::bit(word, bits::kCommonCjk));
        }
    }

    static double ratio(const Object* self) noexcept {
        const bool all_halfwidth =
            self->_halfwidth_katakana_count >= 4 && self->_halfwidth_katakana_count == self->_katakana_count;
        const bool all_uncommon = self->_cjk_count >= 3 && self->_uncommon_cjk_count == self->_cjk_count;
        return all_halfwidth && all_uncommon ? 1.0 : 0.0;
    }
};

}  // namespace vx::murkel
