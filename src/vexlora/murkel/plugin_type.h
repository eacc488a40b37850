// The machinery every concrete detector plugin shares, written once: its
// native method table, construction, the Python methods feed_info and reset,
// the ratio property, and garbage-collector support for plugins holding a
// reference.
//
// A plugin file defines a traits struct and instantiates ConcretePlugin:
//
//   struct FooTraits {
//       using Object = FooPluginObject;                 // from shared/murkel_classes.h
//       static constexpr const char* kDoc = nullptr;    // or the docstring
//       static constexpr bool kHasReference = false;    // true: takes part in GC
//       static void construct(Object*);   // __init__: construction values
//       static void reset(Object*);       // reset(): what it clears
//       // The plugin's rule, written once over the record bits (record_bits.h);
//       // the driver feeds it the bits it keeps, feed_info the bits of the
//       // record it is given. One of:
//       static void feed_bits(Object*, uint32_t word);
//       static void feed_bits(Object*, Py_UCS4 cp, uint32_t word);
//       static int feed_bits(Object*, uint32_t word, CharInfoObject*);  // 0, or -1 with exception
//       // or, when the rule needs more than the bits and the record:
//       static int feed(Object*, Py_UCS4, CharInfoObject*);  // 0, or -1 with exception
//       // (a failing update adds its own "._feed" traceback entry)
//       static double ratio(const Object*);
//       // kHasReference only: set the reference fields to None at
//       // allocation, visit them, and clear them (back to None)
//       static void init_references(Object*);
//       static int traverse(Object*, visitproc, void*);
//       static void clear(Object*);
//   };
//   and the class is declared in shared/murkel_classes.h (its fields and
//   its entry X(FooPlugin, FooTraits) in VX_MURKEL_DETECTORS).
#pragma once

#include <string>
#include <string_view>

#include "murkel/counter_room.h"
#include "murkel/plugin_base.h"
#include "murkel/record_bits.h"
#include "murkel/registry.h"
#include "murkel/state.h"
#include "shared/args.h"
#include "shared/errors.h"
#include "shared/pyref.h"

namespace vx::murkel {

template <class Traits>
struct ConcretePlugin {
    using Object = typename Traits::Object;
    static constexpr int kClass = kClassOf<Object>;
    static_assert(kClass >= kFirstDetectorClass, "Traits::Object is not a detector's layout");
    static constexpr const char* kName = kClassNames[kClass];

    static Object* cast(MessDetectorPluginObject* p) noexcept { return reinterpret_cast<Object*>(p); }
    static Object* cast(PyObject* p) noexcept { return reinterpret_cast<Object*>(p); }

    static const std::string& where(const char* member) {
        // Traceback names such as "vexlora.murkel.FooPlugin.feed_info".
        static std::string feed_info = std::string(kModuleName) + "." + kName + ".feed_info";
        static std::string reset = std::string(kModuleName) + "." + kName + ".reset";
        static std::string init = std::string(kModuleName) + "." + kName + ".__init__";
        static std::string feed = std::string(kModuleName) + "." + kName + "._feed";
        std::string_view m(member);
        return m == "feed_info" ? feed_info : m == "reset" ? reset : m == "_feed" ? feed : init;
    }

    // The update reads the record's fields, so None (or anything else that
    // is not a CharInfo) is refused before any counter changes.
    static bool check_info(CharInfoObject* info) noexcept {
        PyObject* op = reinterpret_cast<PyObject*>(info);
        if (op != nullptr && is_char_info(op)) {
            return true;
        }
        raise_arg_type("info", CharInfoType.tp_name, op != nullptr ? op : Py_None);
        return false;
    }

    // The update feed_info and _feed perform: the plugin's rule, fed the
    // bits of the record.
    static int update(Object* self, Py_UCS4 cp, CharInfoObject* info) noexcept {
        if constexpr (requires(Object* o, Py_UCS4 c, CharInfoObject* i) { Traits::feed(o, c, i); }) {
            return Traits::feed(self, cp, info);
        } else if constexpr (requires(Object* o, uint32_t w, CharInfoObject* i) { Traits::feed_bits(o, w, i); }) {
            return Traits::feed_bits(self, bits::of(cp, info), info);
        } else if constexpr (requires(Object* o, Py_UCS4 c, uint32_t w) { Traits::feed_bits(o, c, w); }) {
            Traits::feed_bits(self, cp, bits::of(cp, info));
            return 0;
        } else {
            Traits::feed_bits(self, bits::of(cp, info));
            return 0;
        }
    }

    // The update, refused (OverflowError, nothing changed) when a counter
    // restored near the end of its range could wrap.
    static int checked_feed(MessDetectorPluginObject* self, Py_UCS4 cp, CharInfoObject* info) noexcept {
        if (!counters_fit(kClass, self, 1)) {
            VX_TRACEBACK(where("_feed").c_str());
            return -1;
        }
        return update(cast(self), cp, info);
    }

    // Slot 1: convert the character, then perform the update.
    static int slot_feed_info(MessDetectorPluginObject* self, PyObject* character, CharInfoObject* info, int) noexcept {
        Py_UCS4 cp = 0;
        if (!check_info(info) || !public_codepoint(character, &cp)) {
            return -1;
        }
        return checked_feed(self, cp, info);
    }
    static int slot_reset(MessDetectorPluginObject* self, int) noexcept {
        Traits::reset(cast(self));
        return 0;
    }
    // Slot 3. A failing update adds its own "._feed" traceback entry, so the
    // driver calling Traits::feed directly reports the same.
    static int slot_feed(MessDetectorPluginObject* self, Py_UCS4 cp, CharInfoObject* info) noexcept {
        if (!check_info(info)) {
            VX_TRACEBACK(where("_feed").c_str());
            return -1;
        }
        return checked_feed(self, cp, info);
    }
    static double slot_ratio(MessDetectorPluginObject* self) noexcept { return Traits::ratio(cast(self)); }

