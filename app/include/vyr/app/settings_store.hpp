// The settings store as the views see it: a flat map of JSON-like values.
// Reads keep Python's meaning: truthiness for check states, int() for whole
// numbers.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace vyr::app {

class SettingValue {
public:
    using List = std::vector<SettingValue>;
    using Object = std::vector<std::pair<std::string, SettingValue>>;  // insertion order
    // null, bool, int, float, str (UTF-8), list, dict. Integers that do not fit
    // 64 bits are handed over clamped to the nearest end (their sign is kept).
    using Storage = std::variant<std::monostate, bool, long long, double, std::string, List, Object>;

    SettingValue() = default;
    SettingValue(std::nullptr_t) {}
    SettingValue(bool b) : value_(b) {}
    SettingValue(int i) : value_(static_cast<long long>(i)) {}
    SettingValue(long long i) : value_(i) {}
    SettingValue(double d) : value_(d) {}
    SettingValue(const char* s) : value_(std::string(s)) {}
    SettingValue(std::string s) : value_(std::move(s)) {}
    SettingValue(List l) : value_(std::move(l)) {}
    SettingValue(Object o) : value_(std::move(o)) {}

    const Storage& storage() const { return value_; }
    bool is_null() const { return std::holds_alternative<std::monostate>(value_); }

    // bool(value) in Python: None, False, 0, 0.0, "", [] and {} are false (NaN is true).
    bool truthy() const;
    // int(value) in Python; none where int() raises (None, list, dict, NaN,
    // infinity, a text that is not a whole decimal number or has more digits
    // than the runtime's default limit of 4300). Texts take decimal digits and
    // blanks of every script, as int() does.
    std::optional<long long> to_int() const;
    // The number of a value that is an int in Python's sense: a whole number,
    // or a bool as 0 or 1. None for every other value ("5", 5.0 and null too).
    std::optional<long long> as_integer() const;

    friend bool operator==(const SettingValue& a, const SettingValue& b) { return a.value_ == b.value_; }
    friend bool operator!=(const SettingValue& a, const SettingValue& b) { return !(a == b); }

private:
    Storage value_;
};

class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    // The stored value, else the built-in default of the key, else `default_value`.
    // Never fails for a missing key.
    virtual SettingValue get(const std::string& key, const SettingValue& default_value = {}) const = 0;
    // Stores the value and writes the settings file at once (a failed write
    // keeps the value in memory).
    virtual void set(const std::string& key, const SettingValue& value) = 0;
};

}  // namespace vyr::app
