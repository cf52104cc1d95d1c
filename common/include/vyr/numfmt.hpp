// Locale-free number formatting and parsing with Python's results.
//
// The C locale may be switched to the user's (Qt does so on Unix, and a
// Turkish locale writes a decimal comma), so nothing here goes through printf
// or iostreams. Fixed-point output is correctly rounded from the exact binary
// value with exact halves going to the even digit, as Python's "%.Nf" and
// format() do ("%.0f" % 42.5 == "42").
#pragma once

#include <charconv>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace vyr::numfmt {

// Python's "%.{precision}f" % value, including "inf", "-inf" and "nan".
inline std::string fixed(double value, int precision) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, precision);
    if (res.ec != std::errc()) return "nan";
    return std::string(buf, res.ptr);
}

// Python's str(int).
inline std::string integer(long long value) {
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, res.ptr);
}

// Parses a whole decimal number (optional sign, digits only), as int() of a
// plain decimal text without surrounding blanks.
inline std::optional<long long> parse_integer(std::string_view text) {
    long long v = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+') ++first;
    auto res = std::from_chars(first, last, v);
    if (res.ec != std::errc() || res.ptr != last || first == last) return std::nullopt;
    return v;
}

// Parses a decimal floating-point number with a point, whatever the locale.
inline std::optional<double> parse_double(std::string_view text) {
    double v = 0;
    auto res = std::from_chars(text.data(), text.data() + text.size(), v);
    if (res.ec != std::errc() || res.ptr != text.data() + text.size() || text.empty())
        return std::nullopt;
    return v;
}

}  // namespace vyr::numfmt
