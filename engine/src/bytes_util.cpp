#include "bytes_util.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>

#include "vyr/engine/text.hpp"

namespace vyr::engine::bytes {

std::vector<std::string_view> split(std::string_view s) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && is_space(s[i])) ++i;
        if (i >= s.size()) break;
        std::size_t j = i;
        while (j < s.size() && !is_space(s[j])) ++j;
        out.push_back(s.substr(i, j - i));
        i = j;
    }
    return out;
}

std::size_t split_into(std::string_view s, std::string_view* out, std::size_t max) {
    std::size_t n = 0, i = 0;
    while (i < s.size()) {
        while (i < s.size() && is_space(s[i])) ++i;
        if (i >= s.size()) break;
        std::size_t j = i;
        while (j < s.size() && !is_space(s[j])) ++j;
        if (n == max) return n + 1;
        out[n++] = s.substr(i, j - i);
        i = j;
    }
    return n;
}

std::vector<std::string_view> split_on(std::string_view s, char sep) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t pos = s.find(sep, start);
        if (pos == std::string_view::npos) {
            out.push_back(s.substr(start));
            return out;
        }
        out.push_back(s.substr(start, pos - start));
        start = pos + 1;
    }
}

std::string_view strip(std::string_view s) {
    std::size_t a = 0, b = s.size();
    while (a < b && is_space(s[a])) ++a;
    while (b > a && is_space(s[b - 1])) --b;
    return s.substr(a, b - a);
}

namespace {

// A sign and at most 18 ASCII digits, the kernel's usual figure, read at once:
// such a value cannot leave the 64-bit range. None for anything else.
std::optional<long long> plain_integer(std::string_view s) {
    bool negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    if (s.empty() || s.size() > 18) return std::nullopt;
    long long value = 0;
    for (const char c : s) {
        if (!is_digit(c)) return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return negative ? -value : value;
}

}  // namespace

std::optional<long long> to_int(std::string_view s) {
    if (!s.empty() && is_digit(s.back()))  // nothing to strip at the end: a plain number, often
        if (const auto plain = plain_integer(s)) return plain;
    s = strip(s);
    if (const auto plain = plain_integer(s)) return plain;
    if (!text::is_ascii(s)) return std::nullopt;
    return text::parse_int(std::u32string(s.begin(), s.end()));
}

std::optional<double> to_float(std::string_view s) {
    if (s.size() <= 15 && !s.empty() && is_digit(s.front()))
        if (const auto plain = plain_integer(s)) return static_cast<double>(*plain);
    s = strip(s);
    // Whole numbers of up to 15 digits are exact doubles: float() gives the integer's value.
    if (s.size() <= 15)
        if (const auto plain = plain_integer(s)) return s[0] == '-' && *plain == 0 ? -0.0 : static_cast<double>(*plain);
    std::string clean;
    clean.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '_') {
            // only between two digits
            if (i == 0 || i + 1 >= s.size() || !is_digit(s[i - 1]) ||
                !is_digit(s[i + 1]))
                return std::nullopt;
            continue;
        }
        if (c == '(' || c == ')') return std::nullopt;
        clean += c;
    }
    std::string_view v = clean;
    bool negative = false;
    if (!v.empty() && (v[0] == '+' || v[0] == '-')) {
        negative = v[0] == '-';
        v.remove_prefix(1);
    }
    if (v.empty() || v[0] == '+' || v[0] == '-') return std::nullopt;
    std::string lowered(v);
    for (char& c : lowered) c = lower(c);
    double value = 0.0;
    if (lowered == "inf" || lowered == "infinity") {
        value = INFINITY;
    } else if (lowered == "nan") {
        value = NAN;
    } else {
        if (lowered.find('x') != std::string::npos || lowered.find('n') != std::string::npos ||
            lowered.find('i') != std::string::npos)
            return std::nullopt;
        auto res = std::from_chars(v.data(), v.data() + v.size(), value);
        if (res.ec == std::errc::result_out_of_range) {
            // the runtime gives inf for too large and 0.0 for too small magnitudes
            const auto e = lowered.find('e');
            const bool tiny = e != std::string::npos && lowered.size() > e + 1 && lowered[e + 1] == '-';
            value = tiny ? 0.0 : INFINITY;
        } else if (res.ec != std::errc() || res.ptr != v.data() + v.size()) {
            return std::nullopt;
        }
    }
    return negative ? -value : value;
}

std::vector<std::string_view> lines(std::string_view s) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    while (start < s.size()) {
        std::size_t pos = s.find('\n', start);
        if (pos == std::string_view::npos) {
            out.push_back(s.substr(start));
            break;
        }
        out.push_back(s.substr(start, pos - start));
        start = pos + 1;
    }
    return out;
}

}  // namespace vyr::engine::bytes
