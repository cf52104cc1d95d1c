// DUML frames: 0x55, a 10-bit length with a 6-bit version, a CRC-8 over the
// first three bytes, sender and receiver, sequence number, command type, set
// and id, the payload, and a CRC-16 over everything before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vyr::duml {

constexpr std::size_t kOverhead = 13;
constexpr std::size_t kMaxBuildPayload = 1000;
constexpr std::uint8_t kCrc8Init = 0x77;
constexpr std::uint16_t kCrc16Init = 0x3692;

std::uint8_t crc8(const std::uint8_t* data, std::size_t len, std::uint8_t crc = kCrc8Init);
std::uint16_t crc16(const std::uint8_t* data, std::size_t len, std::uint16_t crc = kCrc16Init);

struct Fields {
    int sender_type = 0;
    int sender_index = 0;
    int receiver_type = 0;
    int receiver_index = 0;
    int seq = 0;
    int cmd_type = 0;
    int cmd_set = 0;
    int cmd_id = 0;
};

// Builds a frame; the payload must hold at most kMaxBuildPayload bytes (checked
// by the caller). Values wider than their fields are cut to them.
std::vector<std::uint8_t> build_frame(const Fields& f, const std::uint8_t* payload,
                                      std::size_t payload_len);

struct Parsed {
    Fields fields;
    std::size_t payload_offset = 0;
    std::size_t payload_len = 0;
};

// Checks and takes apart one frame at the start of data; bytes after the
// declared length are ignored. nullopt when the data is not a valid frame.
std::optional<Parsed> parse_frame(const std::uint8_t* data, std::size_t len);

}  // namespace vyr::duml
