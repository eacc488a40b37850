#include "murkel/counter_room.h"

#include <cstring>

#include "murkel/class_fields.h"

namespace vx::murkel {

namespace {

// The counter a class adds to others in one step, if any.
const char* pending_run(int cls) noexcept {
    switch (cls) {
        case kSuperWeirdWordPluginClass:
            return "_buffer_length";
        case kArchaicUpperLowerPluginClass:
            return "_successive_upper_lower_count";
        default:
            return nullptr;
    }
}

int64_t magnitude(int32_t v) noexcept { return v < 0 ? -static_cast<int64_t>(v) : v; }

int32_t counter_at(const void* plugin, const FieldDesc& f) noexcept {
    int32_t v;
    std::memcpy(&v, static_cast<const char*>(plugin) + f.offset, sizeof v);
    return v;
}

}  // namespace

int counters_fit(int cls, const void* plugin, int64_t characters) noexcept {
    const ClassFields& c = kClassFields[cls];
    const char* run_name = pending_run(cls);
    int64_t run = 0;
    for (Py_ssize_t i = 0; run_name != nullptr && i < c.count; ++i) {
        if (std::strcmp(c.fields[i].name, run_name) == 0) {
            run = magnitude(counter_at(plugin, c.fields[i]));
        }
    }
    const int64_t step = 2 * characters + run;
    for (Py_ssize_t i = 0; i < c.count; ++i) {
        const FieldDesc& f = c.fields[i];
        if (f.kind != FieldKind::Int32) {
            continue;
        }
        const int32_t v = counter_at(plugin, f);
        if (magnitude(v) + step > INT32_MAX) {
            PyErr_Format(PyExc_OverflowError,
                         "%s.%s is %ld: %lld more characters could take it beyond the 32-bit counter range",
                         c.class_name, f.name, static_cast<long>(v), static_cast<long long>(characters));
            return 0;
        }
    }
    return 1;
}

int class_index_of(const char* class_name) noexcept {
    for (int i = 0; i < kClassCount; ++i) {
        if (std::strcmp(kClassFields[i].class_name, class_name) == 0) {
            return i;
        }
    }
    return -1;
}

}  // namespace vx::murkel
