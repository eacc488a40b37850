// The language tables: FREQUENCIES turned, once during import, into a
// direct-indexed rank table over the BMP and per-language sizes and flags,
// so that readers never touch the host's Python profiles again.
#include <cstring>

#include "shared/errors.h"
#include "shared/pyref.h"
#include "tessaly/functions.h"
#include "tessaly/records.h"
#include "tessaly/unpack.h"

namespace vx::tessaly {

uint16_t LANGUAGE_PROFILE_SIZES[kLanguageCount];
uint8_t LANGUAGE_CHARACTER_RANKS[kLanguageCount][65536];
int LANGUAGE_PURE_LATIN[kLanguageCount];
int LANGUAGE_HAS_ACCENTS[kLanguageCount];
uint64_t LANGUAGE_MEMBERSHIP[65536];

namespace {

constexpr Py_ssize_t kMaxProfileSize = 255;  // ranks 1..255 fit the byte

// Rank, size and flags of language `index` from its profile `characters`.
int fill_language(Py_ssize_t index, PyObject* language, PyObject* characters) noexcept {
    Py_ssize_t size = PyObject_Size(characters);
    if (size < 0) {
        return -1;
    }
    if (size > kMaxProfileSize) {
        PyErr_Format(PyExc_RuntimeError, "Language profile %R exceeds 255 characters", language);
        return -1;
    }
    Ref distinct = Ref::steal(PySet_New(characters));
    if (!distinct) {
        return -1;
    }
    if (PySet_GET_SIZE(distinct.get()) != size) {
        PyErr_Format(PyExc_RuntimeError, "Language profile %R contains duplicates", language);
        return -1;
    }
    Ref position = Ref::steal(PyLong_FromSsize_t(index));
    if (!position || PyDict_SetItem(g.language_index, language, position.get()) < 0 ||
        PyList_Append(g.language_names, language) < 0) {
        return -1;
    }

    // A failed earlier import may have left this row partly filled.
    uint8_t* ranks = LANGUAGE_CHARACTER_RANKS[index];
    std::memset(ranks, 0, sizeof(LANGUAGE_CHARACTER_RANKS[index]));
    LANGUAGE_PROFILE_SIZES[index] = static_cast<uint16_t>(size);
    LANGUAGE_PURE_LATIN[index] = 1;
    LANGUAGE_HAS_ACCENTS[index] = 0;

    // Walk a snapshot, so that a sequence whose iteration disagrees with its
    // length cannot push a rank past the byte or past the recorded size.
    Ref snapshot = Ref::steal(PySequence_List(characters));
    if (!snapshot) {
        return -1;
    }
    if (PyList_GET_SIZE(snapshot.get()) != size) {
        PyErr_Format(PyExc_RuntimeError, "Language profile %R changed size during iteration", language);
        return -1;
    }
    // Building a record runs the host's code, which can reach the snapshot
    // through the collector and empty it: each character is held, and the
    // snapshot's length is checked at every step.
    for (Py_ssize_t k = 0; k < size; ++k) {
        if (PyList_GET_SIZE(snapshot.get()) != size) {
            PyErr_Format(PyExc_RuntimeError, "Language profile %R changed size during iteration", language);
            return -1;
        }
        Ref held = Ref::borrow(PyList_GET_ITEM(snapshot.get(), k));
        PyObject* character = held.get();
        Py_UCS4 cp = 0;
        if (!to_ucs4(character, &cp)) {
            return -1;
        }
        if (cp > 0xFFFF) {
            PyErr_Format(PyExc_RuntimeError, "Language profile %R contains a non-BMP character", language);
            return -1;
        }
        ranks[cp] = static_cast<uint8_t>(k + 1);
        LANGUAGE_MEMBERSHIP[cp] |= uint64_t{1} << index;
        Ref info = Ref::steal(reinterpret_cast<PyObject*>(record_via_char_info(character, cp)));
        if (!info) {
            return -1;
        }
        const auto* record = info.as<CharInfoObject>();
        if (record->accentuated) {
            LANGUAGE_HAS_ACCENTS[index] = 1;
        }
        if (!record->latin) {
            LANGUAGE_PURE_LATIN[index] = 0;
        }
    }
    return 0;
}

int fill_tables() noexcept {
    Ref frequencies = Ref::steal(get_global(g.names.n_FREQUENCIES));
    if (!frequencies) {
        return -1;
    }
    Py_ssize_t count = PyObject_Size(frequencies.get());
    if (count < 0) {
        return -1;
    }
    if (count != kLanguageCount) {
        PyErr_Format(PyExc_RuntimeError, "Expected %d language profiles, got %zd", kLanguageCount, count);
        return -1;
    }
    // A failed earlier import may have left membership bits behind.
    std::memset(LANGUAGE_MEMBERSHIP, 0, sizeof(LANGUAGE_MEMBERSHIP));
    // A plain dict is read through a snapshot of its items (same order), so
    // host code run while records are built cannot disturb the walk.
    Ref items = PyDict_CheckExact(frequencies.get())
                    ? Ref::steal(PyDict_Items(frequencies.get()))
                    : Ref::steal(PyObject_CallMethodNoArgs(frequencies.get(), g.names.n_items));
    if (!items) {
        return -1;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(items.get()));
    if (!iterator) {
        return -1;
    }
    Py_ssize_t index = 0;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (index == kLanguageCount) {
            // A mapping whose items outnumber its length: the tables have no room.
            PyErr_Format(PyExc_RuntimeError, "Expected %d language profiles, got more", kLanguageCount);
            return -1;
        }
        Ref language;
        Ref characters;
        if (unpack_pair(item.get(), language, characters) < 0 ||
            fill_language(index, language.get(), characters.get()) < 0) {
            return -1;
        }
        ++index;
    }
    if (PyErr_Occurred()) {
        return -1;
    }
    if (index != kLanguageCount) {
        // Every reader relies on all 41 rows and names being present.
        PyErr_Format(PyExc_RuntimeError, "Expected %d language profiles, got %zd", kLanguageCount, index);
        return -1;
    }
    return 0;
}

}  // namespace

int initialize_language_ranks() noexcept {
    if (fill_tables() < 0) {
        VX_TRACEBACK("vexlora.tessaly._initialize_language_ranks");
        return -1;
    }
    return 0;
}

}  // namespace vx::tessaly
