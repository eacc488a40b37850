// Following the bindings of a few module globals with a dictionary watcher.
#include "tessaly/bindings.h"

#include <initializer_list>

#include "shared/str_equal.h"

namespace vx::tessaly {

Bindings bindings;

namespace {

Binding* all_bindings[] = {&bindings.judge, &bindings.ascii_records, &bindings.too_small, &bindings.itemgetter,
                           &bindings.pages};

// Whether `key` names `b`: 1, 0, or -1 when that cannot be told without a
// Python comparison.
int names(const Binding& b, PyObject* key) noexcept {
    PyObject* name = *b.name;
    if (key == name) {
        return 1;
    }
    if (!PyUnicode_CheckExact(key)) {
        return -1;
    }
    return same_text(key, name) ? 1 : 0;
}

// Runs before the namespace changes; may not fail, and runs no Python code.
int on_change(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* new_value) noexcept {
    for (Binding* b : all_bindings) {
        if (b->dict != dict || !b->known) {
            continue;
        }
        switch (event) {
            case PyDict_EVENT_ADDED:
            case PyDict_EVENT_MODIFIED:
            case PyDict_EVENT_DELETED: {
                const int match = names(*b, key);
                if (match < 0) {
                    b->known = false;
                } else if (match) {
                    b->value = event == PyDict_EVENT_DELETED ? nullptr : new_value;
                }
                break;
            }
            case PyDict_EVENT_CLEARED:
                b->value = nullptr;
                break;
            default:  // cloned from another dict, or going away
                b->known = false;
                break;
        }
    }
    return 0;
}

}  // namespace

int watch_bindings(PyObject* murkel_dict) noexcept {
    const int watcher = PyDict_AddWatcher(on_change);
    if (watcher < 0) {
        // No free slot: every use looks its name up, as without this.
        PyErr_Clear();
        return 0;
    }
    for (Binding* b : {&bindings.judge, &bindings.ascii_records, &bindings.too_small, &bindings.itemgetter}) {
        b->dict = g.dict;
    }
    bindings.pages.dict = murkel_dict;
    // A failed start-up gives its watcher slot back: the interpreter has only a few.
    auto give_up = [watcher]() noexcept {
        for (Binding* b : all_bindings) {
            b->known = false;
        }
        PyObject* error = PyErr_GetRaisedException();
        if (PyDict_ClearWatcher(watcher) < 0) {
            PyErr_Clear();
        }
        PyErr_SetRaisedException(error);
        return -1;
    };
    for (PyObject* dict : {g.dict, murkel_dict}) {
        if (PyDict_Watch(watcher, dict) < 0) {
            return give_up();
        }
    }
    // The bindings as start-up leaves them.
    for (Binding* b : all_bindings) {
        b->value = PyDict_GetItemWithError(b->dict, *b->name);
        if (b->value == nullptr && PyErr_Occurred()) {
            return give_up();
        }
        b->known = true;
    }
    return 0;
}

}  // namespace vx::tessaly
