// Arithmetic with the runtime's results: round(), sum() of floats, min() and
// max() of two values, time.time().
#pragma once

#include <cmath>
#include <ctime>
#include <limits>
#include <optional>
#include <vector>

#include "vyr/numfmt.hpp"

namespace vyr::engine::py {

// round(x, 1) without text, where that gives the same double: x * 10 is
// rounded to a whole number k, and k / 10 (k exact, one correctly rounded
// division) is the double nearest to the decimal result, as the text's
// reading would be. Values whose tenths lie within a few units of the last
// place of a halfway point, and very large ones, are left to the text (none).
inline std::optional<double> round_tenths(double x) {
    const double y = x * 10.0;
    if (!(std::fabs(y) < 1e15)) return std::nullopt;
    const double floor_y = std::floor(y);
    const double fraction = y - floor_y;
    const double margin = 8 * std::numeric_limits<double>::epsilon() * std::fmax(std::fabs(y), 1.0);
    if (std::fabs(fraction - 0.5) <= margin) return std::nullopt;
    const double k = fraction < 0.5 ? floor_y : floor_y + 1.0;
    return k == 0.0 ? std::copysign(0.0, x) : k / 10.0;
}

// round(x, ndigits) through its correctly rounded decimal text.
inline double round_by_text(double x, int ndigits) {
    if (!std::isfinite(x)) return x;
    const auto parsed = numfmt::parse_double(numfmt::fixed(x, ndigits));
    return parsed ? *parsed : x;
}

// round(x, ndigits): correctly rounded, exact halves to even.
inline double round(double x, int ndigits) {
    if (ndigits == 1 && std::isfinite(x))
        if (const auto quick = round_tenths(x)) return *quick;
    return round_by_text(x, ndigits);
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
