#include "murkel/counter_room.h"

#include <cstring>

#include "murkel/class_fields.h"

namespace vx::murkel {

namespace {

int64_t magnitude(int32_t v) noexcept { return v < 0 ? -static_cast<int64_t>(v) : v; }

int32_t counter_at(const void* plugin, const FieldDesc& f) noexcept {
    int32_t v;
    std::memcpy(&v, static_cast<const char*>(plugin) + f.offset, sizeof v);
    return v;
}

}  // namespace

int counters_fit(int cls, const void* plugin, int64_t characters) noexcept {
    const ClassFields& c = kClassFields[cls];
    // A pending run is added to other counters in one step.
    int64_t run = 0;
    for (Py_ssize_t i = 0; i < c.count; ++i) {
        if (c.fields[i].kind == FieldKind::Run) {
            run += magnitude(counter_at(plugin, c.fields[i]));
        }
    }
    const int64_t step = 2 * characters + run;
    for (Py_ssize_t i = 0; i < c.count; ++i) {
        const FieldDesc& f = c.fields[i];
        if (!is_counter(f.kind)) {
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

}  // namespace vx::murkel
