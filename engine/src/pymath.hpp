// Arithmetic with the runtime's results: round(), sum() of floats, min() and
// max() of two values, time.time().
#pragma once

#include <cmath>
#include <ctime>
#include <limits>
#include <vector>

#include "vyr/numfmt.hpp"

namespace vyr::engine::py {

// round(x, ndigits): correctly rounded, exact halves to even.
inline double round(double x, int ndigits) {
    if (!std::isfinite(x)) return x;
    const auto parsed = numfmt::parse_double(numfmt::fixed(x, ndigits));
    return parsed ? *parsed : x;
}

// sum() of a list of floats (compensated summation, as the 3.12 runtime does).
inline double sum(const std::vector<double>& values) {
    if (values.empty()) return 0.0;
    double total = 0.0 + values[0];
    double c = 0.0;
    for (std::size_t i = 1; i < values.size(); ++i) {
        const double x = values[i];
        const double t = total + x;
        if (std::fabs(total) >= std::fabs(x))
            c += (total - t) + x;
        else
            c += (x - t) + total;
        total = t;
    }
    if (c != 0.0 && std::isfinite(c)) total += c;
    return total;
}

// min(a, b) and max(a, b): the first argument unless the second is strictly
// smaller (larger).
inline double min(double a, double b) { return b < a ? b : a; }
inline double max(double a, double b) { return b > a ? b : a; }

// time.time() and time.monotonic() from a clock reading.
inline double seconds(const timespec& ts) {
    const long long ns = static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
    if (ns % 1000000000LL == 0) return static_cast<double>(ns / 1000000000LL);
    return static_cast<double>(ns) / 1e9;
}

// Floor division and remainder of integers.
inline long long floordiv(long long a, long long b) {
    long long q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}
inline long long floormod(long long a, long long b) { return a - floordiv(a, b) * b; }

// Whole-number arithmetic on figures read from the system. The runtime's ints
// never overflow; these stop at the ends of the 64-bit range instead, with
// the sign the exact result has.
inline long long sat_add(long long a, long long b) {
    long long r;
    if (!__builtin_add_overflow(a, b, &r)) return r;
    return b > 0 ? std::numeric_limits<long long>::max() : std::numeric_limits<long long>::min();
}
inline long long sat_sub(long long a, long long b) {
    long long r;
    if (!__builtin_sub_overflow(a, b, &r)) return r;
    return b < 0 ? std::numeric_limits<long long>::max() : std::numeric_limits<long long>::min();
}
inline long long sat_mul(long long a, long long b) {
    long long r;
    if (!__builtin_mul_overflow(a, b, &r)) return r;
    return (a < 0) != (b < 0) ? std::numeric_limits<long long>::min() : std::numeric_limits<long long>::max();
}
// int(x) of a float, within the range (0 for NaN).
inline long long sat_int(double x) {
    if (!(x == x)) return 0;
    if (x >= 9223372036854775808.0) return std::numeric_limits<long long>::max();
    if (x < -9223372036854775808.0) return std::numeric_limits<long long>::min();
    return static_cast<long long>(x);
}

}  // namespace vyr::engine::py
