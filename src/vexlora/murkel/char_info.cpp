// CharInfo type: construction from the host's classification functions, the
// read-only attributes, and garbage-collector support for `range`.
#include <cstddef>

#include "murkel/class_fields.h"
#include "murkel/registry.h"
#include "murkel/state.h"
#include "shared/args.h"
#include "shared/errors.h"
#include "shared/pyref.h"

namespace vx::murkel {

namespace {

constexpr const char kInitWhere[] = "vexlora.murkel.CharInfo.__init__";

// Call a host function (looked up by name) with the character; new reference.
PyObject* call_host(PyObject* name, PyObject* character) noexcept {
    Ref fn = Ref::steal(get_global(name));
    return fn ? PyObject_CallOneArg(fn.get(), character) : nullptr;
}

// Truth value of host_function(character): 0/1, or -1 on error.
int host_truth(PyObject* name, PyObject* character) noexcept {
    Ref result = Ref::steal(call_host(name, character));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

// `character in <global container>`: 0/1, or -1 on error.
int contained_in(PyObject* name, PyObject* character) noexcept {
    Ref container = Ref::steal(get_global(name));
    return container ? PySequence_Contains(container.get(), character) : -1;
}

// punct and sym of a printable character, in that order.
int classify_punct_sym(CharInfoObject* self, PyObject* character) noexcept {
    int punct = host_truth(g.names.n_is_punctuation, character);
    if (punct < 0) {
        return -1;
    }
    self->punct = punct;
    int sym = host_truth(g.names.n_is_symbol, character);
    if (sym < 0) {
        return -1;
    }
    self->sym = sym;
    return 0;
}

void clear_mask_fields(CharInfoObject* self) noexcept {
    self->is_cjk = self->is_katakana = self->is_halfwidth_katakana = self->is_arabic = 0;
    self->is_ligature = self->is_superscript = self->is_sentence_open_punctuation = self->is_glyph = 0;
}

int fill_ascii(CharInfoObject* self, PyObject* character, Py_UCS4 cp) noexcept {
    self->is_ascii = 1;
    self->accentuated = 0;
    replace_field(self->unaccented, character);
    self->emoticon = 0;
    self->common_cjk = 0;
    int safe = contained_in(g.names.n_COMMON_SAFE_ASCII_CHARACTERS, character);
    if (safe < 0) {
        return -1;
    }
    self->safe = safe;
    clear_mask_fields(self);

    bool upper_letter = cp >= 'A' && cp <= 'Z';
    bool lower_letter = cp >= 'a' && cp <= 'z';
    self->alpha = self->upper = self->lower = self->space = self->digit = 0;
    self->case_variable = self->latin = self->punct = self->sym = 0;
    self->flags = 0;
    if (upper_letter || lower_letter) {
        Ref latin = Ref::steal(get_global(g.names.n__LATIN));
        int32_t flags = 0;
        if (!latin || !to_int32(latin.get(), &flags)) {
            return -1;
        }
        self->printable = 1;
        self->alpha = 1;
        self->upper = upper_letter;
        self->lower = lower_letter;
        self->case_variable = 1;
        self->flags = flags;
        self->latin = 1;
        return 0;
    }
    if (cp >= '0' && cp <= '9') {
        self->printable = 1;
        self->digit = 1;
        return 0;
    }
    if (cp >= 9 && cp <= 13) {
        self->printable = 0;
        self->space = 1;
        return 0;
    }
    if (cp == ' ') {
        self->printable = 1;
        self->space = 1;
        return 0;
    }
    self->printable = Py_UNICODE_ISPRINTABLE(cp) ? 1 : 0;
    return self->printable ? classify_punct_sym(self, character) : 0;
}

int fill_general(CharInfoObject* self, PyObject* character, Py_UCS4 cp) noexcept {
    self->is_ascii = 0;
    self->safe = 0;
    // The same answers as the str predicates give for a one-character string.
    self->printable = Py_UNICODE_ISPRINTABLE(cp) ? 1 : 0;
    self->alpha = Py_UNICODE_ISALPHA(cp) ? 1 : 0;
    self->upper = Py_UNICODE_ISUPPER(cp) ? 1 : 0;
    self->lower = Py_UNICODE_ISLOWER(cp) ? 1 : 0;
    self->space = Py_UNICODE_ISSPACE(cp) ? 1 : 0;
    self->digit = Py_UNICODE_ISDIGIT(cp) ? 1 : 0;
    self->case_variable = self->lower != self->upper;

    int32_t f = 0;
    {
        Ref flags = Ref::steal(call_host(g.names.n__character_flags, character));
        if (!flags || !to_int32(flags.get(), &f)) {
            return -1;
        }
    }
    if (self->alpha) {
        self->emoticon = 0;
    } else {
        int emoticon = host_truth(g.names.n_is_emoticon, character);
        if (emoticon < 0) {
            return -1;
        }
        self->emoticon = emoticon;
    }
    self->flags = f;
    self->accentuated = (f & g.ACCENTUATED) != 0;
    self->latin = (f & g.LATIN) != 0;
    self->is_cjk = (f & g.CJK) != 0;
    self->is_katakana = (f & g.KATAKANA) != 0;
    self->is_halfwidth_katakana = (f & g.HALFWIDTH_KATAKANA) != 0;
    self->is_arabic = (f & g.ARABIC) != 0;
    self->is_ligature = (f & g.LIGATURE) != 0;
    self->is_superscript = (f & g.SUPERSCRIPT) != 0;
    self->is_sentence_open_punctuation = (f & g.SENTENCE_OPEN_PUNCTUATION) != 0;
    self->is_glyph = (f & g.GLYPH_MASK) != 0;

    if (self->accentuated && self->latin) {
        Ref base = Ref::steal(call_host(g.names.n_remove_accent, character));
        if (!base) {
            return -1;
        }
        if (base.get() != Py_None && !PyUnicode_CheckExact(base.get())) {
            raise_expected("str", base.get());
            return -1;
        }
        replace_field(self->unaccented, base.get());
    } else {
        replace_field(self->unaccented, character);
    }
    if (self->is_cjk) {
        int common = contained_in(g.names.n_COMMON_CJK_CHARACTERS, character);
        if (common < 0) {
            return -1;
        }
        self->common_cjk = common;
    } else {
        self->common_cjk = 0;
    }
    if (self->printable) {
        return classify_punct_sym(self, character);
    }
    self->punct = self->sym = 0;
    return 0;
}

int char_info_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"character"};
    static const ArgSpec spec{"__init__", names, 1, 1};
    auto* self = reinterpret_cast<CharInfoObject*>(op);
    PyObject* character = nullptr;
    Py_UCS4 cp = 0;
    if (parse_args_tuple(spec, args, kwargs, &character) < 0 ||
        !check_exact_or_none(character, &PyUnicode_Type, "character") || !to_ucs4(character, &cp)) {
        VX_TRACEBACK(kInitWhere);
        return -1;
    }
    // The host calls below may run any Python code: a caller's keyword
    // dictionary can be cleared and the record re-initialised meanwhile, so
    // the argument is held for the whole construction.
    Ref held = Ref::borrow(character);
    ++g.record_writes;
    replace_field(self->character, character);
    int rc = cp <= 127 ? fill_ascii(self, character, cp) : fill_general(self, character, cp);
    if (rc == 0) {
        Ref range = Ref::steal(call_host(g.names.n_unicode_range, character));
        if (!range) {
            rc = -1;
        } else {
            replace_field(self->range, range.get());
            int sep = host_truth(g.names.n_is_separator, character);
            if (sep < 0) {
                rc = -1;
            } else {
                self->sep = sep;
            }
        }
    }
    if (rc < 0) {
        VX_TRACEBACK(kInitWhere);
    }
    return rc;
}

PyObject* char_info_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* op = type->tp_alloc(type, 0);
    if (op == nullptr) {
        return nullptr;
    }
    ++g.record_writes;  // a new record may take a freed one's address
    auto* self = reinterpret_cast<CharInfoObject*>(op);
    self->character = Py_NewRef(Py_None);
    self->range = Py_NewRef(Py_None);
    self->unaccented = Py_NewRef(Py_None);
    return op;
}

