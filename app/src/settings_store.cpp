#include "vyr/app/settings_store.hpp"

#include <cmath>
#include <limits>

#include "vyr/int_text.hpp"

namespace vyr::app {

namespace {

std::optional<long long> int_of_double(double d) {
    if (std::isnan(d) || std::isinf(d)) return std::nullopt;
    const double t = std::trunc(d);
    if (t >= 9223372036854775807.0) return std::numeric_limits<long long>::max();
    if (t <= -9223372036854775808.0) return std::numeric_limits<long long>::min();
    return static_cast<long long>(t);
}

}  // namespace

bool SettingValue::truthy() const {
    struct Visitor {
        bool operator()(std::monostate) const { return false; }
        bool operator()(bool b) const { return b; }
        bool operator()(long long i) const { return i != 0; }
        bool operator()(double d) const { return d != 0.0; }  // NaN != 0 holds
        bool operator()(const std::string& s) const { return !s.empty(); }
        bool operator()(const List& l) const { return !l.empty(); }
        bool operator()(const Object& o) const { return !o.empty(); }
    };
    return std::visit(Visitor{}, value_);
}

std::optional<long long> SettingValue::to_int() const {
    struct Visitor {
        std::optional<long long> operator()(std::monostate) const { return std::nullopt; }
        std::optional<long long> operator()(bool b) const { return b ? 1 : 0; }
        std::optional<long long> operator()(long long i) const { return i; }
        std::optional<long long> operator()(double d) const { return int_of_double(d); }
        std::optional<long long> operator()(const std::string& s) const { return int_text::parse_utf8(s); }
        std::optional<long long> operator()(const List&) const { return std::nullopt; }
        std::optional<long long> operator()(const Object&) const { return std::nullopt; }
    };
    return std::visit(Visitor{}, value_);
}

std::optional<long long> SettingValue::as_integer() const {
    if (const bool* b = std::get_if<bool>(&value_)) return *b ? 1 : 0;
    if (const long long* i = std::get_if<long long>(&value_)) return *i;
    return std::nullopt;
}

}  // namespace vyr::app
