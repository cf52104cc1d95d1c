// Fuzz target of the settings value reader: int() and truthiness of a text
// value, and int() of a float value made of the input's first eight bytes.
//  - An ASCII text reads as int() reads it, worked out on its digits as text.
//  - Any text reads the same with its ASCII digits written as full-width
//    digits and its ASCII blanks as ideographic spaces, as int() reads
//    digits and blanks of every script.
#include <cmath>
#include <cstring>
#include <string>

#include "fuzz_support.hpp"
#include "vyr/app/settings_store.hpp"

namespace {

using vyr::app::SettingValue;

constexpr std::size_t kMaxTextDigits = 4300;

std::string_view strip_ascii_blanks(std::string_view s) {
    const char* blanks = " \t\n\r\f\v";
    const std::size_t a = s.find_first_not_of(blanks);
    if (a == std::string_view::npos) return {};
    return s.substr(a, s.find_last_not_of(blanks) - a + 1);
}

std::string in_other_scripts(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c >= '0' && c <= '9') {
            out += "\xef\xbc";  // U+FF10 + digit
            out += static_cast<char>(0x90 + (c - '0'));
        } else if (c == ' ') {
            out += "\xe3\x80\x80";  // U+3000
        } else {
            out += c;
        }
    }
    return out;
}

void check_text(std::string_view s) {
    const SettingValue value{std::string(s)};
    VYR_FUZZ_CHECK(value.truthy() == !s.empty());
    VYR_FUZZ_CHECK(!value.as_integer());
    const auto read = value.to_int();
    bool ascii = true;
    for (unsigned char c : s) ascii = ascii && c < 0x80;
    if (ascii) VYR_FUZZ_CHECK(read == vyr::fuzz::reference_int(strip_ascii_blanks(s), kMaxTextDigits));
    VYR_FUZZ_CHECK(SettingValue(in_other_scripts(s)).to_int() == read);
}

void check_float(const std::uint8_t* data, std::size_t size) {
    if (size < sizeof(double)) return;
    double d;
    std::memcpy(&d, data, sizeof d);
    const auto read = SettingValue(d).to_int();
    VYR_FUZZ_CHECK(read.has_value() == std::isfinite(d));
    if (read && std::fabs(d) < 9.2e18) VYR_FUZZ_CHECK(static_cast<double>(*read) == std::trunc(d));
    if (read && d >= 9.3e18) VYR_FUZZ_CHECK(*read == LLONG_MAX);
    if (read && d <= -9.3e18) VYR_FUZZ_CHECK(*read == LLONG_MIN);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_text(std::string_view(reinterpret_cast<const char*>(data), size));
    check_float(data, size);
    return 0;
}
