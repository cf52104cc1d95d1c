// Text as the runtime sees it, without the runtime.
//
// Process names, command lines and mount fields arrive as bytes. The runtime
// decodes them as UTF-8 with every undecodable byte kept as one code point
// (U+DC80..U+DCFF, "surrogateescape"), and the list compares, cuts and
// lower-cases those code points. These helpers do the same on code points so
// that a search, a cut at 120 characters or a grouping key gives what the
// runtime's str methods give. The tables come from the target interpreter's
// Unicode database at build time.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vyr/int_text.hpp"

namespace vyr::engine::text {

// Bytes to code points, undecodable bytes as U+DC80 + byte.
std::u32string decode_escaped(std::string_view bytes);
// Bytes to code points, undecodable bytes dropped.
std::u32string decode_ignore(std::string_view bytes);
// Code points to UTF-8; U+DC80..U+DCFF go back to the bytes they stand for,
// other lone surrogates are written as their three-byte form.
std::string encode_escaped(std::u32string_view text);

// Number of code points of `bytes` decoded as above.
std::size_t code_point_count(std::string_view bytes);
// The first `n` code points of `bytes` (the bytes themselves, cut).
std::string_view first_code_points(std::string_view bytes, std::size_t n);

bool is_ascii(std::string_view bytes);
bool is_space(char32_t c);  // str.isspace()

std::u32string lower(std::u32string_view text);  // str.lower(), final sigma included
std::u32string strip(std::u32string_view text);  // str.strip()
std::vector<std::u32string_view> split(std::u32string_view text);  // str.split()

// int(text), the runtime's rule (vyr/int_text.hpp): a sign, decimal digits of
// any script, single underscores between digits; values beyond the 64-bit
// range saturate.
inline std::optional<long long> parse_int(std::u32string_view text) { return int_text::parse(text); }

// A text lower-cased once, for substring tests against a lower-cased needle.
class Folded {
public:
    Folded() = default;
    explicit Folded(std::string_view bytes);  // decodes with escapes, then lower()
    static Folded from_code_points(std::u32string_view lowered);

    bool contains(const Folded& needle) const;
    bool contains_ascii(std::string_view needle) const;  // needle: ASCII
    bool empty() const { return ascii_ ? bytes_.empty() : wide_.empty(); }
    // A key that is equal for two texts exactly when their code points are.
    std::string key() const;

private:
    bool ascii_ = true;
    std::string bytes_;     // when ascii_
    std::u32string wide_;   // otherwise
};

}  // namespace vyr::engine::text
