// Small helpers for reading the kernel's text files the way the system
// library reads them (bytes.split(), int() and float() of a field).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vyr::engine::bytes {

// bytes.isspace(): ASCII blank, tab, line feed, carriage return, vertical tab, form feed.
inline bool is_space(char c) {
    constexpr unsigned long long kBlanks = (1ULL << ' ') | (1ULL << '\t') | (1ULL << '\n') | (1ULL << '\r') |
                                           (1ULL << '\v') | (1ULL << '\f');
    const auto u = static_cast<unsigned char>(c);
    return u <= ' ' && ((kBlanks >> u) & 1);
}

// bytes.lower() and bytes.isdigit() for one byte: ASCII only, whatever the C locale.
inline char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// bytes.split()
std::vector<std::string_view> split(std::string_view s);
// The first fields of bytes.split() into `out` (room for `max`); returns how
// many there are, counting no further than `max` + 1.
std::size_t split_into(std::string_view s, std::string_view* out, std::size_t max);
// bytes.split(sep) for one separator character
std::vector<std::string_view> split_on(std::string_view s, char sep);
// bytes.strip()
std::string_view strip(std::string_view s);
// int(bytes): blanks around, sign, ASCII digits, single underscores
std::optional<long long> to_int(std::string_view s);
// float(bytes)
std::optional<double> to_float(std::string_view s);
// Lines ending in "\n" (the last one may lack it), without the line feed.
std::vector<std::string_view> lines(std::string_view s);
// The same lines, one call of `f` each, as long as it returns true.
template <typename F>
void for_each_line(std::string_view s, F f) {
    while (!s.empty()) {
        const std::size_t pos = s.find('\n');
        if (pos == std::string_view::npos) {
            f(s);
            return;
        }
        if (!f(s.substr(0, pos))) return;
        s.remove_prefix(pos + 1);
    }
}

}  // namespace vyr::engine::bytes
