// PLACEHOLDER: the mess ratio driver, to be written.
#include "murkel/registry.h"

namespace vx::murkel {

double mess_ratio_native(PyObject*, int, MessRatioOptionalArgs*) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "mess_ratio");
    return -1.0;
}

int define_mess_ratio_function(PyObject*) noexcept { return 0; }

}  // namespace vx::murkel
