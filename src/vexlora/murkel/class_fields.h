// Field tables of the twelve classes: what gets saved and restored when an
// object is pickled or copied, and the layout checksums that guard it.
#pragma once

#include "shared/fields.h"

namespace vx::murkel {

// Position of each class in the tables below (the order classes are
// registered at start-up).
enum ClassIndex : int {
    kCharInfoClass,
    kMessDetectorPluginClass,
    kTooManySymbolOrPunctuationPluginClass,
    kTooManyAccentuatedPluginClass,
    kUnprintablePluginClass,
    kSuspiciousDuplicateAccentPluginClass,
    kSuspiciousRangeClass,
    kSuperWeirdWordPluginClass,
    kCjkUncommonPluginClass,
    kSuspiciousKatakanaPluginClass,
    kArchaicUpperLowerPluginClass,
    kArabicIsolatedFormPluginClass,
    kClassCount,
};

// One entry per class, indexed by ClassIndex. The state order and member
// text are derived from the declaration-order fields when the library loads.
extern const ClassFields kClassFields[kClassCount];

// The class itself, indexed by ClassIndex (the detectors last, in the order
// mess_ratio creates and runs them).
extern PyTypeObject* const kClassTypes[kClassCount];

}  // namespace vx::murkel
