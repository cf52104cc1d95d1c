// The controller's view of the settings store: values as the store holds
// them, with the truth value and the whole-number conversion that the
// runtime gives them already worked out by whoever reads the store.
#pragma once

#include <optional>
#include <string>

namespace vyr::shell {

struct SettingValue {
    enum class Kind { None, Bool, Int, Float, Text, Other };

    Kind kind = Kind::None;
    bool truth = false;                 // the value's truth as the runtime sees it
    long long integer = 0;              // Bool and Int (saturated to the range)
    double number = 0.0;                // Float
    std::string text;                   // Text
    std::optional<long long> as_int;    // the runtime's int() of the value, when it has one

    static SettingValue none() { return {}; }
    static SettingValue boolean(bool b) {
        SettingValue v;
        v.kind = Kind::Bool;
        v.truth = b;
        v.integer = b ? 1 : 0;
        v.as_int = v.integer;
        return v;
    }
    static SettingValue whole(long long i) {
        SettingValue v;
        v.kind = Kind::Int;
        v.truth = i != 0;
        v.integer = i;
        v.as_int = i;
        return v;
    }

    // An integer in the runtime's sense (a bool counts as one).
    bool is_integer() const { return kind == Kind::Int || kind == Kind::Bool; }
};

// The one settings store. `set` saves the file at once; a failure to save
// keeps the value in memory. A store backed by the runtime may throw when a
// call into it fails.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    // The stored value, else the store's built-in default, else `fallback`.
    virtual SettingValue get(const std::string& key, const SettingValue& fallback) = 0;
    virtual void set(const std::string& key, const SettingValue& value) = 0;
};

}  // namespace vyr::shell
