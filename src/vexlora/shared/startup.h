// Module start-up steps shared by both extension modules (multi-phase
// initialisation): the create step with its one-interpreter rule, the version
// check, and `from <module> import <names>` into the module namespace.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace vx {

// What a module remembers about its one initialisation.
struct ModuleRecord {
    PyObject* module = nullptr;   // strong reference once the execute step succeeded (or runs)
    int64_t interpreter_id = -1;  // interpreter that first created the module
};

// Create step: refuse a second interpreter, reuse an initialised module,
// otherwise create a module named after the spec and copy its attributes.
PyObject* create_module(ModuleRecord& record, PyObject* spec) noexcept;

// Where a module keeps its namespace: the module object (borrowed), its
// dict (borrowed) and the builtins namespace (strong, looked up once).
struct NamespaceSlots {
    PyObject** module;
    PyObject** dict;
    PyObject** builtins;
};

// Execute step: bind the namespace slots, then run `start_up` once, on the
// module object the create step made. The same module again succeeds at
// once; another module object is refused. On failure the record and the
// namespace slots are forgotten (so a later import starts afresh), and an
// ImportError "init <full_name>" is raised if nothing else was.
int exec_module_once(ModuleRecord& record, PyObject* module, const char* short_name, const char* full_name,
                     NamespaceSlots slots, int (*start_up)(PyObject* module)) noexcept;

// The namespace dict of the builtins module (new reference).
PyObject* builtins_namespace() noexcept;

// Warn (RuntimeWarning) when the running interpreter is not 3.12.
int check_runtime_version(const char* module_fullname) noexcept;

// Make sure sys.modules holds `module` under `fullname`.
int ensure_in_sys_modules(const char* fullname, PyObject* module) noexcept;

// `from <from_module> import <names...>` binding each name in module_dict, in
// order. A module already in sys.modules that has every name is used as is.
int import_names(PyObject* module_dict, const char* from_module, const char* const* names, Py_ssize_t count) noexcept;

// `import <name>` binding it under the same name.
int import_module_as(PyObject* module_dict, const char* name) noexcept;

}  // namespace vx
