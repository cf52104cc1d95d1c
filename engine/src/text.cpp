#include "vyr/engine/text.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

namespace vyr::engine::text {

namespace {

#include "unicode_tables.inc"

template <std::size_t N, std::size_t M>
const char32_t* find_row(const char32_t (&table)[N][M], char32_t c) {
    const auto* end = table + N;
    const auto* it = std::lower_bound(table, end, c,
                                      [](const char32_t (&row)[M], char32_t v) { return row[0] < v; });
    return (it != end && (*it)[0] == c) ? *it : nullptr;
}

template <std::size_t N>
bool in_ranges(const char32_t (&table)[N][2], char32_t c) {
    const auto* end = table + N;
    const auto* it = std::upper_bound(table, end, c,
                                      [](char32_t v, const char32_t (&row)[2]) { return v < row[0]; });
    if (it == table) return false;
    --it;
    return c >= (*it)[0] && c <= (*it)[1];
}

bool is_ignorable(char32_t c) { return in_ranges(kCaseIgnorable, c); }
bool is_cased(char32_t c) { return in_ranges(kCased, c); }

// One UTF-8 sequence at `p` (strict: no overlongs, no surrogates, at most
// U+10FFFF). Returns its length, or 0 when the byte at `p` starts none.
std::size_t utf8_sequence(const unsigned char* p, std::size_t avail, char32_t* out) {
    const unsigned char b0 = p[0];
    if (b0 < 0x80) {
        *out = b0;
        return 1;
    }
    auto cont = [&](std::size_t i) { return i < avail && (p[i] & 0xC0) == 0x80; };
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        if (!cont(1)) return 0;
        *out = (char32_t(b0 & 0x1F) << 6) | (p[1] & 0x3F);
        return 2;
    }
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        if (avail < 2) return 0;
        const unsigned char b1 = p[1];
        if (b0 == 0xE0 && (b1 < 0xA0 || b1 > 0xBF)) return 0;
        if (b0 == 0xED && (b1 < 0x80 || b1 > 0x9F)) return 0;
        if ((b1 & 0xC0) != 0x80 || !cont(2)) return 0;
        *out = (char32_t(b0 & 0x0F) << 12) | (char32_t(b1 & 0x3F) << 6) | (p[2] & 0x3F);
        return 3;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        if (avail < 2) return 0;
        const unsigned char b1 = p[1];
        if (b0 == 0xF0 && (b1 < 0x90 || b1 > 0xBF)) return 0;
        if (b0 == 0xF4 && (b1 < 0x80 || b1 > 0x8F)) return 0;
        if ((b1 & 0xC0) != 0x80 || !cont(2) || !cont(3)) return 0;
        *out = (char32_t(b0 & 0x07) << 18) | (char32_t(b1 & 0x3F) << 12) |
               (char32_t(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
        return 4;
    }
    return 0;
}

template <typename OnChar, typename OnBad>
void walk_utf8(std::string_view bytes, OnChar on_char, OnBad on_bad) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        char32_t c;
        const std::size_t len = utf8_sequence(p + i, n - i, &c);
        if (len == 0) {
            on_bad(p[i]);
            ++i;
        } else {
            on_char(c);
            i += len;
        }
    }
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::u32string decode_escaped(std::string_view bytes) {
    std::u32string out;
    out.reserve(bytes.size());
    walk_utf8(bytes, [&](char32_t c) { out += c; },
              [&](unsigned char b) { out += char32_t(0xDC00 + b); });
    return out;
}

std::u32string decode_ignore(std::string_view bytes) {
    std::u32string out;
    out.reserve(bytes.size());
    walk_utf8(bytes, [&](char32_t c) { out += c; }, [](unsigned char) {});
    return out;
}

std::string encode_escaped(std::u32string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char32_t c : text) {
        if (c >= 0xDC80 && c <= 0xDCFF)
            out += char(c - 0xDC00);
        else
            append_utf8(out, c);
    }
    return out;
}

std::size_t code_point_count(std::string_view bytes) {
    if (is_ascii(bytes)) return bytes.size();
    std::size_t n = 0;
    walk_utf8(bytes, [&](char32_t) { ++n; }, [&](unsigned char) { ++n; });
    return n;
}

