// PLACEHOLDER: pickling and copying of the module's classes, to be written.
#include "murkel/registry.h"

namespace vx::murkel {

int attach_persistence_methods(PyTypeObject*) noexcept { return 0; }
int attach_char_info_persistence() noexcept { return 0; }
int define_unpickle_functions(PyObject*) noexcept { return 0; }

}  // namespace vx::murkel
