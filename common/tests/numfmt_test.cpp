#include "vyr/numfmt.hpp"

#include <clocale>
#include <gtest/gtest.h>

namespace {

struct FixedCase {
    double value;
    int precision;
    const char* python;  // what Python's "%.Nf" % value prints
};

TEST(NumFmt, FixedMatchesPython) {
    const FixedCase cases[] = {
        {42.5, 0, "42"},   {43.5, 0, "44"},   {0.5, 0, "0"},     {1.5, 0, "2"},
        {2.675, 2, "2.67"}, {0.125, 2, "0.12"}, {0.375, 2, "0.38"}, {-0.5, 0, "-0"},
        {99.95, 1, "100.0"}, {1e20, 1, "100000000000000000000.0"}, {0.0, 1, "0.0"},
        {12.34, 1, "12.3"}, {1.05, 1, "1.1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vyr::numfmt::fixed(c.value, c.precision), c.python)
            << c.value << " with " << c.precision;
    }
    EXPECT_EQ(vyr::numfmt::fixed(std::nan(""), 1), "nan");
    EXPECT_EQ(vyr::numfmt::fixed(-INFINITY, 1), "-inf");
}

TEST(NumFmt, IgnoresTheCLocale) {
    // A locale with a decimal comma must not change the output or the parse.
    if (!std::setlocale(LC_NUMERIC, "tr_TR.UTF-8") && !std::setlocale(LC_NUMERIC, "de_DE.UTF-8"))
        GTEST_SKIP() << "no locale with a decimal comma installed";
    EXPECT_EQ(vyr::numfmt::fixed(3.25, 1), "3.2");
    EXPECT_EQ(vyr::numfmt::parse_double("1.5"), 1.5);
    std::setlocale(LC_NUMERIC, "C");
}

TEST(NumFmt, ParseInteger) {
    EXPECT_EQ(vyr::numfmt::parse_integer("1500"), 1500);
    EXPECT_EQ(vyr::numfmt::parse_integer("+7"), 7);
    EXPECT_EQ(vyr::numfmt::parse_integer("-3"), -3);
    for (const char* bad : {"", "+", "1.5", "15x", " 15", "abc"})
        EXPECT_FALSE(vyr::numfmt::parse_integer(bad).has_value()) << bad;
}

}  // namespace
