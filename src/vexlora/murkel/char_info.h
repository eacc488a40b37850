// CharInfo: the record of pre-computed properties of one character.
#pragma once

#include "shared/charinfo_layout.h"
#include "shared/fields.h"

namespace vx::murkel {

// The 28 fields in declaration order (drives attribute access and pickling).
inline constexpr Py_ssize_t kCharInfoFieldCount = 28;
extern const FieldDesc kCharInfoFields[kCharInfoFieldCount];

}  // namespace vx::murkel
