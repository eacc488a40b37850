// SuspiciousDuplicateAccentPlugin: accentuated Latin letters following another
// accentuated Latin letter, weighted when both are upper case or share their
// base letter.
#pragma once

#include "murkel/plugin_base.h"
#include "murkel/record_bits.h"
#include "murkel/state.h"
#include "shared/errors.h"
#include "shared/pyref.h"

namespace vx::murkel {

struct SuspiciousDuplicateAccentTraits {
    using Object = SuspiciousDuplicateAccentPluginObject;
    static constexpr const char* kDoc = nullptr;
    static constexpr bool kHasReference = true;

    static void init_references(Object* self) noexcept { self->_last_latin_character = Py_NewRef(Py_None); }

    static void construct(Object* self) noexcept { reset(self); }

    static void reset(Object* self) noexcept {
        self->_successive_count = 0;
        self->_character_count = 0;
        replace_field(self->_last_latin_character, Py_None);
        self->_last_was_accentuated = 0;
    }

    static int traverse(Object* self, visitproc visit, void* arg) noexcept {
        Py_VISIT(self->_last_latin_character);
        return 0;
    }

    static void clear(Object* self) noexcept { replace_field(self->_last_latin_character, Py_None); }

    // Equality of the two accent-free forms; -1 with an exception on failure.
    static int same_base(PyObject* a, PyObject* b) noexcept {
        if (a == b) {
            return 1;
        }
        if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
            return PyUnicode_Compare(a, b) == 0;
        }
        // A foreign comparison may run Python code that replaces either
        // record's fields; hold both values for its duration.
        Ref left = Ref::borrow(a);
        Ref right = Ref::borrow(b);
        return PyObject_RichCompareBool(left.get(), right.get(), Py_EQ);
    }

    // `accentuated` comes from the record bits.
    static int feed_bits(Object* self, uint32_t word, CharInfoObject* info) noexcept {
        return feed_with(self, info, (word & bits::kAccentuated) != 0);
    }

    static int feed_with(Object* self, CharInfoObject* info, bool accentuated) noexcept {
        bump(self->_character_count);
        PyObject* last = self->_last_latin_character;
        if (last != nullptr && last != Py_None) {
            // Only a restored state can put anything else here; never read
            // such an object as a record.
            if (!Py_IS_TYPE(last, &CharInfoType) && !is_char_info(last)) [[unlikely]] {
                PyErr_Format(PyExc_TypeError,
                             "_last_latin_character must be a vexlora.murkel.CharInfo or None, got %.200s",
                             Py_TYPE(last)->tp_name);
                VX_TRACEBACK("vexlora.murkel.SuspiciousDuplicateAccentPlugin._feed");
                return -1;
            }
            const auto* prev = reinterpret_cast<const CharInfoObject*>(last);
            if (accentuated && self->_last_was_accentuated) {
                if (info->upper && prev->upper) {
                    bump(self->_successive_count);
                }
                int same = same_base(field_or_none(info->unaccented), field_or_none(prev->unaccented));
                if (same < 0) {
                    VX_TRACEBACK("vexlora.murkel.SuspiciousDuplicateAccentPlugin._feed");
                    return -1;
                }
                if (same) {
                    bump(self->_successive_count);
                }
            }
        }
        if (self->_last_latin_character != reinterpret_cast<PyObject*>(info)) {
            replace_field(self->_last_latin_character, reinterpret_cast<PyObject*>(info));
        }
        self->_last_was_accentuated = accentuated ? 1 : 0;
        return 0;
    }

    static double ratio(const Object* self) noexcept {
        if (self->_character_count == 0) {
            return 0.0;
        }
        return static_cast<double>(int64_t{self->_successive_count} * 2) / static_cast<double>(self->_character_count);
    }
};

}  // namespace vx::murkel
