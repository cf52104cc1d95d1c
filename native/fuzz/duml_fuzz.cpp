// Fuzz target of the DUML frame codec. Each input is used three ways:
//  - as received bytes: parse_frame() either refuses them or gives a frame
//    that lies inside them;
//  - with its two checksums made right: parse_frame() must take every frame
//    whose start byte and declared length are sound, and building the parsed
//    fields and payload again gives the same bytes;
//  - as fields and a payload: build_frame() then parse_frame() gives back the
//    fields cut to their widths and the payload unchanged.
#include <cstring>
#include <vector>

#include "fuzz_support.hpp"
#include "vyr/native/duml.hpp"

namespace {

using vyr::duml::Fields;

void check_fields_in_range(const Fields& f) {
    VYR_FUZZ_CHECK(f.sender_type >= 0 && f.sender_type < 32);
    VYR_FUZZ_CHECK(f.sender_index >= 0 && f.sender_index < 8);
    VYR_FUZZ_CHECK(f.receiver_type >= 0 && f.receiver_type < 32);
    VYR_FUZZ_CHECK(f.receiver_index >= 0 && f.receiver_index < 8);
    VYR_FUZZ_CHECK(f.seq >= 0 && f.seq < 65536);
    VYR_FUZZ_CHECK(f.cmd_type >= 0 && f.cmd_type < 256);
    VYR_FUZZ_CHECK(f.cmd_set >= 0 && f.cmd_set < 256);
    VYR_FUZZ_CHECK(f.cmd_id >= 0 && f.cmd_id < 256);
}

std::size_t declared_length(const std::uint8_t* d) { return (d[1] | (d[2] << 8)) & 0x3FF; }

void parse_as_received(const std::uint8_t* data, std::size_t size) {
    const auto p = vyr::duml::parse_frame(data, size);
    if (!p) return;
    const std::size_t total = declared_length(data);
    VYR_FUZZ_CHECK(data[0] == 0x55);
    VYR_FUZZ_CHECK(total > 12 && total <= size);
    VYR_FUZZ_CHECK(p->payload_offset == 11);
    VYR_FUZZ_CHECK(p->payload_offset + p->payload_len + 2 == total);
    check_fields_in_range(p->fields);
}

void parse_with_checksums_made_right(const std::uint8_t* data, std::size_t size) {
    if (size < 13) return;
    std::vector<std::uint8_t> frame(data, data + size);
    frame[0] = 0x55;
    const std::size_t total = declared_length(frame.data());
    if (total <= 12 || total > size) {
        VYR_FUZZ_CHECK(!vyr::duml::parse_frame(frame.data(), frame.size()));
        return;
    }
    frame[3] = vyr::duml::crc8(frame.data(), 3);
    const std::uint16_t crc = vyr::duml::crc16(frame.data(), total - 2);
    frame[total - 2] = static_cast<std::uint8_t>(crc & 0xFF);
    frame[total - 1] = static_cast<std::uint8_t>(crc >> 8);
    const auto p = vyr::duml::parse_frame(frame.data(), frame.size());
    VYR_FUZZ_CHECK(p);
    VYR_FUZZ_CHECK(p->payload_len == total - vyr::duml::kOverhead);
    check_fields_in_range(p->fields);
    const auto again = vyr::duml::build_frame(p->fields, frame.data() + p->payload_offset, p->payload_len);
    VYR_FUZZ_CHECK(again.size() == total);
    // The version bits (the top six of byte 2) are not kept; a version-1 frame comes back whole.
    for (std::size_t i = 0; i < total; ++i)
        if (i != 2 && i != 3 && i + 2 != total && i + 1 != total) VYR_FUZZ_CHECK(again[i] == frame[i]);
    VYR_FUZZ_CHECK((again[2] & 0x03) == (frame[2] & 0x03));
    if ((frame[2] >> 2) == 1) VYR_FUZZ_CHECK(std::memcmp(again.data(), frame.data(), total) == 0);
}

void build_then_parse(const std::uint8_t* data, std::size_t size) {
    if (size < 16) return;
    int v[8];
    for (int i = 0; i < 8; ++i) v[i] = static_cast<std::int16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    const Fields f{v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]};
    const std::uint8_t* payload = data + 16;
    std::size_t payload_len = size - 16;
    if (payload_len > vyr::duml::kMaxBuildPayload) payload_len = vyr::duml::kMaxBuildPayload;
    const auto frame = vyr::duml::build_frame(f, payload, payload_len);
    VYR_FUZZ_CHECK(frame.size() == payload_len + vyr::duml::kOverhead);
    const auto p = vyr::duml::parse_frame(frame.data(), frame.size());
    VYR_FUZZ_CHECK(p);
    VYR_FUZZ_CHECK(p->fields.sender_type == (f.sender_type & 0x1F));
    VYR_FUZZ_CHECK(p->fields.sender_index == (f.sender_index & 0x07));
    VYR_FUZZ_CHECK(p->fields.receiver_type == (f.receiver_type & 0x1F));
    VYR_FUZZ_CHECK(p->fields.receiver_index == (f.receiver_index & 0x07));
    VYR_FUZZ_CHECK(p->fields.seq == (f.seq & 0xFFFF));
    VYR_FUZZ_CHECK(p->fields.cmd_type == (f.cmd_type & 0xFF));
    VYR_FUZZ_CHECK(p->fields.cmd_set == (f.cmd_set & 0xFF));
    VYR_FUZZ_CHECK(p->fields.cmd_id == (f.cmd_id & 0xFF));
    VYR_FUZZ_CHECK(p->payload_len == payload_len);
    VYR_FUZZ_CHECK(payload_len == 0 || std::memcmp(frame.data() + p->payload_offset, payload, payload_len) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    parse_as_received(data, size);
    parse_with_checksums_made_right(data, size);
    build_then_parse(data, size);
    return 0;
}
