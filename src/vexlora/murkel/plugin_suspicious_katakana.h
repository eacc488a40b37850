// SuspiciousKatakanaPlugin: PLACEHOLDER, to be written.
#pragma once

#include "murkel/state.h"

namespace vx::murkel {

struct SuspiciousKatakanaTraits {
    using Object = SuspiciousKatakanaPluginObject;
    static constexpr const char* kName = "SuspiciousKatakanaPlugin";
    static constexpr const char* kDoc = nullptr;
    static constexpr bool kHasReference = false;
    static void construct(Object*) noexcept {}
    static void reset(Object*) noexcept {}
    static int feed(Object*, Py_UCS4, const CharInfoObject*) noexcept { return 0; }
    static double ratio(const Object*) noexcept { return 0.0; }
};

}  // namespace vx::murkel
