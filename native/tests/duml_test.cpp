#include "vyr/native/duml.hpp"

#include <gtest/gtest.h>

namespace {

using vyr::duml::crc16;
using vyr::duml::crc8;

const std::uint8_t kAbc[] = {'a', 'b', 'c'};

TEST(Duml, ChecksumsOfKnownInputs) {
    EXPECT_EQ(crc8(nullptr, 0), 0x77);
    EXPECT_EQ(crc16(nullptr, 0), 0x3692);
    EXPECT_EQ(crc8(kAbc, 3), 0xD7);
    EXPECT_EQ(crc16(kAbc, 3), 0x865A);
}

TEST(Duml, BuildAndParseRoundTrip) {
    vyr::duml::Fields f{2, 0, 6, 0, 1, 64, 0, 1};
    const auto frame = vyr::duml::build_frame(f, kAbc, 3);
    const std::vector<std::uint8_t> expected = {0x55, 0x10, 0x04, 0x56, 0x02, 0x06, 0x01, 0x00,
                                                0x40, 0x00, 0x01, 0x61, 0x62, 0x63, 0x54, 0x6A};
    EXPECT_EQ(frame, expected);
    const auto parsed = vyr::duml::parse_frame(frame.data(), frame.size());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->fields.receiver_type, 6);
    EXPECT_EQ(parsed->fields.cmd_type, 64);
    EXPECT_EQ(parsed->payload_len, 3u);
}

TEST(Duml, NegativeAndWideValuesAreCut) {
    vyr::duml::Fields f{33, 9, -1, -1, -1, 300, -2, 511};
    const auto frame = vyr::duml::build_frame(f, nullptr, 0);
    EXPECT_EQ(frame[4], (1 << 5) | 1);
    EXPECT_EQ(frame[5], 0xFF);
    EXPECT_EQ(frame[6], 0xFF);
    EXPECT_EQ(frame[7], 0xFF);
    EXPECT_EQ(frame[8], 44);
    EXPECT_EQ(frame[9], 0xFE);
    EXPECT_EQ(frame[10], 0xFF);
}

}  // namespace
