// How well an observed character order (most frequent first) agrees with a
// language's popularity order: the share of observed elements that sit in
// the profile at a compatible position.
#include <cstdlib>

#include "shared/args.h"
#include "shared/errors.h"
#include "shared/pyref.h"
#include "tessaly/functions.h"
#include "tessaly/state.h"

namespace vx::tessaly {

namespace {

constexpr Py_ssize_t kStackElements = 512;  // observed elements kept on the stack
constexpr unsigned kFastMaxProfile = 128;   // largest profile the Fenwick path handles
// The sweeps cost about as much as scanning the matched list this many
// times per matched entry or profile character.
constexpr double kScanBudget = 12.0;
constexpr uint32_t kNoCharacter = 0xFFFFFFFFu;

// Scratch memory: a fixed stack array for small inputs, the interpreter's
// allocator beyond it; released when the holder goes out of scope.
template <class T, Py_ssize_t N>
class Scratch {
public:
    Scratch() noexcept = default;
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() { PyMem_Free(heap_); }

    // nullptr with MemoryError when `count` elements cannot be allocated.
    T* get(Py_ssize_t count) noexcept {
        if (count <= N) {
            return local_;
        }
        if (static_cast<size_t>(count) > PY_SSIZE_T_MAX / sizeof(T)) {
            PyErr_NoMemory();
            return nullptr;
        }
        heap_ = static_cast<T*>(PyMem_Malloc(static_cast<size_t>(count) * sizeof(T)));
        if (heap_ == nullptr) {
            PyErr_NoMemory();
        }
        return heap_;
    }

private:
    T local_[N];
    T* heap_ = nullptr;
};

// Counters over observed positions 0..n-1 with prefix sums (1-based inside).
class Fenwick {
public:
    explicit Fenwick(Py_ssize_t n) noexcept : n_(n) {
        for (Py_ssize_t i = 0; i <= n_; ++i) {
            tree_[i] = 0;
        }
    }
    void add(int64_t position) noexcept {
        for (Py_ssize_t i = static_cast<Py_ssize_t>(position) + 1; i <= n_; i += i & -i) {
            ++tree_[i];
        }
    }
    // Number of marks at positions 0..position-1.
    int64_t before(int64_t position) const noexcept {
        int64_t sum = 0;
        for (Py_ssize_t i = static_cast<Py_ssize_t>(position); i > 0; i -= i & -i) {
            sum += tree_[i];
        }
        return sum;
    }

private:
    Py_ssize_t n_;
    int32_t tree_[kStackElements + 1];
};

// Observed elements found in the profile: 0-based profile rank and
// 0-based observed position, in observed order.
struct Matched {
    int64_t* rank;
    int64_t* position;
    Py_ssize_t count;
};

// Neighbourhood counts of every matched entry with two Fenwick sweeps over
// profile ranks. False when a profile character was observed twice: such
// lists are left to the scanning path, which counts every occurrence.
bool precompute_neighbourhood(const Matched& m, unsigned profile_size, Py_ssize_t n, int32_t* before,
                              int32_t* after) noexcept {
    int32_t entry_of_rank[kFastMaxProfile + 1];
    for (unsigned r = 0; r < profile_size; ++r) {
        entry_of_rank[r] = -1;
    }
    for (Py_ssize_t e = 0; e < m.count; ++e) {
        int32_t& slot = entry_of_rank[m.rank[e]];
        if (slot >= 0) {
            return false;
        }
        slot = static_cast<int32_t>(e);
    }
    // Forward: entries with a smaller rank and a smaller position.
    Fenwick forward(n);
    for (unsigned r = 0; r < profile_size; ++r) {
        int32_t e = entry_of_rank[r];
        if (e >= 0) {
            before[e] = static_cast<int32_t>(forward.before(m.position[e]));
            forward.add(m.position[e]);
        }
    }
    // Backward: entries with a rank and a position not smaller, itself included.
    Fenwick backward(n);
    int64_t seen = 0;
    for (unsigned r = profile_size; r-- > 0;) {
        int32_t e = entry_of_rank[r];
        if (e >= 0) {
            ++seen;
            after[e] = static_cast<int32_t>(seen - backward.before(m.position[e]));
            backward.add(m.position[e]);
        }
    }
    return true;
}

// At least 0.4 of the profile ranked before the entry, or from it onwards,
// was observed on the matching side of it.
inline bool neighbourhood_holds(int64_t before, int64_t after, int64_t rank, int64_t profile_size) noexcept {
    return 5 * before >= 2 * rank || 5 * after >= 2 * (profile_size - rank);
}

// The same test by scanning all matched entries, stopping at the first hold.
bool scan_neighbourhood(const Matched& m, Py_ssize_t entry, int64_t profile_size) noexcept {
    const int64_t rank = m.rank[entry];
    const int64_t position = m.position[entry];
    int64_t before = 0;
    int64_t after = 0;
    for (Py_ssize_t j = 0; j < m.count; ++j) {
        if (m.rank[j] < rank && m.position[j] < position) {
            ++before;
        } else if (m.rank[j] >= rank && m.position[j] >= position) {
            ++after;
        } else {
            continue;
        }
        if (neighbourhood_holds(before, after, rank, profile_size)) {
            return true;
        }
    }
    return false;
}

double compare_index(Py_ssize_t language, const uint32_t* codepoints, Py_ssize_t n) noexcept {
    if (language < 0 || language >= kLanguageCount) {
        PyErr_Format(PyExc_IndexError, "language index %zd out of range", language);
        return -1.0;
    }
    if (n <= 0) {
        if (n == 0) {
            PyErr_SetString(PyExc_ZeroDivisionError, "division by zero");
        } else {
            PyErr_Format(PyExc_ValueError, "negative element count %zd", n);
        }
        return -1.0;
    }
    const unsigned profile_size = LANGUAGE_PROFILE_SIZES[language];

    // One block of 2 x n signed 64-bit integers: ranks, then positions.
    Scratch<int64_t, 2 * kStackElements> storage;
    if (n > PY_SSIZE_T_MAX / 2) {
        PyErr_NoMemory();
        return -1.0;
    }
    int64_t* block = storage.get(2 * n);
    if (block == nullptr) {
        return -1.0;
    }
    Matched m{block, block + n, 0};
    for (Py_ssize_t p = 0; p < n; ++p) {
        unsigned rank = rank_of(static_cast<int>(language), codepoints[p]);
        if (rank != 0) {
            m.rank[m.count] = static_cast<int64_t>(rank) - 1;
            m.position[m.count] = p;
            ++m.count;
        }
    }

    // Most entries are decided by their projection distance alone; the
    // neighbourhood counts are needed only for the others, the undecided.
    const double projection = static_cast<double>(profile_size) / static_cast<double>(n);
    const double large_bound = profile_size / 3.0;
    const auto size = static_cast<int64_t>(profile_size);
    Py_ssize_t approved = 0;
    Scratch<Py_ssize_t, kStackElements> undecided_storage;
    Py_ssize_t* undecided = undecided_storage.get(m.count);
    if (undecided == nullptr) {
        return -1.0;
    }
    Py_ssize_t undecided_count = 0;
    for (Py_ssize_t e = 0; e < m.count; ++e) {
        const int64_t rank = m.rank[e];
        const auto projected = static_cast<int64_t>(static_cast<double>(m.position[e]) * projection);
        const int64_t distance = std::llabs(projected - rank);
        if (profile_size <= 26) {
            if (distance > 4) {
                continue;
            }
        } else if (static_cast<double>(distance) < large_bound) {
            ++approved;
            continue;
        }
        if (rank == 0) {
            ++approved;
        } else {
            undecided[undecided_count++] = e;
        }
    }
    if (undecided_count == 0) {
        return static_cast<double>(approved) / static_cast<double>(n);
    }

    // Both ways of counting give the same answer: a few undecided entries
    // scan the matched list, many take the two Fenwick sweeps when the
    // profile and the list are small enough and repeat no character.
    int32_t before[kStackElements];
    int32_t after[kStackElements];
    const bool many = static_cast<double>(undecided_count) * static_cast<double>(m.count) >
                      kScanBudget * static_cast<double>(m.count + profile_size);
    const bool fast = many && profile_size <= kFastMaxProfile && n <= kStackElements &&
                      precompute_neighbourhood(m, profile_size, n, before, after);
    for (Py_ssize_t k = 0; k < undecided_count; ++k) {
        const Py_ssize_t e = undecided[k];
        if (fast ? neighbourhood_holds(before[e], after[e], m.rank[e], size) : scan_neighbourhood(m, e, size)) {
            ++approved;
        }
    }
    return static_cast<double>(approved) / static_cast<double>(n);
}

}  // namespace

double characters_popularity_compare_index(Py_ssize_t language, const uint32_t* codepoints, Py_ssize_t n) noexcept {
    double ratio = compare_index(language, codepoints, n);
    if (ratio == -1.0 && PyErr_Occurred()) {
        VX_TRACEBACK("vexlora.tessaly._characters_popularity_compare_index");
    }
    return ratio;
}

namespace {

PyObject* compare(PyObject* language, PyObject* ordered_characters) noexcept {
    if (!check_exact_or_none(language, &PyUnicode_Type, "language") ||
        !check_exact_or_none(ordered_characters, &PyList_Type, "ordered_characters")) {
        return nullptr;
    }
    if (ordered_characters == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return nullptr;
    }
    // The lookup may run a key's __eq__, which may change the list: its
    // length is read afterwards.
    PyObject* index = PyDict_GetItemWithError(g.language_index, language);  // borrowed
    if (index == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_ValueError, "%S not available", language);
        }
        return nullptr;
    }
    const Py_ssize_t language_index = PyLong_AsSsize_t(index);
    if (language_index == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    // Nothing below runs Python code, so the list keeps its length and items.
    const Py_ssize_t n = PyList_GET_SIZE(ordered_characters);
    Scratch<uint32_t, kStackElements> storage;
    uint32_t* codepoints = storage.get(n);
    if (codepoints == nullptr) {
        return nullptr;
    }
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* item = PyList_GET_ITEM(ordered_characters, k);
        codepoints[k] =
            PyUnicode_Check(item) && PyUnicode_GET_LENGTH(item) == 1 ? PyUnicode_READ_CHAR(item, 0) : kNoCharacter;
    }
    double ratio = characters_popularity_compare_index(language_index, codepoints, n);
    if (ratio == -1.0 && PyErr_Occurred()) {
        return nullptr;
    }
    return PyFloat_FromDouble(ratio);
}

}  // namespace

PyObject* py_characters_popularity_compare(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"language", "ordered_characters"};
    static const ArgSpec spec{"characters_popularity_compare", names, 2, 2};
    PyObject* values[2];
    if (parse_args(spec, args, nargs, kwnames, values) < 0) {
        VX_TRACEBACK("vexlora.tessaly.characters_popularity_compare");
        return nullptr;
    }
    PyObject* result = compare(values[0], values[1]);
    if (result == nullptr) {
        VX_TRACEBACK("vexlora.tessaly.characters_popularity_compare");
    }
    return result;
}

}  // namespace vx::tessaly
