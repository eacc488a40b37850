// Splitting the letters of a text into layers of Unicode ranges that may
// plausibly follow one another; each layer comes back as one lowercase str.
#include <new>
#include <vector>

#include "shared/args.h"
#include "shared/errors.h"
#include "shared/pyref.h"
#include "tessaly/functions.h"
#include "tessaly/records.h"

namespace vx::tessaly {

namespace {

// One layer: the range that opened it and its characters in text order.
struct Layer {
    Ref key;
    std::vector<Py_UCS4> characters;
};

// Append the record's character (a str) to a layer.
int append_character(Layer& layer, const CharInfoObject* info) {
    PyObject* character = info->character;
    if (!PyUnicode_Check(character)) {
        raise_expected("str", character);
        return -1;
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(character);
    for (Py_ssize_t i = 0; i < length; ++i) {
        layer.characters.push_back(PyUnicode_READ_CHAR(character, i));
    }
    return 0;
}

// Index of the layer whose key equals `key`, -1 when none, -2 on error.
Py_ssize_t find_layer(const std::vector<Layer>& layers, PyObject* key) {
    for (size_t i = 0; i < layers.size(); ++i) {
        int equal = PyObject_RichCompareBool(layers[i].key.get(), key, Py_EQ);
        if (equal != 0) {
            return equal < 0 ? -2 : static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

// The key of the layer a character of range `range` joins: the first open
// layer whose range may precede it, else `range` itself. New reference.
PyObject* target_key(const std::vector<Layer>& layers, PyObject* range) {
    for (size_t i = 0; i < layers.size(); ++i) {
        // Hold the key: the callback may run arbitrary code.
        Ref key = Ref::borrow(layers[i].key.get());
        Ref judge = Ref::steal(get_global(g.names.n_is_suspiciously_successive_range));
        if (!judge) {
            return nullptr;
        }
        Ref verdict = Ref::steal(PyObject_CallFunctionObjArgs(judge.get(), key.get(), range, nullptr));
        if (!verdict) {
            return nullptr;
        }
        int suspicious = PyObject_IsTrue(verdict.get());
        if (suspicious < 0) {
            return nullptr;
        }
        if (!suspicious) {
            return key.release();
        }
    }
    return Py_NewRef(range);
}

template <class Char>
int split_into(const Char* text, Py_ssize_t length, PyObject* ascii, std::vector<Layer>& layers) {
    Ref info;                      // record of the previous character
    Py_UCS4 previous_cp = 0xFFFFFFFFu;
    Ref previous_range;            // range of the previous letter that had one
    Py_ssize_t previous_layer = -1;
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 cp = text[i];
        if (cp != previous_cp || !info) {
            info = Ref::steal(reinterpret_cast<PyObject*>(record_for(ascii, cp)));
            if (!info) {
                return -1;
            }
            previous_cp = cp;
        }
        const auto* record = info.as<CharInfoObject>();
        if (!record->alpha || record->range == Py_None) {
            continue;
        }
        Ref range = Ref::borrow(record->range);
        if (previous_range) {
            int same = PyObject_RichCompareBool(range.get(), previous_range.get(), Py_EQ);
            if (same < 0) {
                return -1;
            }
            if (same) {
                if (append_character(layers[previous_layer], record) < 0) {
                    return -1;
                }
                continue;
            }
        }
        Ref key = Ref::steal(target_key(layers, range.get()));
        if (!key) {
            return -1;
        }
        Py_ssize_t target = find_layer(layers, key.get());
        if (target == -2) {
            return -1;
        }
        if (target == -1) {
            layers.push_back(Layer{std::move(key), {}});
            target = static_cast<Py_ssize_t>(layers.size()) - 1;
        }
        if (append_character(layers[target], record) < 0) {
            return -1;
        }
        previous_range = std::move(range);
        previous_layer = target;
    }
    return 0;
}

PyObject* layers_to_list(const std::vector<Layer>& layers) noexcept {
    Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(layers.size())));
    if (!result) {
        return nullptr;
    }
    for (size_t i = 0; i < layers.size(); ++i) {
        const std::vector<Py_UCS4>& chars = layers[i].characters;
        Ref joined = Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, chars.data(),
                                                          static_cast<Py_ssize_t>(chars.size())));
        if (!joined) {
            return nullptr;
        }
        PyObject* lowered = PyObject_CallMethodNoArgs(joined.get(), g.names.n_lower);
        if (lowered == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), lowered);
    }
    return result.release();
}

PyObject* split(PyObject* decoded_sequence) noexcept {
    if (decoded_sequence == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return nullptr;
    }
    if (!PyUnicode_Check(decoded_sequence)) {
        raise_arg_type("decoded_sequence", "str", decoded_sequence);
        return nullptr;
    }
    Ref ascii = Ref::steal(ascii_table());
    if (!ascii) {
        return nullptr;
    }
    try {
        std::vector<Layer> layers;
        const Py_ssize_t length = PyUnicode_GET_LENGTH(decoded_sequence);
        const void* data = PyUnicode_DATA(decoded_sequence);
        int rc = 0;
        switch (PyUnicode_KIND(decoded_sequence)) {
            case PyUnicode_1BYTE_KIND:
                rc = split_into(static_cast<const Py_UCS1*>(data), length, ascii.get(), layers);
                break;
            case PyUnicode_2BYTE_KIND:
                rc = split_into(static_cast<const Py_UCS2*>(data), length, ascii.get(), layers);
                break;
            default:
                rc = split_into(static_cast<const Py_UCS4*>(data), length, ascii.get(), layers);
                break;
        }
        return rc < 0 ? nullptr : layers_to_list(layers);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace

PyObject* alpha_unicode_split_native(PyObject* decoded_sequence) noexcept {
    PyObject* result = split(decoded_sequence);
    if (result == nullptr) {
        VX_TRACEBACK("vexlora.tessaly.alpha_unicode_split");
    }
    return result;
}

PyObject* py_alpha_unicode_split(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"decoded_sequence"};
    static const ArgSpec spec{"alpha_unicode_split", names, 1, 1};
    PyObject* value;
    if (parse_args(spec, args, nargs, kwnames, &value) < 0 ||
        !check_exact_or_none(value, &PyUnicode_Type, "decoded_sequence")) {
        VX_TRACEBACK("vexlora.tessaly.alpha_unicode_split");
        return nullptr;
    }
    return alpha_unicode_split_native(value);
}

}  // namespace vx::tessaly