std::string_view first_code_points(std::string_view bytes, std::size_t n) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t i = 0, count = 0;
    while (i < bytes.size() && count < n) {
        char32_t c;
        const std::size_t len = utf8_sequence(p + i, bytes.size() - i, &c);
        i += len ? len : 1;
        ++count;
    }
    return bytes.substr(0, i);
}

bool is_ascii(std::string_view bytes) {
    // Eight bytes at a time: a byte from 0x80 up has its top bit set.
    constexpr std::uint64_t kTopBits = 0x8080808080808080ULL;
    const char* p = bytes.data();
    std::size_t n = bytes.size();
    for (; n >= 32; p += 32, n -= 32) {
        std::uint64_t w[4];
        std::memcpy(w, p, sizeof w);
        if ((w[0] | w[1] | w[2] | w[3]) & kTopBits) return false;
    }
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        if (word & kTopBits) return false;
    }
    for (; n > 0; ++p, --n)
        if (static_cast<unsigned char>(*p) >= 0x80) return false;
    return true;
}

bool is_space(char32_t c) { return int_text::is_space(c); }

std::u32string lower(std::u32string_view text) {
    std::u32string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char32_t c = text[i];
        if (c < 0x80) {
            out += (c >= 'A' && c <= 'Z') ? char32_t(c + 32) : c;
            continue;
        }
        if (c == 0x3A3) {
            // Final sigma: after a cased letter (case-ignorable ones skipped)
            // and not before one.
            std::size_t j = i;
            char32_t prev = 0;
            bool found = false;
            while (j > 0) {
                prev = text[--j];
                if (!is_ignorable(prev)) {
                    found = true;
                    break;
                }
            }
            bool final_sigma = found && is_cased(prev);
            if (final_sigma && i + 1 < text.size()) {
                std::size_t k = i + 1;
                for (; k < text.size(); ++k)
                    if (!is_ignorable(text[k])) break;
                final_sigma = k == text.size() || !is_cased(text[k]);
            }
            out += final_sigma ? char32_t(0x3C2) : char32_t(0x3C3);
            continue;
        }
        if (const char32_t* row = find_row(kLowerSingle, c)) {
            out += row[1];
        } else if (const char32_t* m = find_row(kLowerMulti, c)) {
            for (int k = 1; k < 4 && m[k]; ++k) out += m[k];
        } else {
            out += c;
        }
    }
    return out;
}

std::u32string strip(std::u32string_view text) {
    std::size_t a = 0, b = text.size();
    while (a < b && is_space(text[a])) ++a;
    while (b > a && is_space(text[b - 1])) --b;
    return std::u32string(text.substr(a, b - a));
}

std::vector<std::u32string_view> split(std::u32string_view text) {
    std::vector<std::u32string_view> out;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && is_space(text[i])) ++i;
        if (i >= text.size()) break;
        std::size_t j = i;
        while (j < text.size() && !is_space(text[j])) ++j;
        out.push_back(text.substr(i, j - i));
        i = j;
    }
    return out;
}

Folded::Folded(std::string_view bytes) {
    if (is_ascii(bytes)) {
        ascii_ = true;
        bytes_.assign(bytes);
        for (char& ch : bytes_)
            if (ch >= 'A' && ch <= 'Z') ch = char(ch + 32);
        return;
    }
    *this = from_code_points(lower(decode_escaped(bytes)));
}

Folded Folded::from_code_points(std::u32string_view lowered) {
    Folded f;
    bool ascii = true;
    for (char32_t c : lowered)
        if (c >= 0x80) ascii = false;
    f.ascii_ = ascii;
    if (ascii) {
        f.bytes_.reserve(lowered.size());
        for (char32_t c : lowered) f.bytes_ += char(c);
    } else {
        f.wide_.assign(lowered);
    }
    return f;
}

bool Folded::contains(const Folded& needle) const {
    if (needle.ascii_) return contains_ascii(needle.bytes_);
    if (ascii_) return false;  // a needle with a non-ASCII code point
    return wide_.find(needle.wide_) != std::u32string::npos;
}

bool Folded::contains_ascii(std::string_view needle) const {
    if (ascii_) return bytes_.find(needle) != std::string::npos;
    const std::u32string wide(needle.begin(), needle.end());
    return wide_.find(wide) != std::u32string::npos;
}

std::string Folded::key() const {
    if (ascii_) return bytes_;
    std::string out;
    for (char32_t c : wide_) append_utf8(out, c);
    return out;
}

}  // namespace vyr::engine::text
