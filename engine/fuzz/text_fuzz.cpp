// Fuzz target of the engine's text helpers: decoding with escapes, code point
// counts and cuts, lower(), strip(), split() and int() of texts, and the
// byte-level field helpers the /proc readers use.
#include <algorithm>
#include <string>
#include <string_view>

#include <cmath>
#include <cstring>

#include "bytes_util.hpp"
#include "fuzz_support.hpp"
#include "pymath.hpp"
#include "vyr/engine/engine.hpp"
#include "vyr/engine/text.hpp"

namespace {

namespace t = vyr::engine::text;
namespace b = vyr::engine::bytes;

void check_code_points(std::string_view s) {
    const std::u32string decoded = t::decode_escaped(s);
    VYR_FUZZ_CHECK(t::encode_escaped(decoded) == s);
    VYR_FUZZ_CHECK(t::code_point_count(s) == decoded.size());
    VYR_FUZZ_CHECK(t::decode_ignore(s).size() <= decoded.size());
    bool ascii = true;
    for (unsigned char c : s) ascii = ascii && c < 0x80;
    VYR_FUZZ_CHECK(t::is_ascii(s) == ascii);
    const std::size_t n = s.empty() ? 0 : static_cast<unsigned char>(s[0]) % 64;
    const std::string_view cut = t::first_code_points(s, n);
    VYR_FUZZ_CHECK(s.substr(0, cut.size()) == cut);
    VYR_FUZZ_CHECK(t::code_point_count(cut) == std::min(n, decoded.size()));

    const std::u32string stripped = t::strip(decoded);
    VYR_FUZZ_CHECK(stripped.empty() || (!t::is_space(stripped.front()) && !t::is_space(stripped.back())));
    VYR_FUZZ_CHECK(t::strip(stripped) == stripped);
    std::size_t in_parts = 0;
    for (const auto part : t::split(decoded)) {
        VYR_FUZZ_CHECK(!part.empty());
        for (char32_t c : part) VYR_FUZZ_CHECK(!t::is_space(c));
        in_parts += part.size();
    }
    VYR_FUZZ_CHECK(in_parts <= decoded.size());
    t::lower(decoded);

    const auto value = t::parse_int(stripped);
    if (ascii) VYR_FUZZ_CHECK(value == vyr::fuzz::reference_int(std::string(stripped.begin(), stripped.end())));

    const t::Folded folded(s);
    VYR_FUZZ_CHECK(folded.contains(folded));
    VYR_FUZZ_CHECK(folded.key() == t::Folded(s).key());
    const auto query = vyr::engine::SearchQuery::from_text(s);
    query.matches(folded, folded, static_cast<long long>(s.size()));
}

void check_fields(std::string_view s) {
    const std::string_view stripped = b::strip(s);
    VYR_FUZZ_CHECK(stripped.empty() || (!b::is_space(stripped.front()) && !b::is_space(stripped.back())));
    for (const auto part : b::split(s)) {
        VYR_FUZZ_CHECK(!part.empty());
        for (char c : part) VYR_FUZZ_CHECK(!b::is_space(c));
    }
    std::size_t joined = 0;
    const auto pieces = b::split_on(s, ':');
    for (const auto piece : pieces) joined += piece.size();
    VYR_FUZZ_CHECK(joined + pieces.size() - 1 == s.size());
    for (const auto line : b::lines(s)) VYR_FUZZ_CHECK(line.find('\n') == std::string_view::npos);

    const auto i = b::to_int(s);
    bool ascii = true;
    for (unsigned char c : stripped) ascii = ascii && c < 0x80;
    VYR_FUZZ_CHECK(i == (ascii ? vyr::fuzz::reference_int(stripped) : std::nullopt));
    const auto f = b::to_float(s);
    // A whole number that a double holds exactly reads the same as a float.
    if (i && *i > -(1LL << 53) && *i < (1LL << 53)) VYR_FUZZ_CHECK(f && *f == static_cast<double>(*i));
}

// round(x, 1) without text gives what the text gives, bit for bit (the sign
// of a zero included), for the input's first eight bytes as a double and for
// the shares the process list rounds.
void check_rounding(std::string_view s) {
    if (s.size() < 8) return;
    double x;
    std::memcpy(&x, s.data(), sizeof x);
    std::int64_t ticks;
    std::memcpy(&ticks, s.data(), sizeof ticks);
    const double shares[] = {x, static_cast<double>(ticks % 1000000) / 7.0, static_cast<double>(ticks % 100000) / 100.0};
    for (const double v : shares) {
        const double quick = vyr::engine::py::round(v, 1), text = vyr::engine::py::round_by_text(v, 1);
        VYR_FUZZ_CHECK((std::isnan(quick) && std::isnan(text)) || std::memcmp(&quick, &text, sizeof quick) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view s(reinterpret_cast<const char*>(data), size);
    check_code_points(s);
    check_fields(s);
    check_rounding(s);
    return 0;
}
