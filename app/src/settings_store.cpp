#include "vyr/app/settings_store.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

namespace vyr::app {

namespace {

#include "int_text_tables.inc"  // kSpace, kDecimalZero

// The runtime's limit on the digits of an int() text (its default).
constexpr std::size_t kMaxTextDigits = 4300;

// One strict UTF-8 sequence at s[i] (no overlong forms, no surrogates, at
// most U+10FFFF); its length, or 0 when the bytes there are not UTF-8.
std::size_t next_code_point(const std::string& s, std::size_t i, char32_t* out) {
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
    if (std::binary_search(std::begin(kSpace), std::end(kSpace), c)) return ' ';
    const auto* it = std::upper_bound(std::begin(kDecimalZero), std::end(kDecimalZero), c);
    if (it != std::begin(kDecimalZero) && c - *(it - 1) < 10) return static_cast<char>('0' + (c - *(it - 1)));
    return 0;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// int(text) of a UTF-8 text: blanks around it, an optional sign, decimal
// digits with single underscores between them. A number beyond the 64-bit
// range is clamped to its nearest end.
std::optional<long long> int_of_text(const std::string& utf8) {
    std::string text;
    text.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t c;
        const std::size_t len = next_code_point(utf8, i, &c);
        const char a = len ? ascii_of(c) : 0;
        if (a == 0) return std::nullopt;
        text += a;
        i += len;
    }
    std::size_t i = 0, end = text.size();
    while (i < end && is_blank(text[i])) ++i;
    while (end > i && is_blank(text[end - 1])) --end;
    bool negative = false;
    if (i < end && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= end) return std::nullopt;
    // The magnitude stops growing at 2**63 (the largest one a sign can still use).
    constexpr unsigned long long kCap = 9223372036854775808ULL;
    unsigned long long magnitude = 0;
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
        const unsigned d = static_cast<unsigned>(c - '0');
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

std::optional<long long> int_of_double(double d) {
    if (std::isnan(d) || std::isinf(d)) return std::nullopt;
    const double t = std::trunc(d);
    if (t >= 9223372036854775807.0) return std::numeric_limits<long long>::max();
    if (t <= -9223372036854775808.0) return std::numeric_limits<long long>::min();
    return static_cast<long long>(t);
}

}  // namespace

bool SettingValue::truthy() const {
    struct Visitor {
        bool operator()(std::monostate) const { return false; }
        bool operator()(bool b) const { return b; }
        bool operator()(long long i) const { return i != 0; }
        bool operator()(double d) const { return d != 0.0; }  // NaN != 0 holds
        bool operator()(const std::string& s) const { return !s.empty(); }
        bool operator()(const List& l) const { return !l.empty(); }
        bool operator()(const Object& o) const { return !o.empty(); }
    };
    return std::visit(Visitor{}, value_);
}

std::optional<long long> SettingValue::to_int() const {
    struct Visitor {
        std::optional<long long> operator()(std::monostate) const { return std::nullopt; }
        std::optional<long long> operator()(bool b) const { return b ? 1 : 0; }
        std::optional<long long> operator()(long long i) const { return i; }
        std::optional<long long> operator()(double d) const { return int_of_double(d); }
        std::optional<long long> operator()(const std::string& s) const { return int_of_text(s); }
        std::optional<long long> operator()(const List&) const { return std::nullopt; }
        std::optional<long long> operator()(const Object&) const { return std::nullopt; }
    };
    return std::visit(Visitor{}, value_);
}

std::optional<long long> SettingValue::as_integer() const {
    if (const bool* b = std::get_if<bool>(&value_)) return *b ? 1 : 0;
    if (const long long* i = std::get_if<long long>(&value_)) return *i;
    return std::nullopt;
}

}  // namespace vyr::app
