// Field tables of murkel's classes: what gets saved and restored when an
// object is pickled or copied, and the layout checksums that guard it. Both
// are derived from the class declarations in shared/murkel_classes.h.
#pragma once

#include "shared/fields.h"
#include "shared/murkel_classes.h"

namespace vx::murkel {

// One entry per class, indexed by ClassIndex.
extern const ClassFields kClassFields[kClassCount];

// The class itself, indexed by ClassIndex (the detectors last, in the order
// mess_ratio creates and runs them).
extern PyTypeObject* const kClassTypes[kClassCount];

}  // namespace vx::murkel
