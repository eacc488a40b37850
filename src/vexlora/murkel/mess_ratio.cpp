// mess_ratio: walks a decoded string once, feeds every character's record to
// the detector plugins, sums their ratios at checkpoints and stops early
// once the sum reaches the caller's maximum.
//
// The walk reads code points straight from the string's storage, one
// instantiation per storage width, and calls no Python API for a character
// whose record is already cached. Each record is reduced to one word of bits
// (record_bits.h) that feeds the plugins; the words of the ASCII records are
// kept for the whole call. Counter-only plugins are updated on local copies
// (which the compiler keeps in registers, apart from the records it reads)
// and written back to their objects when the walk ends.
#include <algorithm>
#include <cstring>

#include "murkel/class_fields.h"
#include "murkel/counter_room.h"
#include "murkel/mess_ratio_trace.h"
#include "murkel/pair_judge.h"
#include "murkel/record_bits.h"
#include "murkel/walk_records.h"
#include "murkel/registry.h"
#include "murkel/state.h"
#include "murkel/plugins.h"
#include "shared/args.h"
#include "shared/errors.h"
#include "shared/function.h"
#include "shared/pyref.h"
#include "shared/rounding.h"

namespace vx::murkel {

namespace {

using namespace driver;

constexpr const char kWhere[] = "vexlora.murkel.mess_ratio";
constexpr Py_UCS4 kLineFeed = 10;
constexpr Py_ssize_t kGuardStride = 65536;

// ---------------------------------------------------------------------------
// The plugins of one call.

using SymbolTraits = TooManySymbolOrPunctuationTraits;
using AccentTraits = TooManyAccentuatedTraits;
using DuplicateTraits = SuspiciousDuplicateAccentTraits;
using RangeTraits = SuspiciousRangeTraits;
using WeirdTraits = SuperWeirdWordTraits;
using CjkTraits = CjkUncommonTraits;
using KatakanaTraits = SuspiciousKatakanaTraits;
using ArchaicTraits = ArchaicUpperLowerTraits;
using ArabicTraits = ArabicIsolatedFormTraits;

struct Plugins {
    // In creation order, which is also the order of the debug records.
    static constexpr int kCount = kDetectorCount;
    Ref objects[kCount];

    int create() noexcept {
        PyTypeObject* const* types = kClassTypes + kFirstDetectorClass;
        // What calling each class with no arguments does, without the
        // generic call machinery: the classes are static and immutable, so
        // their construction slots are the ones a call would reach.
        Ref no_args = Ref::steal(PyTuple_New(0));
        if (!no_args) {
            return -1;
        }
        for (int i = 0; i < kCount; ++i) {
            objects[i] = Ref::steal(types[i]->tp_new(types[i], no_args.get(), nullptr));
            if (!objects[i]) {
                return -1;
            }
            if (!Py_IS_TYPE(objects[i].get(), types[i])) {
                PyErr_Format(PyExc_TypeError, "%.200s() returned %.200s", types[i]->tp_name,
                             Py_TYPE(objects[i].get())->tp_name);
                return -1;
            }
            if (types[i]->tp_init(objects[i].get(), no_args.get(), nullptr) < 0) {
                return -1;
            }
        }
        return 0;
    }

    // The plugin of the class Traits describes.
    template <class Traits>
    typename Traits::Object* at() const noexcept {
        return objects[kClassOf<typename Traits::Object> - kFirstDetectorClass].template as<typename Traits::Object>();
    }
};

// A counter-only plugin worked on as a local copy. The copy never leaves the
// walk, so its fields cannot alias the records being read.
template <class Traits>
struct Local {
    static_assert(!Traits::kHasReference, "plugins holding references are updated in place");
    using Object = typename Traits::Object;
    Object state;

