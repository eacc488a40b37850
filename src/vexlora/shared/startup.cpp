#include "shared/startup.h"

#include "shared/errors.h"
#include "shared/pyref.h"

namespace vx {

namespace {

int copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* from, const char* to,
                        bool none_allowed) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    if (!none_allowed && value.get() == Py_None) {
        return 0;
    }
    return PyDict_SetItemString(module_dict, to, value.get());
}

}  // namespace

PyObject* create_module(ModuleRecord& record, PyObject* spec) noexcept {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (record.interpreter_id == -1) {
        record.interpreter_id = current;
    } else if (record.interpreter_id != current) {
        PyErr_SetString(
            PyExc_ImportError,
            "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (record.module != nullptr) {
        return Py_NewRef(record.module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

int exec_module_once(ModuleRecord& record, PyObject* module, const char* short_name, const char* full_name,
                     NamespaceSlots slots, int (*start_up)(PyObject* module)) noexcept {
    if (record.module != nullptr) {
        if (record.module == module) {
            return 0;
        }
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     short_name);
        return -1;
    }
    record.module = Py_NewRef(module);
    *slots.module = module;
    *slots.dict = PyModule_GetDict(module);
    if (*slots.builtins == nullptr) {
        *slots.builtins = builtins_namespace();
    }
    if (*slots.builtins != nullptr && start_up(module) == 0) {
        return 0;
    }
    Ref where = Ref::steal(PyUnicode_FromFormat("init %s", full_name));
    if (where) {
        VX_TRACEBACK(PyUnicode_AsUTF8(where.get()));
    }
    Py_CLEAR(record.module);
    *slots.module = nullptr;
    *slots.dict = nullptr;
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_ImportError, "init %s", full_name);
    }
    return -1;
}

PyObject* builtins_namespace() noexcept {
    PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
    return builtins ? Py_NewRef(PyModule_GetDict(builtins)) : nullptr;
}

int check_runtime_version(const char* module_fullname) noexcept {
    const char* version = Py_GetVersion();
    int major = 0;
    int minor = 0;
    const char* p = version;
    while (*p >= '0' && *p <= '9') {
        major = major * 10 + (*p++ - '0');
    }
    if (*p == '.') {
        ++p;
    }
    while (*p >= '0' && *p <= '9') {
        minor = minor * 10 + (*p++ - '0');
    }
    // The interpreter the module was compiled for (3.12 or 3.13).
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) {
        return 0;
    }
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, module_fullname, "does not match", major, minor);
}

int ensure_in_sys_modules(const char* fullname, PyObject* module) noexcept {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* existing = PyDict_GetItemString(modules, fullname);
    if (existing != nullptr) {
        return 0;
    }
    return PyDict_SetItemString(modules, fullname, module);
}

int import_names(PyObject* module_dict, const char* from_module, const char* const* names, Py_ssize_t count) noexcept {
    Ref module;
    {
        // Use the loaded module when it already has every requested name.
        // Held first: an attribute lookup may run code that drops it from
        // sys.modules.
        Ref loaded = Ref::borrow(PyDict_GetItemString(PyImport_GetModuleDict(), from_module));
        bool complete = static_cast<bool>(loaded);
        for (Py_ssize_t i = 0; complete && i < count; ++i) {
            complete = PyObject_HasAttrString(loaded.get(), names[i]) != 0;
        }
        if (complete) {
            module = std::move(loaded);
        }
    }
    if (!module) {
        Ref fromlist = Ref::steal(PyList_New(count));
        if (!fromlist) {
            return -1;
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* s = PyUnicode_FromString(names[i]);
            if (s == nullptr) {
                return -1;
            }
            PyList_SET_ITEM(fromlist.get(), i, s);
        }
        Ref modname = Ref::steal(PyUnicode_FromString(from_module));
        if (!modname) {
            return -1;
        }
        module = Ref::steal(PyImport_ImportModuleLevelObject(modname.get(), module_dict, nullptr, fromlist.get(), 0));
        if (!module) {
            return -1;
        }
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref value = Ref::steal(PyObject_GetAttrString(module.get(), names[i]));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                return -1;
            }
            PyErr_Clear();
            // Fall back to a submodule entry "<module>.<name>" in sys.modules.
            Ref full = Ref::steal(PyUnicode_FromFormat("%s.%s", from_module, names[i]));
            if (!full) {
                return -1;
            }
            PyObject* sub = PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get());
            if (sub == nullptr) {
                if (!PyErr_Occurred()) {
                    Ref n = Ref::steal(PyUnicode_FromString(names[i]));
                    if (n) {
                        PyErr_Format(PyExc_ImportError, "cannot import name %R", n.get());
                    }
                }
                return -1;
            }
            value = Ref::borrow(sub);
        }
        if (PyDict_SetItemString(module_dict, names[i], value.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

int import_module_as(PyObject* module_dict, const char* name) noexcept {
    Ref modname = Ref::steal(PyUnicode_FromString(name));
    if (!modname) {
        return -1;
    }
    Ref module = Ref::steal(PyImport_ImportModuleLevelObject(modname.get(), module_dict, nullptr, nullptr, 0));
    if (!module) {
        return -1;
    }
    return PyDict_SetItemString(module_dict, name, module.get());
}

}  // namespace vx
