// Keeping the plugins' signed 32-bit counters from wrapping.
//
// The counters stay 32-bit (their layout is part of the pickled state), yet a
// process can hold a text of more than 2**31 characters, and a restored state
// may start anywhere in the 32-bit range. Feeding one character moves a
// counter by at most 2, except the sums that take in a pending run at once
// (SuperWeirdWordPlugin adds the current word's length, ArchaicUpperLowerPlugin
// the current flip count), which move by at most that run more. Callers ask
// before feeding whether that many characters still fit, and raise
// OverflowError instead of letting a counter wrap into a wrong ratio.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace vx::murkel {

// Can `characters` more characters be fed to the plugin of class `cls` (a
// ClassIndex) whose fields are at `plugin` without any counter leaving the
// signed 32-bit range? 1 if so; 0 with OverflowError naming the counter.
int counters_fit(int cls, const void* plugin, int64_t characters) noexcept;

// The ClassIndex of the class named `class_name` (for example
// "UnprintablePlugin"), or -1.
int class_index_of(const char* class_name) noexcept;

}  // namespace vx::murkel
