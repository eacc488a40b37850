// TooManySymbolOrPunctuationPlugin: punctuation and symbols among printable
// characters; a character repeating the one before it is never counted.
#pragma once

#include "murkel/plugin_base.h"
#include "murkel/record_bits.h"
#include "murkel/state.h"

namespace vx::murkel {

struct TooManySymbolOrPunctuationTraits {
    using Object = TooManySymbolOrPunctuationPluginObject;
    static constexpr const char* kDoc = nullptr;
    static constexpr bool kHasReference = false;
    static constexpr uint32_t kNoCharacter = 0xFFFFFFFFu;

    static void construct(Object* self) noexcept {
        self->_punctuation_count = 0;
        self->_symbol_count = 0;
        self->_character_count = 0;
        self->_last_printable_char = kNoCharacter;
    }

    // The previous character is kept across a reset on purpose.
    static void reset(Object* self) noexcept {
        self->_punctuation_count = 0;
        self->_symbol_count = 0;
        self->_character_count = 0;
    }

    // The rule, over the record bits, without branches.
    static void feed_bits(Object* self, Py_UCS4 cp, uint32_t word) noexcept {
        bump(self->_character_count);
        const int32_t fresh = cp != self->_last_printable_char ? 1 : 0;
        bump(self->_punctuation_count, fresh & bits::bit(word, bits::kCountedPunct));
        bump(self->_symbol_count, 2 * (fresh & bits::bit(word, bits::kCountedSymbol)));
        self->_last_printable_char = cp;
    }

    static double ratio(const Object* self) noexcept {
        if (self->_character_count == 0) {
            return 0.0;
        }
        double r = static_cast<double>(int64_t{self->_punctuation_count} + self->_symbol_count) /
                   static_cast<double>(self->_character_count);
        return r >= 0.3 ? r : 0.0;
    }
};

}  // namespace vx::murkel
