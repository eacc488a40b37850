// Encodings and alphabets to Unicode ranges and languages: which ranges a
// single-byte code page covers, which languages a range, a code page or a
// multi-byte encoding can carry, and which languages an alphabet fits.
#include "shared/args.h"
#include "shared/errors.h"
#include "shared/pyref.h"
#include "tessaly/functions.h"
#include "tessaly/results.h"
#include "tessaly/records.h"
#include "tessaly/scratch.h"
#include "tessaly/unpack.h"

namespace vx::tessaly {

namespace {

constexpr int kFirstByte = 0x40;
constexpr int kEndByte = 0xFF;  // exclusive: 0xFE is the last byte decoded
constexpr double kRangeShare = 0.15;
constexpr double kAlphabetShare = 0.2;

// Record of an element that must be a one-character str.
CharInfoObject* record_of_element(PyObject* element) noexcept {
    Py_UCS4 cp;
    return to_ucs4(element, &cp) ? record_via_char_info(element, cp) : nullptr;
}

// Calls `visit(language, profile)` for every item of FREQUENCIES in its
// iteration order; `visit` returns -1 on error, 0 to go on. A plain dict is
// walked directly and must not change size meanwhile.
template <class Visit>
int for_each_profile(Visit&& visit) noexcept {
    Ref frequencies = Ref::steal(get_global(g.names.n_FREQUENCIES));
    if (!frequencies) {
        return -1;
    }
    if (PyDict_CheckExact(frequencies.get())) {
        PyObject* dict = frequencies.get();
        const Py_ssize_t size = PyDict_GET_SIZE(dict);
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        for (;;) {
            if (PyDict_GET_SIZE(dict) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return -1;
            }
            if (!PyDict_Next(dict, &pos, &key, &value)) {
                return 0;
            }
            // The visitor may run Python code; hold both while it does.
            Ref language = Ref::borrow(key);
            Ref profile = Ref::borrow(value);
            if (visit(language.get(), profile.get()) < 0) {
                return -1;
            }
        }
    }
    Ref items = Ref::steal(PyObject_CallMethodNoArgs(frequencies.get(), g.names.n_items));
    if (!items) {
        return -1;
    }
    Ref it = Ref::steal(PyObject_GetIter(items.get()));
    if (!it) {
        return -1;
    }
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        Ref language, profile;
        if (unpack_pair(item.get(), language, profile) < 0 || visit(language.get(), profile.get()) < 0) {
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

// 1 when some character of `profile` has the range `primary_range`, 0 when
// none has, -1 on error.
int profile_has_range(PyObject* profile, PyObject* primary_range) noexcept {
    Ref it = Ref::steal(PyObject_GetIter(profile));
    if (!it) {
        return -1;
    }
    while (Ref character = Ref::steal(PyIter_Next(it.get()))) {
        Ref record = Ref::steal(reinterpret_cast<PyObject*>(record_of_element(character.get())));
        if (!record) {
            return -1;
        }
        // The comparison may run the range's __eq__, which may rewrite the
        // record and drop its range while the comparison still uses it.
        Ref range = Ref::borrow(record.as<CharInfoObject>()->range);
        int equal = PyObject_RichCompareBool(range.get(), primary_range, Py_EQ);
        if (equal != 0) {
            return equal;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

PyObject* encoding_unicode_range(PyObject* iana_name) noexcept {
    Ref seen_ranges = Ref::steal(PyDict_New());
    Ref selected_ranges = Ref::steal(PyList_New(0));
    if (!seen_ranges || !selected_ranges) {
        return nullptr;
    }
    Py_ssize_t character_count = 0;

    Ref is_multi_byte = Ref::steal(get_global(g.names.n_is_multi_byte_encoding));
    if (!is_multi_byte) {
        return nullptr;
    }
    Ref multi_byte = Ref::steal(PyObject_CallOneArg(is_multi_byte.get(), iana_name));
    if (!multi_byte) {
        return nullptr;
    }
    int refused = PyObject_IsTrue(multi_byte.get());
    if (refused != 0) {
        if (refused > 0) {
            PyErr_SetString(PyExc_OSError, "Function not supported on multi-byte code page");
        }
        return nullptr;
    }

    Ref module_name = Ref::steal(PyUnicode_FromFormat("encodings.%S", iana_name));
    Ref importlib = Ref::steal(module_name ? get_global(g.names.n_importlib) : nullptr);
    if (!importlib) {
        return nullptr;
    }
    Ref codec = Ref::steal(PyObject_CallMethodOneArg(importlib.get(), g.names.n_import_module, module_name.get()));
    if (!codec) {
        return nullptr;
    }
    Ref decoder = Ref::steal(PyObject_GetAttr(codec.get(), g.names.n_IncrementalDecoder));
    Ref kwnames = Ref::steal(decoder ? PyTuple_Pack(1, g.names.n_errors) : nullptr);
    if (!kwnames) {
        return nullptr;
    }
    PyObject* decoder_args[] = {nullptr, g.names.n_ignore};
    Ref p = Ref::steal(
        PyObject_Vectorcall(decoder.get(), decoder_args + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
    if (!p) {
        return nullptr;
    }

    for (int i = kFirstByte; i < kEndByte; ++i) {
        const char byte = static_cast<char>(i);
        Ref data = Ref::steal(PyBytes_FromStringAndSize(&byte, 1));
        if (!data) {
            return nullptr;
        }
        PyObject* decode_args[] = {p.get(), data.get()};
        Ref chunk = Ref::steal(
            PyObject_VectorcallMethod(g.names.n_decode, decode_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!chunk) {
            return nullptr;
        }
        if (chunk.get() == Py_None) {
            continue;
        }
        if (!PyUnicode_CheckExact(chunk.get())) {
            raise_expected("str", chunk.get());
            return nullptr;
        }
        if (PyUnicode_GET_LENGTH(chunk.get()) == 0) {
            continue;
        }
        Ref record = Ref::steal(reinterpret_cast<PyObject*>(record_of_element(chunk.get())));
        if (!record) {
            return nullptr;
        }
        Ref character_range = Ref::borrow(record.as<CharInfoObject>()->range);
        if (character_range.get() == Py_None) {
            continue;
        }
        Ref is_secondary = Ref::steal(get_global(g.names.n_is_unicode_range_secondary));
        if (!is_secondary) {
            return nullptr;
        }
        Ref secondary = Ref::steal(PyObject_CallOneArg(is_secondary.get(), character_range.get()));
        if (!secondary) {
            return nullptr;
        }
        int skip = PyObject_IsTrue(secondary.get());
        if (skip < 0) {
            return nullptr;
        }
        if (skip) {
            continue;
        }
        // The count is read at once, before anything can run Python code.
        // The dict is private, but the collector can hand it to Python code
        // (a range's __eq__ or a host function), so its values are checked.
        PyObject* count = PyDict_GetItemWithError(seen_ranges.get(), character_range.get());  // borrowed
        if (count == nullptr && PyErr_Occurred()) {
            return nullptr;
        }
        const Py_ssize_t seen = count == nullptr ? 0 : PyLong_AsSsize_t(count);
        if (seen == -1 && PyErr_Occurred()) {
            return nullptr;
        }
        Ref updated = Ref::steal(PyLong_FromSsize_t(seen + 1));
        if (!updated || PyDict_SetItem(seen_ranges.get(), character_range.get(), updated.get()) < 0) {
            return nullptr;
        }
        ++character_count;
    }

    // Nothing in this loop runs Python code, so the borrowed items stay valid.
    Py_ssize_t pos = 0;
    PyObject* range;
    PyObject* count;
    while (PyDict_Next(seen_ranges.get(), &pos, &range, &count)) {
        const Py_ssize_t seen = PyLong_AsSsize_t(count);
        if (seen == -1 && PyErr_Occurred()) {
            return nullptr;
        }
        const double share = static_cast<double>(seen) / static_cast<double>(character_count);
        if (share >= kRangeShare && PyList_Append(selected_ranges.get(), range) < 0) {
            return nullptr;
        }
    }
    if (PyList_Sort(selected_ranges.get()) < 0) {
        return nullptr;
    }
    return selected_ranges.release();
}

// The code points of the distinct characters in `characters` (a frozenset),
// in its iteration order. Returns the count, or -1 with an exception.
Py_ssize_t distinct_codepoints(PyObject* characters, Scratch<uint32_t, 512>& storage, uint32_t** out) noexcept {
    const Py_ssize_t n = PySet_GET_SIZE(characters);
    uint32_t* cps = storage.reserve(static_cast<size_t>(n));
    if (cps == nullptr) {
        return -1;
    }
    Ref it = Ref::steal(PyObject_GetIter(characters));
    if (!it) {
        return -1;
    }
    Py_ssize_t k = 0;
    while (Ref element = Ref::steal(PyIter_Next(it.get()))) {
        Py_UCS4 cp;
        if (!to_ucs4(element.get(), &cp)) {
            return -1;
        }
        if (k < n) {  // a frozenset cannot grow, but never write past the buffer
            cps[k++] = cp;
        }
    }
    if (PyErr_Occurred()) {
        return -1;
    }
    *out = cps;
    return k;
}

PyObject* alphabet_languages(PyObject* characters, int ignore_non_latin) noexcept {
    Ref languages = Ref::steal(PyList_New(0));
    Ref result = Ref::steal(PyList_New(0));
    if (!languages || !result) {
        return nullptr;
    }
    Ref characters_set = Ref::steal(PyFrozenSet_New(characters));
    if (!characters_set) {
        return nullptr;
    }

    // Accent scan over the list itself, stopping at the first accented character.
    bool source_have_accents = false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(characters); ++i) {
        Ref element = Ref::borrow(PyList_GET_ITEM(characters, i));
        Ref record = Ref::steal(reinterpret_cast<PyObject*>(record_of_element(element.get())));
        if (!record) {
            return nullptr;
        }
        if (record.as<CharInfoObject>()->accentuated) {
            source_have_accents = true;
            break;
        }
    }

    // The set's code points are read once, when the first language needs them.
    Scratch<uint32_t, 512> storage;
    uint32_t* cps = nullptr;
    Py_ssize_t ncps = -1;
    for (int language = 0; language < kLanguageCount; ++language) {
        if (ignore_non_latin && !LANGUAGE_PURE_LATIN[language]) {
            continue;
        }
        if (source_have_accents && !LANGUAGE_HAS_ACCENTS[language]) {
            continue;
        }
        if (ncps < 0 && (ncps = distinct_codepoints(characters_set.get(), storage, &cps)) < 0) {
            return nullptr;
        }
        unsigned matches = 0;
        for (Py_ssize_t k = 0; k < ncps; ++k) {
            matches += rank_of(language, cps[k]) != 0;
        }
        // An empty profile gives 0/0 = NaN, which never passes the test.
        const double ratio = static_cast<double>(matches) / static_cast<double>(LANGUAGE_PROFILE_SIZES[language]);
        if (!(ratio >= kAlphabetShare)) {
            continue;
        }
        Ref name = Ref::steal(language_name(language));
        Ref value = Ref::steal(name ? PyFloat_FromDouble(ratio) : nullptr);
        Ref pair = Ref::steal(value ? PyTuple_Pack(2, name.get(), value.get()) : nullptr);
        if (!pair || PyList_Append(languages.get(), pair.get()) < 0) {
            return nullptr;
        }
    }

    Ref ordered = Ref::steal(sorted_by_ratio(languages.get()));
    if (!ordered) {
        return nullptr;
    }
    if (!PyList_CheckExact(ordered.get())) {
        raise_expected("list", ordered.get());
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ordered.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(ordered.get(), i);
        if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2) {
            raise_expected("tuple", pair);
            return nullptr;
        }
        if (PyList_Append(result.get(), PyTuple_GET_ITEM(pair, 0)) < 0) {
            return nullptr;
        }
    }
    return result.release();
}

PyObject* get_target_features(PyObject* language) noexcept {
    Ref frequencies = Ref::steal(get_global(g.names.n_FREQUENCIES));
    Ref profile = Ref::steal(frequencies ? PyObject_GetItem(frequencies.get(), language) : nullptr);
    Ref it = Ref::steal(profile ? PyObject_GetIter(profile.get()) : nullptr);
    if (!it) {
        return nullptr;
    }
    bool target_have_accents = false;
    bool target_pure_latin = true;
    while (Ref character = Ref::steal(PyIter_Next(it.get()))) {
        Ref record = Ref::steal(reinterpret_cast<PyObject*>(record_of_element(character.get())));
        if (!record) {
            return nullptr;
        }
        if (record.as<CharInfoObject>()->accentuated) {
            target_have_accents = true;
        }
        if (!record.as<CharInfoObject>()->latin) {
            target_pure_latin = false;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    return PyTuple_Pack(2, target_have_accents ? Py_True : Py_False, target_pure_latin ? Py_True : Py_False);
}

// True when `name` (a str) starts with the ASCII text `prefix`.
bool starts_with(PyObject* name, const char* prefix) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    for (Py_ssize_t i = 0; prefix[i] != '\0'; ++i) {
        if (i >= length || PyUnicode_READ_CHAR(name, i) != static_cast<Py_UCS4>(prefix[i])) {
            return false;
        }
    }
    return true;
}

// A new one-element list holding `item`.
PyObject* list_of(PyObject* item) noexcept {
    PyObject* list = PyList_New(1);
    if (list != nullptr) {
        PyList_SET_ITEM(list, 0, Py_NewRef(item));
    }
    return list;
}

PyObject* single_language(const char* language) noexcept {
    Ref name = Ref::steal(PyUnicode_FromString(language));
    return name ? list_of(name.get()) : nullptr;
}

PyObject* mb_encoding_languages(PyObject* iana_name) noexcept {
    if (iana_name == Py_None) {
        // None has no startswith: raise the interpreter's own AttributeError.
        Ref method = Ref::steal(PyObject_GetAttr(iana_name, g.names.n_startswith));
        if (method) {
            PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "startswith");
        }
        return nullptr;
    }
    if (starts_with(iana_name, "shift_") || starts_with(iana_name, "iso2022_jp") || starts_with(iana_name, "euc_j") ||
        PyUnicode_CompareWithASCIIString(iana_name, "cp932") == 0) {
        return single_language("Japanese");
    }
    if (starts_with(iana_name, "gb")) {
        return single_language("Chinese");
    }
    Ref zh_names = Ref::steal(get_global(g.names.n_ZH_NAMES));
    if (!zh_names) {
        return nullptr;
    }
    int listed = PySequence_Contains(zh_names.get(), iana_name);
    if (listed != 0) {
        return listed > 0 ? single_language("Chinese") : nullptr;
    }
    if (starts_with(iana_name, "iso2022_kr")) {
        return single_language("Korean");
    }
    Ref ko_names = Ref::steal(get_global(g.names.n_KO_NAMES));
    if (!ko_names) {
        return nullptr;
    }
    listed = PySequence_Contains(ko_names.get(), iana_name);
    if (listed != 0) {
        return listed > 0 ? single_language("Korean") : nullptr;
    }
    return PyList_New(0);
}

PyObject* encoding_languages(PyObject* iana_name) noexcept {
    Ref function = Ref::steal(get_global(g.names.n_encoding_unicode_range));
    if (!function) {
        return nullptr;
    }
    Ref ranges = Ref::steal(PyObject_CallOneArg(function.get(), iana_name));
    if (!ranges) {
        // No codec module of that name: no language either.
        if (PyErr_ExceptionMatches(PyExc_ImportError)) {
            PyErr_Clear();
            return PyList_New(0);
        }
        return nullptr;
    }
    if (!PyList_CheckExact(ranges.get())) {
        raise_expected("list", ranges.get());
        return nullptr;
    }
    Ref latin = Ref::steal(PyUnicode_FromString("Latin"));
    if (!latin) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ranges.get()); ++i) {
        Ref name = Ref::borrow(PyList_GET_ITEM(ranges.get(), i));
        int has_latin = PySequence_Contains(name.get(), latin.get());
        if (has_latin < 0) {
            return nullptr;
        }
        if (!has_latin) {
            if (name.get() != Py_None && !PyUnicode_CheckExact(name.get())) {
                raise_expected("str", name.get());
                return nullptr;
            }
            return unicode_range_languages_native(name.get());
        }
    }
    Ref latin_based = Ref::steal(PyUnicode_FromString("Latin Based"));
    return latin_based ? list_of(latin_based.get()) : nullptr;
}

// Parse the single str-or-None argument `argname` of `func_name`.
PyObject* single_str_argument(const char* func_name, const char* const* names, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
    const ArgSpec signature{func_name, names, 1, 1};
    PyObject* values[1];
    if (parse_args(signature, args, nargs, kwnames, values) < 0 ||
        !check_exact_or_none(values[0], &PyUnicode_Type, names[0])) {
        return nullptr;
    }
    return values[0];
}

const char* const kIanaName[] = {"iana_name"};
const char* const kPrimaryRange[] = {"primary_range"};
const char* const kLanguage[] = {"language"};
const char* const kAlphabetArgs[] = {"characters", "ignore_non_latin"};

}  // namespace

PyObject* unicode_range_languages_native(PyObject* primary_range) noexcept {
    Ref languages = Ref::steal(PyList_New(0));
    if (!languages) {
        VX_TRACEBACK("vexlora.tessaly.unicode_range_languages");
        return nullptr;
    }
    int status = for_each_profile([&](PyObject* language, PyObject* profile) -> int {
        int found = profile_has_range(profile, primary_range);
        if (found <= 0) {
            return found;
        }
        return PyList_Append(languages.get(), language);
    });
    if (status < 0) {
        VX_TRACEBACK("vexlora.tessaly.unicode_range_languages");
        return nullptr;
    }
    return languages.release();
}

PyObject* py_encoding_unicode_range(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* iana_name = single_str_argument("encoding_unicode_range", kIanaName, args, nargs, kwnames);
    PyObject* result = iana_name ? encoding_unicode_range(iana_name) : nullptr;
    if (result == nullptr) {
        VX_TRACEBACK("vexlora.tessaly.encoding_unicode_range");
    }
    return result;
}

PyObject* py_unicode_range_languages(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* primary_range = single_str_argument("unicode_range_languages", kPrimaryRange, args, nargs, kwnames);
    if (primary_range == nullptr) {
        VX_TRACEBACK("vexlora.tessaly.unicode_range_languages");
        return nullptr;
    }
    return unicode_range_languages_native(primary_range);
}

PyObject* py_encoding_languages(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* iana_name = single_str_argument("encoding_languages", kIanaName, args, nargs, kwnames);
    PyObject* result = iana_name ? encoding_languages(iana_name) : nullptr;
    if (result == nullptr) {
        VX_TRACEBACK("vexlora.tessaly.encoding_languages");
    }
    return result;
}

PyObject* py_mb_encoding_languages(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* iana_name = single_str_argument("mb_encoding_languages", kIanaName, args, nargs, kwnames);
    PyObject* result = iana_name ? mb_encoding_languages(iana_name) : nullptr;
    if (result == nullptr) {
        VX_TRACEBACK("vexlora.tessaly.mb_encoding_languages");
    }
    return result;
}

PyObject* py_get_target_features(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* language = single_str_argument("get_target_features", kLanguage, args, nargs, kwnames);
    PyObject* result = language ? get_target_features(language) : nullptr;
    if (result == nullptr) {
        VX_TRACEBACK("vexlora.tessaly.get_target_features");
    }
    return result;
}

PyObject* py_alphabet_languages(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const ArgSpec signature{"alphabet_languages", kAlphabetArgs, 1, 2};
    PyObject* values[2];
    PyObject* result = nullptr;
    if (parse_args(signature, args, nargs, kwnames, values) == 0) {
        int ignore_non_latin = values[1] == nullptr ? 0 : PyObject_IsTrue(values[1]);
        if (ignore_non_latin >= 0 && check_exact_or_none(values[0], &PyList_Type, "characters")) {
            result = alphabet_languages(values[0], ignore_non_latin);
        }
    }
    if (result == nullptr) {
        VX_TRACEBACK("vexlora.tessaly.alphabet_languages");
    }
    return result;
}

}  // namespace vx::tessaly
