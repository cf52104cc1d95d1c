// Arithmetic with the runtime's results: round(), sum() of floats, min() and
// max() of two values, time.time().
#pragma once

#include <cmath>
#include <ctime>
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

}  // namespace vyr::engine::py
