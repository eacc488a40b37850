// PLACEHOLDER, to be written.
#include "tessaly/functions.h"

namespace vx::tessaly {

int initialize_language_ranks() noexcept { return 0; }

}  // namespace vx::tessaly
