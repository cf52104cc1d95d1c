// Text handling must give what the runtime's str methods give, since the
// process list compares, cuts and groups texts as the runtime would.
#include <gtest/gtest.h>

#include <climits>

#include "vyr/engine/engine.hpp"
#include "vyr/engine/text.hpp"

namespace t = vyr::engine::text;

namespace {

std::string utf8(std::u32string_view s) { return t::encode_escaped(s); }

TEST(Text, LowerMatchesTheRuntime) {
    struct Case {
        const char* in;
        const char* out;  // "x".lower() in the runtime
    } cases[] = {
        {"FireFox", "firefox"},
        {"İSTANBUL", "i\xcc\x87stanbul"},     // dotted capital I becomes i + combining dot
        {"ISPARTA", "isparta"},               // no Turkish dotless rule in str.lower()
        {"\xe2\x84\xaa", "k"},                // Kelvin sign
        {"ΟΔΟΣ", "οδος"},                     // final sigma at the end of a word
        {"ΣΑ", "σα"},                         // not final at the start
        {"ΑΣ Β", "ας β"},                     // final before a blank
        {"ΑΣ.Β", "ασ.β"},                     // the full stop is case-ignorable
        {"ÇĞÖŞÜ", "çğöşü"},
    };
    for (const auto& c : cases) EXPECT_EQ(utf8(t::lower(t::decode_escaped(c.in))), c.out) << c.in;
}

TEST(Text, UndecodableBytesCountAsOneCharacterEach) {
    // 118 letters, an undecodable byte, "é" (two bytes) and more: the cut at
    // 120 characters keeps the byte and "é" whole.
    const std::string s = std::string(118, 'a') + "\xff" + "\xc3\xa9" + "tail";
    EXPECT_EQ(t::code_point_count(s), 118u + 1 + 1 + 4);
    EXPECT_EQ(t::first_code_points(s, 120), std::string(118, 'a') + "\xff\xc3\xa9");
    EXPECT_EQ(t::first_code_points("short", 120), "short");
    // a cut inside a broken sequence keeps each byte as its own character
    EXPECT_EQ(t::first_code_points("\xe2\x82x", 2), "\xe2\x82");
    EXPECT_EQ(t::encode_escaped(t::decode_escaped("a\xff\xed\xa0\x80z")), "a\xff\xed\xa0\x80z");
}

TEST(Text, StripSplitAndIntFollowTheRuntime) {
    EXPECT_EQ(utf8(t::strip(t::decode_escaped("\xc2\xa0\t chrome \xe3\x80\x80"))), "chrome");
    // split() gives views into its argument, which must outlive them.
    const std::u32string line = t::decode_escaped("VmSwap:\t \x1f 512\xc2\x85kB");
    const auto parts = t::split(line);
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(utf8(parts[1]), "512");
    struct IntCase {
        const char* in;
        std::optional<long long> value;
    } ints[] = {
        {"512", 512}, {"-3", -3}, {"+7", 7}, {"1_000", 1000}, {"\xd9\xa5", 5},  // Arabic-Indic five
        {"1__0", std::nullopt}, {"_1", std::nullopt}, {"1_", std::nullopt}, {"", std::nullopt},
        {"12kB", std::nullopt}, {"0x10", std::nullopt}, {"99999999999999999999", LLONG_MAX},
        // The ends of the range, and past them (2 to the 64th and beyond saturate too).
        {"9223372036854775807", LLONG_MAX}, {"9223372036854775808", LLONG_MAX},
        {"-9223372036854775807", -LLONG_MAX}, {"-9223372036854775808", LLONG_MIN},
        {"-9223372036854775809", LLONG_MIN}, {"18446744073709551616", LLONG_MAX},
        {"-1_8446_7440_7370_9551_6170", LLONG_MIN}, {"000000000000000000000000042", 42},
    };
    for (const auto& c : ints) EXPECT_EQ(t::parse_int(t::decode_escaped(c.in)), c.value) << c.in;
}

TEST(Text, SearchMatchesNamesCommandLinesAndPids) {
    const t::Folded name("Firefox-ESR");
    const t::Folded cmd("/usr/lib/FIREFOX/firefox --Private");
    const t::Folded wide("İzmir Haritası");
    struct Case {
        const char* typed;
        bool hit;
        long long pid;
    } cases[] = {
        {"  FIREFOX ", true, 1},  // blanks around and capitals
        {"private", true, 1},
        {"41", true, 4127},       // digits find the pid
        {"chrome", false, 4127},
        {"   ", true, 1},         // blanks only: no search
        {"haritası", false, 1},
    };
    for (const auto& c : cases) {
        const auto q = vyr::engine::SearchQuery::from_text(c.typed);
        EXPECT_EQ(q.matches(name, cmd, c.pid), c.hit) << c.typed;
    }
    const auto q = vyr::engine::SearchQuery::from_text("HARİTASI");  // lower() gives "hari̇tasi"
    EXPECT_FALSE(q.matches(wide, wide, 1));
    EXPECT_FALSE(vyr::engine::SearchQuery::from_text("İZMİR").matches(wide, wide, 1));
    EXPECT_TRUE(vyr::engine::SearchQuery::from_text("izmir").matches(t::Folded("IZMIR"), wide, 1));
    EXPECT_TRUE(vyr::engine::SearchQuery::from_text("i\xcc\x87zmir").matches(wide, wide, 1));
}

}  // namespace