    explicit Local(const Object* target) noexcept { std::memcpy(&state, target, sizeof(Object)); }
    // Copy the counters (everything after the common header) back.
    void store(Object* target) const noexcept {
        constexpr size_t header = sizeof(MessDetectorPluginObject);
        std::memcpy(reinterpret_cast<char*>(target) + header, reinterpret_cast<const char*>(&state) + header,
                    sizeof(Object) - header);
    }
};

// ---------------------------------------------------------------------------
// The walk.

// Will feeding `info` to the duplicate-accent plugin compare two accent-free
// forms other than two str (a comparison that may run Python code)?
bool compares_foreign_bases(const DuplicateTraits::Object* plugin, uint32_t word, const CharInfoObject* info) noexcept {
    PyObject* last = plugin->_last_latin_character;
    if ((word & bits::kAccentuated) == 0 || !plugin->_last_was_accentuated || last == nullptr || last == Py_None) {
        return false;
    }
    if (!Py_IS_TYPE(last, &CharInfoType)) {
        return true;
    }
    PyObject* mine = field_or_none(info->unaccented);
    PyObject* theirs = field_or_none(reinterpret_cast<const CharInfoObject*>(last)->unaccented);
    return mine != theirs && !(PyUnicode_CheckExact(mine) && PyUnicode_CheckExact(theirs));
}

struct Walk {
    AsciiTable* ascii;
    const Plugins* plugins;
    Py_ssize_t interval;
    double maximum_threshold;
    double mean = 0.0;
};

template <class Char, bool kAsciiOnly>
int walk(Walk& w, const Char* text, Py_ssize_t length) noexcept {
    const Plugins& p = *w.plugins;
    AsciiTable& ascii = *w.ascii;
    Local<SymbolTraits> symbol(p.at<SymbolTraits>());
    Local<AccentTraits> accent(p.at<AccentTraits>());
    Local<UnprintableTraits> unprintable(p.at<UnprintableTraits>());
    DuplicateTraits::Object* duplicate = p.at<DuplicateTraits>();
    RangeTraits::Object* range = p.at<RangeTraits>();
    Local<WeirdTraits> weird(p.at<WeirdTraits>());
    Local<CjkTraits> cjk(p.at<CjkTraits>());
    Local<KatakanaTraits> katakana(p.at<KatakanaTraits>());
    Local<ArchaicTraits> archaic(p.at<ArchaicTraits>());
    Local<ArabicTraits> arabic(p.at<ArabicTraits>());
    PageReader pages;
    Judge judge;
    RecordCache own_records;
    RecordCache* kept_records = nullptr;
    if constexpr (!kAsciiOnly) {
        kept_records = RecordCache::take_kept();
        if (kept_records == nullptr && own_records.allocate(length) < 0) {
            return -1;
        }
    }
    RecordCache& records = kept_records != nullptr ? *kept_records : own_records;
    struct GiveBack {
        RecordCache* kept;
        ~GiveBack() {
            if (kept != nullptr) {
                kept->give_back();
            }
        }
    } give_back{kept_records};
    uint64_t writes_seen = g.record_writes;
    // Python code run by a plugin or a record build may have created or
    // rewritten records: drop the words derived from them.
    auto check_records = [&]() noexcept {
        if (writes_seen != g.record_writes) [[unlikely]] {
            ascii.forget_words();
            if constexpr (!kAsciiOnly) {
                records.distrust();
            }
            writes_seen = g.record_writes;
        }
    };

    // Python code may have run: the namespace and the page table may have
    // changed, and records may have been rewritten.
    auto code_ran = [&]() noexcept {
        pages.code_ran();
        if constexpr (!kAsciiOnly) {
            records.distrust();
        }
    };

    // Summed left to right, with the archaic ratio before the Katakana one.
    auto checkpoint = [&]() noexcept {
        double sum = SymbolTraits::ratio(&symbol.state);
        sum += AccentTraits::ratio(&accent.state);
        sum += UnprintableTraits::ratio(&unprintable.state);
        sum += DuplicateTraits::ratio(duplicate);
        sum += RangeTraits::ratio(range);
        sum += WeirdTraits::ratio(&weird.state);
        sum += CjkTraits::ratio(&cjk.state);
        sum += ArchaicTraits::ratio(&archaic.state);
        sum += KatakanaTraits::ratio(&katakana.state);
        sum += ArabicTraits::ratio(&arabic.state);
        return sum;
    };
    auto store = [&]() noexcept {
        symbol.store(p.at<SymbolTraits>());
        accent.store(p.at<AccentTraits>());
        unprintable.store(p.at<UnprintableTraits>());
        weird.store(p.at<WeirdTraits>());
        cjk.store(p.at<CjkTraits>());
        katakana.store(p.at<KatakanaTraits>());
        archaic.store(p.at<ArchaicTraits>());
        arabic.store(p.at<ArabicTraits>());
    };

    // Every kGuardStride characters (at a checkpoint): let a pending signal
    // (Ctrl-C) stop the walk, and make sure the counters can take the
    // characters up to the next such point (and the final line feed)
    // without wrapping.
    Py_ssize_t next_guard = kGuardStride;
    auto guard = [&]() noexcept {
        const int signalled = PyErr_CheckSignals();
        code_ran();  // a signal handler is Python code
        if (signalled < 0) {
            return -1;
        }
        const int64_t ahead = kGuardStride + w.interval + 1;
        const bool fit = counters_fit(&symbol.state, ahead) && counters_fit(&accent.state, ahead) &&
                         counters_fit(&unprintable.state, ahead) && counters_fit(duplicate, ahead) &&
                         counters_fit(range, ahead) && counters_fit(&weird.state, ahead) &&
                         counters_fit(&cjk.state, ahead) && counters_fit(&katakana.state, ahead) &&
                         counters_fit(&archaic.state, ahead) && counters_fit(&arabic.state, ahead);
        return fit ? 0 : -1;
    };

    for (Py_ssize_t start = 0; start < length; start += w.interval) {
        const Py_ssize_t stop = std::min(length, start + w.interval);
        for (Py_ssize_t i = start; i < stop; ++i) {
            const Py_UCS4 cp = text[i];
            CharInfoObject* info;  // kept alive by the ASCII table or the record cache
            uint32_t word;
            check_records();
            if (kAsciiOnly || cp < kAsciiRecords) [[likely]] {
                word = ascii.word(cp);
                if (word == 0) [[unlikely]] {
                    return -1;
                }
                info = ascii.record(cp);
            } else {
                info = records.get(cp, pages, &word);
                if (info == nullptr) [[unlikely]] {
                    return -1;
                }
            }
            UnprintableTraits::feed_bits(&unprintable.state, word);
            WeirdTraits::feed_bits(&weird.state, word);
            if constexpr (kAsciiOnly) {
                if (word & bits::kPrintable) {
                    SymbolTraits::feed_bits(&symbol.state, cp, word);
                }
            } else {
                ArchaicTraits::feed_bits(&archaic.state, word);
                if (word & bits::kPrintable) {
                    SymbolTraits::feed_bits(&symbol.state, cp, word);
                    PyObject* block = field_or_none(info->range);
                    if (!RangeTraits::feed_quick(range, (word & bits::kChainBreak) != 0, block)) [[unlikely]] {
                        // Comparing or judging the blocks may run Python code.
                        bool ok = RangeTraits::feed_bits(range, word, block, judge) >= 0;
                        code_ran();
                        if (!ok) {
                            return -1;
                        }
                    }
                }
                if (word & bits::kAlpha) {
                    AccentTraits::feed_bits(&accent.state, word);
                    if (word & bits::kLatin) {
                        const bool foreign = compares_foreign_bases(duplicate, word, info);
                        bool ok = DuplicateTraits::feed_bits(duplicate, word, info) >= 0;
                        if (foreign) [[unlikely]] {
                            code_ran();
                        }
                        if (!ok) {
                            return -1;
                        }
                    }
                    if (word & bits::kOtherScript) {
                        if (word & bits::kCjk) {
                            CjkTraits::feed_bits(&cjk.state, word);
                        }
                        if (word & (bits::kCjk | bits::kKatakana)) {
                            KatakanaTraits::feed_bits(&katakana.state, word);
                        }
                        if (word & bits::kArabic) {
                            ArabicTraits::feed_bits(&arabic.state, word);
                        }
                    }
                }
            }
        }
        w.mean = checkpoint();
        if (w.mean >= w.maximum_threshold) {
            store();
            return 0;
        }
        if (stop >= next_guard) [[unlikely]] {
            next_guard = stop + kGuardStride;
            if (guard() < 0) {
                return -1;
            }
        }
    }

    // End of text: a line feed closes the last word and the last case run.
    check_records();
    const uint32_t line_feed = ascii.word(kLineFeed);
    if (line_feed == 0) {
        return -1;
    }
    WeirdTraits::feed_bits(&weird.state, line_feed);
    if constexpr (!kAsciiOnly) {
        ArchaicTraits::feed_bits(&archaic.state, line_feed);
    }
    UnprintableTraits::feed_bits(&unprintable.state, line_feed);
    w.mean = checkpoint();
    store();
    return 0;
}

// ---------------------------------------------------------------------------

double run(PyObject* text, double maximum_threshold, bool debug) noexcept {
    if (text == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return -1.0;
    }
    if (!PyUnicode_Check(text)) {
        raise_arg_type("decoded_sequence", "str", text);
        return -1.0;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const bool ascii_only = PyUnicode_IS_ASCII(text);
    AsciiTable ascii;
    if (ascii.load() < 0) {
        return -1.0;
    }
    Plugins plugins;
    if (plugins.create() < 0) {
        return -1.0;
    }
    Walk w{&ascii, &plugins, length < 511 ? 32 : length < 1024 ? 64 : 128, maximum_threshold};
    const void* data = PyUnicode_DATA(text);
    int status;
    if (ascii_only) {
        status = walk<Py_UCS1, true>(w, static_cast<const Py_UCS1*>(data), length);
    } else {
        switch (PyUnicode_KIND(text)) {
            case PyUnicode_1BYTE_KIND:
                status = walk<Py_UCS1, false>(w, static_cast<const Py_UCS1*>(data), length);
                break;
            case PyUnicode_2BYTE_KIND:
                status = walk<Py_UCS2, false>(w, static_cast<const Py_UCS2*>(data), length);
                break;
            default:
                status = walk<Py_UCS4, false>(w, static_cast<const Py_UCS4*>(data), length);
                break;
        }
    }
    if (status < 0 && !PyErr_Occurred()) [[unlikely]] {
        // Never let a failure pass for the result -1.0.
        PyErr_SetString(PyExc_SystemError, "mess_ratio walk failed without setting an exception");
    }
    if (status < 0 || (debug && trace_mess_ratio(text, w.interval, w.mean, w.maximum_threshold, plugins.objects,
                                                 Plugins::kCount) < 0)) {
        return -1.0;
    }
    double result;
    return round_digits(g.builtin_round, w.mean, 3, &result) < 0 ? -1.0 : result;
}

PyObject* py_mess_ratio(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"decoded_sequence", "maximum_threshold", "debug"};
    static const ArgSpec spec{"mess_ratio", names, 1, 3};
    PyObject* a[3] = {nullptr, nullptr, nullptr};
    if (parse_args(spec, args, nargs, kwnames, a) < 0 ||
        !check_exact_or_none(a[0], &PyUnicode_Type, "decoded_sequence")) {
        VX_TRACEBACK(kWhere);
        return nullptr;
    }
    MessRatioOptionalArgs optional{2, 0.2, 0};
    if (a[1] != nullptr) {
        optional.maximum_threshold = PyFloat_CheckExact(a[1]) ? PyFloat_AS_DOUBLE(a[1]) : PyFloat_AsDouble(a[1]);
        if (optional.maximum_threshold == -1.0 && PyErr_Occurred()) {
            VX_TRACEBACK(kWhere);
            return nullptr;
        }
    }
    if (a[2] != nullptr) {
        optional.debug = PyObject_IsTrue(a[2]);
        if (optional.debug < 0) {
            VX_TRACEBACK(kWhere);
            return nullptr;
        }
    }
    double result = mess_ratio_native(a[0], 1, &optional);
    if (result == -1.0 && PyErr_Occurred()) {
        VX_TRACEBACK(kWhere);
        return nullptr;
    }
    return PyFloat_FromDouble(result);
}

}  // namespace

double mess_ratio_native(PyObject* decoded_sequence, int, MessRatioOptionalArgs* optional) noexcept {
    double maximum_threshold = 0.2;
    bool debug = false;
    if (optional != nullptr && optional->count >= 1) {
        maximum_threshold = optional->maximum_threshold;
        if (optional->count >= 2) {
            debug = optional->debug != 0;
        }
    }
    double result;
    if (decoded_sequence == nullptr) {
        PyErr_BadInternalCall();
        result = -1.0;
    } else {
        result = run(decoded_sequence, maximum_threshold, debug);
    }
    if (result == -1.0 && PyErr_Occurred()) {
        VX_TRACEBACK(kWhere);
    }
    return result;
}

int define_mess_ratio_function(PyObject* module) noexcept {
    static const FunctionDef def{"mess_ratio", py_mess_ratio,
                                 "Compute the mess ratio for a decoded string, with checkpoint early stop.",
                                 "(decoded_sequence, maximum_threshold=0.2, debug=False)"};
    if (watch_namespace(g.dict) < 0) {
        return -1;
    }
    Ref defaults = Ref::steal(PyTuple_Pack(2, g.float_default_threshold, Py_False));
    Ref fn = Ref::steal(defaults ? new_function(def, kModuleName, defaults.get()) : nullptr);
    return fn ? PyModule_AddObjectRef(module, "mess_ratio", fn.get()) : -1;
}

}  // namespace vx::murkel
