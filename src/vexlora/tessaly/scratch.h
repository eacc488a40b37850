// Scratch storage for the native routines: small requests stay on the stack,
// larger ones come from the interpreter's allocator and are released when the
// holder goes out of scope, whichever way the routine leaves.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

namespace vx::tessaly {

// `count` elements of T from the interpreter's allocator, or nullptr with
// MemoryError (also when the byte size would overflow).
template <class T>
T* pymem_array(size_t count) noexcept {
    if (count > static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(T)) {
        PyErr_NoMemory();
        return nullptr;
    }
    void* p = PyMem_Malloc(count == 0 ? 1 : count * sizeof(T));
    if (p == nullptr) {
        PyErr_NoMemory();
    }
    return static_cast<T*>(p);
}

// An owned heap array (interpreter allocator).
template <class T>
class HeapArray {
public:
    HeapArray() noexcept = default;
    HeapArray(const HeapArray&) = delete;
    HeapArray& operator=(const HeapArray&) = delete;
    ~HeapArray() { PyMem_Free(p_); }

    // Replace the contents with room for `count` elements; false with
    // MemoryError on failure.
    bool allocate(size_t count) noexcept {
        PyMem_Free(std::exchange(p_, nullptr));
        p_ = pymem_array<T>(count);
        return p_ != nullptr;
    }
    T* get() const noexcept { return p_; }
    T& operator[](size_t i) const noexcept { return p_[i]; }

private:
    T* p_ = nullptr;
};

// Room for up to N elements inline; more goes to the heap.
template <class T, size_t N>
class Scratch {
public:
    Scratch() noexcept = default;
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    // Storage for `count` elements, or nullptr with MemoryError.
    T* reserve(size_t count) noexcept {
        if (count <= N) {
            return inline_;
        }
        return heap_.allocate(count) ? heap_.get() : nullptr;
    }

private:
    T inline_[N];
    HeapArray<T> heap_;
};

}  // namespace vx::tessaly
