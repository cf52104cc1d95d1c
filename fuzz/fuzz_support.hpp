// What the fuzz targets share: a check that ends the run with a message, and
// int() of an ASCII text worked out on its digits as text, as the oracle of
// the integer readers.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#define VYR_FUZZ_CHECK(cond)                                                         \
    do {                                                                             \
        if (!(cond)) {                                                               \
            std::fprintf(stderr, "%s:%d: %s does not hold\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                            \
        }                                                                            \
    } while (0)

namespace vyr::fuzz {

// int() of an ASCII text without blanks around it: a sign, digits, single
// underscores between digits; beyond 64 bits the nearest end of the range;
// none past `max_digits` digits (0: no limit).
inline std::optional<long long> reference_int(std::string_view s, std::size_t max_digits = 0) {
    bool negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    std::string digits;
    bool prev_digit = false;
    for (char c : s) {
        if (c == '_') {
            if (!prev_digit) return std::nullopt;
            prev_digit = false;
        } else if (c >= '0' && c <= '9') {
            digits += c;
            prev_digit = true;
        } else {
            return std::nullopt;
        }
    }
    if (!prev_digit) return std::nullopt;
    if (max_digits && digits.size() > max_digits) return std::nullopt;
    const std::size_t nonzero = digits.find_first_not_of('0');
    digits = nonzero == std::string::npos ? "0" : digits.substr(nonzero);
    const std::string limit = negative ? "9223372036854775808" : "9223372036854775807";
    if (digits.size() > limit.size() || (digits.size() == limit.size() && digits >= limit))
        return negative ? LLONG_MIN : LLONG_MAX;
    const long long magnitude = std::stoll(digits);
    return negative ? -magnitude : magnitude;
}

}  // namespace vyr::fuzz
