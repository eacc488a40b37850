// Native functions that vexlora.murkel exports in its __pyx_capi__ table.
// Each capsule is named by the function's signature text; an importer asks
// for the same text and refuses a capsule with any other name, so both
// modules must be built from this header.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "shared/murkel_classes.h"

namespace vx {

// Optional arguments of the native mess_ratio: `count` says how many of the
// following fields are present (0: defaults; 1: maximum_threshold; 2: both).
struct MessRatioOptionalArgs {
    int32_t count;
    double maximum_threshold;
    int32_t debug;
};

using MessRatioFn = double (*)(PyObject* decoded_sequence, int skip_dispatch, MessRatioOptionalArgs* optional);
using CharInfoFromCodepointFn = CharInfoObject* (*)(Py_UCS4 cp);

inline constexpr const char kMessRatioSignature[] =
    "double (PyObject *, int, struct vexlora_mess_ratio_optional_args *)";
inline constexpr const char kCharInfoFromCodepointSignature[] = "struct vexlora_CharInfoObject *(Py_UCS4)";

}  // namespace vx
