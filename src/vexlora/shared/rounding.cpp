#include "shared/rounding.h"

#include <cmath>

#include "shared/builtin_function.h"
#include "shared/pyref.h"

namespace vx {

namespace {

bool is_builtin_round(PyObject* fn) noexcept {
    static BuiltinFunction round("round");
    return round.is(fn);
}

// round(value, digits) for 0 <= digits <= 6 when the answer is certain
// without a decimal conversion; false when the call must decide.
//
// The exact decimal rounding of `value` to `digits` places is the integer k
// nearest to value * 10^digits (ties to even), divided by 10^digits; the
// division of two exact doubles is correctly rounded, so it gives the double
// nearest to that decimal, as the built-in's string round trip does. The
// product below is within half a unit in the last place of the exact one,
// below 2^-18 for the magnitudes accepted, so a fractional part at least
// 2^-12 away from one half decides k the same way as the exact product.
bool round_quickly(double value, int digits, double* out) noexcept {
    static constexpr double kScale[] = {1.0, 10.0, 100.0, 1000.0, 10000.0, 100000.0, 1000000.0};
    if (digits < 0 || digits > 6 || !std::isfinite(value)) {
        return false;
    }
    const double magnitude = std::fabs(value);
    const double scaled = magnitude * kScale[digits];
    if (!(scaled < 17179869184.0)) {  // 2^34
        return false;
    }
    const double whole = std::floor(scaled);
    const double fraction = scaled - whole;
    if (std::fabs(fraction - 0.5) < 1.0 / 4096.0) {
        return false;
    }
    const double k = fraction > 0.5 ? whole + 1.0 : whole;
    *out = std::copysign(k / kScale[digits], value);
    return true;
}

}  // namespace

int round_digits(PyObject* round_fn, double value, int digits, double* out) noexcept {
    if (is_builtin_round(round_fn) && round_quickly(value, digits, out)) {
        return 0;
    }
    Ref rounded = Ref::steal(round_digits_object(round_fn, value, digits));
    if (!rounded) {
        return -1;
    }
    double result = PyFloat_AsDouble(rounded.get());
    if (result == -1.0 && PyErr_Occurred()) {
        return -1;
    }
    *out = result;
    return 0;
}

PyObject* round_digits_object(PyObject* round_fn, double value, int digits) noexcept {
    double quick;
    if (is_builtin_round(round_fn) && round_quickly(value, digits, &quick)) {
        return PyFloat_FromDouble(quick);
    }
    Ref number = Ref::steal(PyFloat_FromDouble(value));
    Ref places = Ref::steal(number ? PyLong_FromLong(digits) : nullptr);
    if (!places) {
        return nullptr;
    }
    PyObject* args[] = {number.get(), places.get()};
    return PyObject_Vectorcall(round_fn, args, 2, nullptr);
}

}  // namespace vx
