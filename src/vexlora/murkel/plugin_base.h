// MessDetectorPlugin, the base class of every detector, and the pieces of the
// protocol the concrete plugins share.
#pragma once

#include <cstdint>

#include "shared/function.h"
#include "shared/murkel_classes.h"

namespace vx::murkel {

// Counter arithmetic with two's-complement wrap-around, so that an update
// stays defined whatever a restored state holds. Callers make sure first that
// no counter can actually wrap (counter_room.h), and ratios are computed in
// 64 bits, so a wrapped value never reaches a result.
inline int32_t wrap_add(int32_t a, int32_t b) noexcept {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
inline void bump(int32_t& counter, int32_t by = 1) noexcept { counter = wrap_add(counter, by); }

// A record's object fields are None at least; read them defensively anyway.
inline PyObject* field_or_none(PyObject* field) noexcept { return field != nullptr ? field : Py_None; }

// Native slots 1 and 2 of the base class: reach a Python override when
// skip_dispatch is 0, otherwise (or without one) raise NotImplementedError.
int base_feed_info(MessDetectorPluginObject* self, PyObject* character, CharInfoObject* info,
                   int skip_dispatch) noexcept;
int base_reset(MessDetectorPluginObject* self, int skip_dispatch) noexcept;
extern const PluginVTable kMessDetectorPluginVTable;

// Convert a feed_info character argument to its code point.
bool public_codepoint(PyObject* character, Py_UCS4* out) noexcept;

// Publish `vtable` in the class dictionary entry __pyx_vtable__.
int publish_vtable(PyTypeObject* type, const PluginVTable* vtable) noexcept;

// Ready the base type (and bind it in the module).
int register_base_plugin_type(PyObject* module) noexcept;
int attach_base_plugin_methods() noexcept;

}  // namespace vx::murkel