int char_info_traverse(PyObject* op, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<CharInfoObject*>(op)->range);
    return 0;
}

int char_info_clear(PyObject* op) {
    auto* self = reinterpret_cast<CharInfoObject*>(op);
    PyObject* old = self->range;
    self->range = Py_NewRef(Py_None);
    Py_XDECREF(old);
    return 0;
}

// `range` may hold another record (restored state), so records can form
// chains of any length: the trashcan defers freeing past a fixed nesting
// depth instead of recursing once per link. Nothing may return between
// BEGIN and END.
void char_info_dealloc(PyObject* op) {
    auto* self = reinterpret_cast<CharInfoObject*>(op);
    PyObject_GC_UnTrack(op);
    Py_TRASHCAN_BEGIN(op, char_info_dealloc) Py_CLEAR(self->character);
    Py_CLEAR(self->range);
    Py_CLEAR(self->unaccented);
    Py_TYPE(op)->tp_free(op);
    Py_TRASHCAN_END
}

PyObject* get_field(PyObject* op, void* closure) { return field_get(op, *static_cast<const FieldDesc*>(closure)); }

// One read-only attribute per field.
constexpr Py_ssize_t kCharInfoFieldCount = VX_FIELD_COUNT(CharInfo);
PyGetSetDef char_info_getset[kCharInfoFieldCount + 1] = {};

}  // namespace

PyTypeObject CharInfoType = {PyVarObject_HEAD_INIT(nullptr, 0)};

int register_char_info_type(PyObject* module) noexcept {
    const FieldDesc* fields = kClassFields[kCharInfoClass].fields;
    for (Py_ssize_t i = 0; i < kCharInfoFieldCount; ++i) {
        char_info_getset[i] = {fields[i].name, get_field, nullptr, nullptr, const_cast<FieldDesc*>(&fields[i])};
    }
    CharInfoType.tp_name = "vexlora.murkel.CharInfo";
    CharInfoType.tp_basicsize = sizeof(CharInfoObject);
    CharInfoType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    CharInfoType.tp_doc = "Pre-computed character properties shared across all detectors.";
    CharInfoType.tp_new = char_info_new;
    CharInfoType.tp_init = char_info_init;
    CharInfoType.tp_dealloc = char_info_dealloc;
    CharInfoType.tp_traverse = char_info_traverse;
    CharInfoType.tp_clear = char_info_clear;
    CharInfoType.tp_getset = char_info_getset;
    if (PyType_Ready(&CharInfoType) < 0) {
        return -1;
    }
    return PyModule_AddObjectRef(module, "CharInfo", reinterpret_cast<PyObject*>(&CharInfoType));
}

}  // namespace vx::murkel
