// int() of a text, as the runtime reads it: the engine reads fields of
// system files with it and the app the values of the settings file.
#include "vyr/int_text.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>

namespace {

namespace it = vyr::int_text;

std::string utf8(std::u32string_view text) {
    std::string out;
    for (const char32_t c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

TEST(IntText, ReadsAsTheRuntimesIntDoes) {
    const std::u32string digits_4300 = std::u32string(4299, U'0') + U"7";
    const std::u32string digits_4301 = std::u32string(4300, U'0') + U"7";
    struct Case {
        std::u32string text;
        std::optional<long long> value;
    } cases[] = {
        {U"1500", 1500}, {U"-3", -3}, {U"+7", 7}, {U"1_000", 1000}, {U"0007", 7},
        // blanks around the number: ASCII ones, and those of other scripts
        {U" \t-7\n", -7}, {U"\u00a0 \uff12\uff14\uff10\u3000", 240},
        // digits of other scripts, mixed with ASCII ones and underscores
        {U"\u0661\u0662\u0663", 123}, {U"1_\u0662", 12}, {U"\U0001D7D8", 0},
        // the ends of the range, and past them: held at the nearest end
        {U"9223372036854775807", LLONG_MAX}, {U"9223372036854775808", LLONG_MAX},
        {U"-9223372036854775808", LLONG_MIN}, {U"-18446744073709551616", LLONG_MIN},
        {U"10000000000000", 10000000000000LL}, {digits_4300, 7},
        // what int() refuses
        {digits_4301, std::nullopt}, {U"", std::nullopt}, {U" ", std::nullopt}, {U"-", std::nullopt},
        {U"- 1", std::nullopt}, {U"1__0", std::nullopt}, {U"_1", std::nullopt}, {U"1_", std::nullopt},
        {U"6.5", std::nullopt}, {U"0x10", std::nullopt}, {U"12kB", std::nullopt},
        {U"6\u00a05", std::nullopt}, {U"\x1c" U"5", std::nullopt}, {std::u32string(U"5\0", 2), std::nullopt},
        {U"\uff0b5", std::nullopt}, {U"\u00b2", std::nullopt},
    };
    for (const auto& c : cases) {
        const std::string bytes = utf8(c.text);
        EXPECT_EQ(it::parse(c.text), c.value) << bytes;
        EXPECT_EQ(it::parse_utf8(bytes), c.value) << bytes;
    }
}

TEST(IntText, BytesThatAreNotUtf8AreNoNumber) {
    for (const char* bytes : {"\xc0\xb5", "5\xff", "\xed\xa0\x80" "5", "\xd9"}) {
        EXPECT_EQ(it::parse_utf8(bytes), std::nullopt) << bytes;
    }
}

}  // namespace
