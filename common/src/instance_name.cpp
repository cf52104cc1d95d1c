#include "vyr/instance_name.hpp"

#include <cstdlib>

namespace vyr::instance_name {
namespace {

bool is_key_char(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '_' || c == '-';
}

bool in(unsigned char c, unsigned char lo, unsigned char hi) { return c >= lo && c <= hi; }

// The length of the valid UTF-8 sequence that starts `text` (not empty), or 0.
std::size_t utf8_length(std::string_view text) {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = at(0);
    std::size_t length;
    unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
    if (lead < 0x80) return 1;
    if (in(lead, 0xC2, 0xDF)) {
        length = 2;
    } else if (in(lead, 0xE0, 0xEF)) {
        length = 3;
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;  // no surrogates
    } else if (in(lead, 0xF0, 0xF4)) {
        length = 4;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (text.size() < length || !in(at(1), lo, hi)) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (!in(at(i), 0x80, 0xBF)) return 0;
    }
    return length;
}

}  // namespace

std::string user_tag_of(std::string_view login_name) {
    if (login_name.empty()) return "user";
    std::string tag;
    while (!login_name.empty()) {
        const auto c = static_cast<unsigned char>(login_name.front());
        const std::size_t length = utf8_length(login_name);
        tag += length == 1 && is_key_char(c) ? static_cast<char>(c) : '_';
        login_name.remove_prefix(length == 0 ? 1 : length);
    }
    return tag;
}

std::optional<std::string> login_name() {
    for (const char* variable : {"LOGNAME", "USER", "LNAME", "USERNAME"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') return std::string(value);
    }
    return account_name();
}

std::string user_tag() { return user_tag_of(login_name().value_or("")); }

std::string server_name(std::string_view app_key, std::string_view user_tag) {
    std::string name = kServerNamePrefix;
    name += app_key;
    name += '_';
    name += user_tag;
    return name;
}

}  // namespace vyr::instance_name
