// PLACEHOLDER: is_suspiciously_successive_range, to be written.
#include "murkel/registry.h"

namespace vx::murkel {

int define_successive_range_function(PyObject*) noexcept { return 0; }

}  // namespace vx::murkel
