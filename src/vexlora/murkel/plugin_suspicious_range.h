// SuspiciousRange: neighbouring printable characters from Unicode blocks that
// do not go together. The pair is judged by the module global
// is_suspiciously_successive_range (memoized), only when the block changes.
#pragma once

#include <cstring>

#include "murkel/plugin_base.h"
#include "murkel/record_bits.h"
#include "murkel/state.h"
#include "shared/errors.h"
#include "shared/pyref.h"
#include "shared/str_equal.h"

namespace vx::murkel {

struct SuspiciousRangeTraits {
    using Object = SuspiciousRangeObject;
    static constexpr const char* kDoc = nullptr;
    static constexpr bool kHasReference = true;

    static void init_references(Object* self) noexcept { self->_last_printable_range = Py_NewRef(Py_None); }

    static void construct(Object* self) noexcept { reset(self); }

    static void reset(Object* self) noexcept {
        self->_suspicious_successive_range_count = 0;
        self->_character_count = 0;
        self->_has_last_printable = 0;
        replace_field(self->_last_printable_range, Py_None);
    }

    static int traverse(Object* self, visitproc visit, void* arg) noexcept {
        Py_VISIT(self->_last_printable_range);
        return 0;
    }

    static void clear(Object* self) noexcept { replace_field(self->_last_printable_range, Py_None); }

    // prev != cur by its truth value, for objects other than two str;
    // -1 with an exception on failure.
    static int differ(PyObject* prev, PyObject* cur) noexcept {
        Ref result = Ref::steal(PyObject_RichCompare(prev, cur, Py_NE));
        return result ? PyObject_IsTrue(result.get()) : -1;
    }

    // Is the pair suspicious? Calls the module global by name, so rebinding
    // it (or its memo) takes effect. -1 with an exception on failure.
    struct JudgeByName {
        int operator()(PyObject* prev, PyObject* cur) noexcept {
            Ref func = Ref::steal(get_global(g.names.n_is_suspiciously_successive_range));
            if (!func) {
                return -1;
            }
            PyObject* args[] = {prev, cur};
            Ref result = Ref::steal(PyObject_Vectorcall(func.get(), args, 2, nullptr));
            return result ? PyObject_IsTrue(result.get()) : -1;
        }
    };

    // A block change (or an unknown previous block): judge the pair. Both
    // values are held, since the Python code run here may replace the fields
    // they come from. Two str reach here only when they differ.
    template <class Judge>
    static int feed_change(Object* self, PyObject* prev_field, PyObject* cur_field, Judge& judge) noexcept {
        Ref prev = Ref::borrow(prev_field);
        Ref cur = Ref::borrow(cur_field);
        int changed = prev.get() == Py_None || (PyUnicode_CheckExact(prev.get()) && PyUnicode_CheckExact(cur.get()))
                          ? 1
                          : differ(prev.get(), cur.get());
        if (changed > 0) {
            changed = judge(prev.get(), cur.get());
            if (changed > 0) {
                bump(self->_suspicious_successive_range_count);
            }
        }
        if (changed < 0) {
            VX_TRACEBACK("vexlora.murkel.SuspiciousRange._feed");
            return -1;
        }
        replace_field(self->_last_printable_range, cur.get());
        return 0;
    }

    // feed_info's form: the judge is looked up by name at each block change.
    static int feed(Object* self, Py_UCS4 cp, const CharInfoObject* info) noexcept {
        JudgeByName judge;
        return feed_bits(self, bits::of(cp, info), field_or_none(info->range), judge);
    }

    // The chain break comes from the record bits, the block name from the
    // record's field.
    template <class Judge>
    static int feed_bits(Object* self, uint32_t word, PyObject* range, Judge& judge) noexcept {
        return feed_with(self, (word & bits::kChainBreak) != 0, range, judge);
    }

    // The update for the cases that need neither the judge nor a Python
    // comparison and drop no object that could run code when freed: a chain
    // break, a first printable character, a run within one block (block
    // names are str). Returns false, changing nothing, for every other case,
    // which feed_with then handles.
    [[gnu::always_inline]] static inline bool feed_quick(Object* self, bool chain_break, PyObject* cur) noexcept {
        PyObject* const last = self->_last_printable_range;
        if (chain_break) {
            if (last != Py_None && (last == nullptr || !PyUnicode_CheckExact(last))) {
                return false;
            }
            bump(self->_character_count);
            self->_has_last_printable = 0;
            if (last != Py_None) {
                replace_field(self->_last_printable_range, Py_None);
            }
            return true;
        }
        if (!self->_has_last_printable) {
            if (last != Py_None) {
                return false;
            }
            bump(self->_character_count);
            self->_has_last_printable = 1;
            replace_field(self->_last_printable_range, cur);
            return true;
        }
        if (last == nullptr || !PyUnicode_CheckExact(cur) || !PyUnicode_CheckExact(last)) {
            return false;
        }
        if (last != cur) {
            if (!same_text(last, cur)) {
                return false;
            }
            replace_field(self->_last_printable_range, cur);
        }
        bump(self->_character_count);
        return true;
    }

    template <class Judge>
    static int feed_with(Object* self, bool chain_break, PyObject* cur, Judge& judge) noexcept {
        bump(self->_character_count);
        if (chain_break) {
            // Blanks, punctuation and safe characters restart the chain.
            self->_has_last_printable = 0;
            if (self->_last_printable_range != Py_None) {
                replace_field(self->_last_printable_range, Py_None);
            }
            return 0;
        }
        if (!self->_has_last_printable) {
            self->_has_last_printable = 1;
            replace_field(self->_last_printable_range, cur);
            return 0;
        }
        // Runs within one block are the common case: two equal block names
        // need neither a call nor a Python comparison.
        PyObject* prev = field_or_none(self->_last_printable_range);
        if (prev == cur && PyUnicode_CheckExact(cur)) {
            return 0;
        }
        if (PyUnicode_CheckExact(prev) && PyUnicode_CheckExact(cur)) {
            if (same_text(prev, cur)) {
                replace_field(self->_last_printable_range, cur);
                return 0;
            }
        }
        return feed_change(self, prev, cur, judge);
    }

    // Thirteen characters or fewer say nothing.
    static double ratio(const Object* self) noexcept {
        if (self->_character_count < 14) {
            return 0.0;
        }
        return static_cast<double>(int64_t{self->_suspicious_successive_range_count} * 2) /
               static_cast<double>(self->_character_count);
    }
};

}  // namespace vx::murkel
