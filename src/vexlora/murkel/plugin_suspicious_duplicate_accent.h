// SuspiciousDuplicateAccentPlugin: PLACEHOLDER, to be written.
#pragma once

#include "murkel/state.h"

namespace vx::murkel {

struct SuspiciousDuplicateAccentTraits {
    using Object = SuspiciousDuplicateAccentPluginObject;
    static constexpr const char* kName = "SuspiciousDuplicateAccentPlugin";
    static constexpr const char* kDoc = nullptr;
    static constexpr bool kHasReference = true;
    static void construct(Object*) noexcept {}
    static void reset(Object*) noexcept {}
    static int feed(Object*, Py_UCS4, const CharInfoObject*) noexcept { return 0; }
    static double ratio(const Object*) noexcept { return 0.0; }
    static void init_references(Object*) noexcept {}
    static int traverse(Object*, visitproc, void*) noexcept { return 0; }
    static void clear(Object*) noexcept {}
};

}  // namespace vx::murkel
