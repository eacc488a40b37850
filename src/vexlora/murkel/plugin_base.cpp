// MessDetectorPlugin: the plugin protocol for Python and native callers.
#include "murkel/plugin_base.h"

#include "murkel/registry.h"
#include "murkel/state.h"
#include "shared/args.h"
#include "shared/errors.h"
#include "shared/pyref.h"

namespace vx::murkel {

namespace {

// The base class's own Python methods, to tell them apart from overrides.
// Strong references: the type's dictionary is reachable from Python (through
// the collector), and an entry deleted there must not leave us comparing
// against an address a new object may take.
PyObject* base_feed_info_function = nullptr;
PyObject* base_reset_function = nullptr;

// Does the object's class possibly override methods from Python?
bool may_override(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    return (type->tp_flags & (Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_IS_ABSTRACT)) != 0 || type->tp_dictoffset != 0;
}

// Look up `name` on the object; return the override (new reference), or
// nullptr without an exception when the attribute is the base method itself.
PyObject* find_override(PyObject* self, PyObject* name, PyObject* base_function) noexcept {
    PyObject* attr = PyObject_GetAttr(self, name);
    if (attr == nullptr) {
        return nullptr;
    }
    if (PyMethod_Check(attr) && PyMethod_GET_FUNCTION(attr) == base_function) {
        Py_DECREF(attr);
        return nullptr;
    }
    if (attr == base_function) {
        Py_DECREF(attr);
        return nullptr;
    }
    return attr;
}

PyObject* py_base_feed_info(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"character", "info"};
    static const ArgSpec spec{"feed_info", names, 2, 2};
    PyObject* a[2];
    if (parse_args(spec, args, nargs, kwnames, a) == 0 && check_exact_or_none(a[0], &PyUnicode_Type, "character") &&
        check_instance_or_none(a[1], &CharInfoType, "info")) {
        PyErr_SetNone(PyExc_NotImplementedError);
    }
    VX_TRACEBACK("vexlora.murkel.MessDetectorPlugin.feed_info");
    return nullptr;
}

PyObject* py_base_reset(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (parse_no_args("reset", nargs, kwnames) == 0) {
        PyErr_SetNone(PyExc_NotImplementedError);
    }
    VX_TRACEBACK("vexlora.murkel.MessDetectorPlugin.reset");
    return nullptr;
}

PyObject* base_ratio_get(PyObject*, void*) {
    PyErr_SetNone(PyExc_NotImplementedError);
    VX_TRACEBACK("vexlora.murkel.MessDetectorPlugin.ratio.__get__");
    return nullptr;
}

PyObject* base_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* op = type->tp_alloc(type, 0);
    if (op != nullptr) {
        reinterpret_cast<MessDetectorPluginObject*>(op)->vtab = &kMessDetectorPluginVTable;
    }
    return op;
}

void base_dealloc(PyObject* op) { Py_TYPE(op)->tp_free(op); }

PyGetSetDef base_getset[] = {
    {"ratio", base_ratio_get, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

int base_feed_info(MessDetectorPluginObject* self, PyObject* character, CharInfoObject* info,
                   int skip_dispatch) noexcept {
    PyObject* op = reinterpret_cast<PyObject*>(self);
    if (!skip_dispatch && may_override(op)) {
        Ref method = Ref::steal(find_override(op, g.names.n_feed_info, base_feed_info_function));
        if (method) {
            PyObject* args[] = {character, info ? reinterpret_cast<PyObject*>(info) : Py_None};
            Ref result = Ref::steal(PyObject_Vectorcall(method.get(), args, 2, nullptr));
            if (result) {
                return 0;
            }
        }
        if (PyErr_Occurred()) {
            VX_TRACEBACK("vexlora.murkel.MessDetectorPlugin.feed_info");
            return -1;
        }
    }
    PyErr_SetNone(PyExc_NotImplementedError);
    VX_TRACEBACK("vexlora.murkel.MessDetectorPlugin.feed_info");
    return -1;
}

int base_reset(MessDetectorPluginObject* self, int skip_dispatch) noexcept {
    PyObject* op = reinterpret_cast<PyObject*>(self);
    if (!skip_dispatch && may_override(op)) {
        Ref method = Ref::steal(find_override(op, g.names.n_reset, base_reset_function));
        if (method) {
            Ref result = Ref::steal(PyObject_CallNoArgs(method.get()));
            if (result) {
                return 0;
            }
        }
        if (PyErr_Occurred()) {
            VX_TRACEBACK("vexlora.murkel.MessDetectorPlugin.reset");
            return -1;
        }
    }
    PyErr_SetNone(PyExc_NotImplementedError);
    VX_TRACEBACK("vexlora.murkel.MessDetectorPlugin.reset");
    return -1;
}

const PluginVTable kMessDetectorPluginVTable = {base_feed_info, base_reset, nullptr, nullptr};

bool public_codepoint(PyObject* character, Py_UCS4* out) noexcept {
    if (to_ucs4(character, out)) {
        return true;
    }
    VX_TRACEBACK("vexlora.murkel._public_codepoint");
    return false;
}

int publish_vtable(PyTypeObject* type, const PluginVTable* vtable) noexcept {
    Ref capsule = Ref::steal(PyCapsule_New(const_cast<PluginVTable*>(vtable), nullptr, nullptr));
    if (!capsule) {
        return -1;
    }
    PyObject* dict = PyType_GetDict(type);
    if (dict == nullptr) {
        return -1;
    }
    int rc = PyDict_SetItemString(dict, "__pyx_vtable__", capsule.get());
    Py_DECREF(dict);
    PyType_Modified(type);
    return rc;
}

PyTypeObject MessDetectorPluginType = {PyVarObject_HEAD_INIT(nullptr, 0)};

int register_base_plugin_type(PyObject* module) noexcept {
    MessDetectorPluginType.tp_name = "vexlora.murkel.MessDetectorPlugin";
    MessDetectorPluginType.tp_basicsize = sizeof(MessDetectorPluginObject);
    MessDetectorPluginType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    MessDetectorPluginType.tp_doc = "Base class for mess-detection plugins.";
    MessDetectorPluginType.tp_new = base_new;
    MessDetectorPluginType.tp_dealloc = base_dealloc;
    MessDetectorPluginType.tp_getset = base_getset;
    if (PyType_Ready(&MessDetectorPluginType) < 0 ||
        publish_vtable(&MessDetectorPluginType, &kMessDetectorPluginVTable) < 0) {
        return -1;
    }
    return PyModule_AddObjectRef(module, "MessDetectorPlugin", reinterpret_cast<PyObject*>(&MessDetectorPluginType));
}

int attach_base_plugin_methods() noexcept {
    static const FunctionDef feed_info{"feed_info", py_base_feed_info, nullptr, "($self, character, info)"};
    static const FunctionDef reset{"reset", py_base_reset, nullptr, "($self)"};
    if (add_method(&MessDetectorPluginType, feed_info, kModuleName) < 0 ||
        add_method(&MessDetectorPluginType, reset, kModuleName) < 0) {
        return -1;
    }
    PyObject* dict = PyType_GetDict(&MessDetectorPluginType);
    if (dict == nullptr) {
        return -1;
    }
    Py_XSETREF(base_feed_info_function, Py_XNewRef(PyDict_GetItemString(dict, "feed_info")));
    Py_XSETREF(base_reset_function, Py_XNewRef(PyDict_GetItemString(dict, "reset")));
    Py_DECREF(dict);
    return attach_persistence_methods(&MessDetectorPluginType);
}

}  // namespace vx::murkel