    static inline const PluginVTable vtable = {slot_feed_info, slot_reset, slot_feed, slot_ratio};

    static PyObject* tp_new(PyTypeObject* type, PyObject*, PyObject*) {
        PyObject* op = type->tp_alloc(type, 0);
        if (op == nullptr) {
            return nullptr;
        }
        reinterpret_cast<MessDetectorPluginObject*>(op)->vtab = &vtable;
        if constexpr (Traits::kHasReference) {
            Traits::init_references(cast(op));
        }
        return op;
    }

    static int tp_init(PyObject* op, PyObject* args, PyObject* kwargs) {
        static const ArgSpec spec{"__init__", nullptr, 0, 0};
        if (parse_args_tuple(spec, args, kwargs, nullptr) < 0) {
            VX_TRACEBACK(where("__init__").c_str());
            return -1;
        }
        Traits::construct(cast(op));
        return 0;
    }

    static void tp_dealloc(PyObject* op) {
        if constexpr (Traits::kHasReference) {
            // A restored state can chain plugins (and records) to any
            // length: the trashcan bounds the nesting of deallocations.
            PyObject_GC_UnTrack(op);
            Py_TRASHCAN_BEGIN(op, tp_dealloc) Traits::clear(cast(op));
            Py_TYPE(op)->tp_free(op);
            Py_TRASHCAN_END
        } else {
            Py_TYPE(op)->tp_free(op);
        }
    }

    static int tp_traverse(PyObject* op, visitproc visit, void* arg) {
        if constexpr (Traits::kHasReference) {
            return Traits::traverse(cast(op), visit, arg);
        }
        return 0;
    }

    static int tp_clear(PyObject* op) {
        if constexpr (Traits::kHasReference) {
            Traits::clear(cast(op));
        }
        return 0;
    }

    static PyObject* ratio_get(PyObject* op, void*) { return PyFloat_FromDouble(Traits::ratio(cast(op))); }

    static PyObject* py_feed_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        static const char* const names[] = {"character", "info"};
        static const ArgSpec spec{"feed_info", names, 2, 2};
        PyObject* a[2];
        if (parse_args(spec, args, nargs, kwnames, a) < 0 || !check_exact_or_none(a[0], &PyUnicode_Type, "character")) {
            VX_TRACEBACK(where("feed_info").c_str());
            return nullptr;
        }
        if (!check_info(reinterpret_cast<CharInfoObject*>(a[1]))) {
            VX_TRACEBACK(where("feed_info").c_str());
            return nullptr;
        }
        auto* plugin = reinterpret_cast<MessDetectorPluginObject*>(self);
        if (plugin->vtab->feed_info(plugin, a[0], reinterpret_cast<CharInfoObject*>(a[1]), 1) < 0) {
            VX_TRACEBACK(where("feed_info").c_str());
            return nullptr;
        }
        Py_RETURN_NONE;
    }

    static PyObject* py_reset(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
        if (parse_no_args("reset", nargs, kwnames) < 0) {
            VX_TRACEBACK(where("reset").c_str());
            return nullptr;
        }
        auto* plugin = reinterpret_cast<MessDetectorPluginObject*>(self);
        if (plugin->vtab->reset(plugin, 1) < 0) {
            VX_TRACEBACK(where("reset").c_str());
            return nullptr;
        }
        Py_RETURN_NONE;
    }

    static inline PyGetSetDef getset[] = {
        {"ratio", ratio_get, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };

    // Called at start-up, before the host modules are imported: fill in and
    // ready the type, publish its native method table for other modules, and
    // bind the class in the module.
    static int register_type(PyTypeObject& type, PyObject* module) noexcept {
        static std::string full_name = std::string(kModuleName) + "." + kName;
        type.tp_name = full_name.c_str();
        type.tp_basicsize = sizeof(Object);
        type.tp_flags = Py_TPFLAGS_DEFAULT | (Traits::kHasReference ? Py_TPFLAGS_HAVE_GC : 0);
        type.tp_doc = Traits::kDoc;
        type.tp_base = &MessDetectorPluginType;
        type.tp_new = tp_new;
        type.tp_init = tp_init;
        type.tp_dealloc = tp_dealloc;
        if constexpr (Traits::kHasReference) {
            type.tp_traverse = tp_traverse;
            type.tp_clear = tp_clear;
        }
        type.tp_getset = getset;
        if (PyType_Ready(&type) < 0 || publish_vtable(&type, &vtable) < 0) {
            return -1;
        }
        return PyModule_AddObjectRef(module, kName, reinterpret_cast<PyObject*>(&type));
    }

    // Called late in start-up, once the host names and the record tables are
    // in place: add feed_info and reset, then the pickling methods
    // (__reduce__, __setstate__), to the readied type.
    static int attach_methods(PyTypeObject& type) noexcept {
        static const FunctionDef feed_info{"feed_info", py_feed_info, nullptr, "($self, character, info)"};
        static const FunctionDef reset{"reset", py_reset, nullptr, "($self)"};
        if (add_method(&type, feed_info, kModuleName) < 0 || add_method(&type, reset, kModuleName) < 0) {
            return -1;
        }
        return attach_persistence_methods(&type);
    }
};

}  // namespace vx::murkel
