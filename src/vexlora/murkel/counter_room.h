// Keeping the plugins' signed 32-bit counters from wrapping.
//
// The counters stay 32-bit (their layout is part of the pickled state), yet a
// process can hold a text of more than 2**31 characters, and a restored state
// may start anywhere in the 32-bit range. Feeding one character moves a
// counter by at most 2, except the sums that take in a pending run at once
// (SuperWeirdWordPlugin adds the current word's length, ArchaicUpperLowerPlugin
// the current flip count: the fields of kind Run), which move by at most that
// run more. Callers ask before feeding whether that many characters still
// fit, and raise OverflowError instead of letting a counter wrap into a wrong
// ratio.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "shared/murkel_classes.h"

namespace vx::murkel {

// Can `characters` more characters be fed to the plugin of class `cls` (a
// ClassIndex) whose fields are at `plugin` without any counter leaving the
// signed 32-bit range? 1 if so; 0 with OverflowError naming the counter.
int counters_fit(int cls, const void* plugin, int64_t characters) noexcept;

// The same for a plugin of a known layout.
template <class Object>
int counters_fit(const Object* plugin, int64_t characters) noexcept {
    static_assert(kClassOf<Object> >= kFirstDetectorClass, "not a detector's layout");
    return counters_fit(kClassOf<Object>, plugin, characters);
}

}  // namespace vx::murkel
