// The start-up hooks each murkel source file provides. module.cpp calls them
// in the order the module's attributes are built.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "shared/capi.h"

namespace vx::murkel {

// Class registration: ready the type, publish its method table in
// __pyx_vtable__ and bind it as a module attribute.
int register_char_info_type(PyObject* module) noexcept;  // char_info.cpp
int register_plugin_types(PyObject* module) noexcept;    // plugin_registry.cpp

// Python-visible methods.
int attach_char_info_persistence() noexcept;  // persistence.cpp
int attach_plugin_methods() noexcept;         // plugin_registry.cpp

// Module functions.
int define_char_info_function(PyObject* module) noexcept;         // char_cache.cpp
int define_successive_range_function(PyObject* module) noexcept;  // successive_range.cpp
int define_mess_ratio_function(PyObject* module) noexcept;        // mess_ratio.cpp
int define_unpickle_functions(PyObject* module) noexcept;         // persistence.cpp

// Exported native functions.
CharInfoObject* char_info_from_codepoint(Py_UCS4 cp) noexcept;  // char_cache.cpp
double mess_ratio_native(PyObject* decoded_sequence, int skip_dispatch,
                         MessRatioOptionalArgs* optional) noexcept;  // mess_ratio.cpp

// Persistence methods (__reduce__, __setstate__) for one class.
int attach_persistence_methods(PyTypeObject* type) noexcept;  // persistence.cpp

}  // namespace vx::murkel
