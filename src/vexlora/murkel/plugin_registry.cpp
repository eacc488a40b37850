// Registration of the concrete detector plugin classes, in start-up order:
// one type object per entry of VX_MURKEL_DETECTORS, built from its traits.
#include <type_traits>

#include "murkel/plugin_base.h"
#include "murkel/plugin_type.h"
#include "murkel/plugins.h"

namespace vx::murkel {

#define VX_DEFINE_TYPE(Class, Traits)                                                                 \
    static_assert(std::is_same_v<Traits::Object, Class##Object>, #Traits " describes another class"); \
    PyTypeObject Class##Type = {PyVarObject_HEAD_INIT(nullptr, 0)};
VX_MURKEL_DETECTORS(VX_DEFINE_TYPE)
#undef VX_DEFINE_TYPE

int register_plugin_types(PyObject* module) noexcept {
    if (register_base_plugin_type(module) < 0) {
        return -1;
    }
#define VX_REGISTER(Class, Traits)                                        \
    if (ConcretePlugin<Traits>::register_type(Class##Type, module) < 0) { \
        return -1;                                                        \
    }
    VX_MURKEL_DETECTORS(VX_REGISTER)
#undef VX_REGISTER
    return 0;
}

int attach_plugin_methods() noexcept {
    if (attach_base_plugin_methods() < 0) {
        return -1;
    }
#define VX_ATTACH(Class, Traits)                                   \
    if (ConcretePlugin<Traits>::attach_methods(Class##Type) < 0) { \
        return -1;                                                 \
    }
    VX_MURKEL_DETECTORS(VX_ATTACH)
#undef VX_ATTACH
    return 0;
}

}  // namespace vx::murkel
