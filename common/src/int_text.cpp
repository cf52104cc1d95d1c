#include "vyr/int_text.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>
#include <string>

namespace vyr::int_text {

namespace {

#include "int_text_tables.inc"  // kSpace, kDecimalZero

// The runtime's limit on the digits of an int() text (its default).
constexpr std::size_t kMaxTextDigits = 4300;

// One strict UTF-8 sequence at s[i] (no overlong forms, no surrogates, at
// most U+10FFFF); its length, or 0 when the bytes there are not UTF-8.
std::size_t next_code_point(std::string_view s, std::size_t i, char32_t* out) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    const std::size_t avail = s.size() - i;
    const unsigned char b0 = byte(0);
    std::size_t len;
    char32_t c;
    if (b0 < 0x80) {
        *out = b0;
        return 1;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        c = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        c = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        c = b0 & 0x07;
    } else {
        return 0;
    }
    if (avail < len) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        if ((byte(k) & 0xC0) != 0x80) return 0;
        c = (c << 6) | (byte(k) & 0x3F);
    }
    const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < least[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    *out = c;
    return len;
}

// What int() makes of a character before it reads the text: an ASCII
// character stays itself, another blank becomes a blank, a decimal digit of
// any script becomes its ASCII digit; anything else ends the reading (0).
char ascii_of(char32_t c) {
    if (c < 0x7F) return static_cast<char>(c);
    if (is_space(c)) return ' ';
    const int d = decimal_value(c);
    return d < 0 ? 0 : static_cast<char>('0' + d);
}

// The blanks int() skips around the number (ASCII only, after the mapping above).
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// int() of the text once every character is ASCII.
std::optional<long long> parse_ascii(std::string_view text) {
    std::size_t i = 0, end = text.size();
    while (i < end && is_blank(text[i])) ++i;
    while (end > i && is_blank(text[end - 1])) --end;
    bool negative = false;
    if (i < end && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= end) return std::nullopt;
    // The magnitude stops growing at 2**63 (the largest one a sign can still
    // use), so no step of the sum ever wraps.
    constexpr std::uint64_t kCap = static_cast<std::uint64_t>(std::numeric_limits<long long>::max()) + 1;
    std::uint64_t magnitude = 0;
    std::size_t digits = 0;
    bool last_was_digit = false;
    for (; i < end; ++i) {
        const char c = text[i];
        if (c == '_') {
            if (!last_was_digit) return std::nullopt;
            last_was_digit = false;
            continue;
        }
        if (c < '0' || c > '9') return std::nullopt;
        last_was_digit = true;
        ++digits;
        const auto d = static_cast<std::uint64_t>(c - '0');
        magnitude = magnitude > (kCap - d) / 10 ? kCap : magnitude * 10 + d;
    }
    if (!last_was_digit) return std::nullopt;  // a trailing underscore
    if (digits > kMaxTextDigits) return std::nullopt;
    if (negative) {
        if (magnitude >= kCap) return std::numeric_limits<long long>::min();
        return -static_cast<long long>(magnitude);
    }
    if (magnitude >= kCap) return std::numeric_limits<long long>::max();
    return static_cast<long long>(magnitude);
}

}  // namespace

bool is_space(char32_t c) {
    if (c < 0x80) return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20);
    return std::binary_search(std::begin(kSpace), std::end(kSpace), c);
}

int decimal_value(char32_t c) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c < 0x80) return -1;
    const auto* it = std::upper_bound(std::begin(kDecimalZero), std::end(kDecimalZero), c);
    if (it == std::begin(kDecimalZero)) return -1;
    --it;
    return (c - *it < 10) ? static_cast<int>(c - *it) : -1;
}

std::optional<long long> parse(std::u32string_view text) {
    std::string ascii;
    ascii.reserve(text.size());
    for (const char32_t c : text) {
        const char a = ascii_of(c);
        if (a == 0) return std::nullopt;
        ascii += a;
    }
    return parse_ascii(ascii);
}

std::optional<long long> parse_utf8(std::string_view utf8) {
    std::string ascii;
    ascii.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t c;
        const std::size_t len = next_code_point(utf8, i, &c);
        const char a = len ? ascii_of(c) : 0;
        if (a == 0) return std::nullopt;
        ascii += a;
        i += len;
    }
    return parse_ascii(ascii);
}

}  // namespace vyr::int_text
