// int() of a text, as the runtime reads it, without the runtime: the rule
// that the engine applies to the fields of system files and the app to the
// values of the settings file. The blanks and digits of every script come
// from the target interpreter's Unicode database at build time.
#pragma once

#include <optional>
#include <string_view>

namespace vyr::int_text {

// str.isspace() of one code point.
bool is_space(char32_t c);
// The digit 0 to 9 of a decimal digit of any script (str.isdecimal()), else -1.
int decimal_value(char32_t c);

// int(text): blanks around the number, an optional sign, decimal digits of
// any script with single underscores between them, at most 4300 digits (the
// runtime's default limit). None where int() raises. A number beyond the
// 64-bit range is held at its nearest end (its sign is kept).
std::optional<long long> parse(std::u32string_view text);
// The same of a UTF-8 text; none for bytes that are not strict UTF-8.
std::optional<long long> parse_utf8(std::string_view utf8);

}  // namespace vyr::int_text
