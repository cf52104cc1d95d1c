// The settings every store starts from, and the figures of the refresh
// period. The engine publishes the table as SettingsManager.DEFAULT_SETTINGS;
// the app's readers of a default key pass the same value as their own default.
#pragma once

#include <cstddef>
#include <variant>

namespace vyr::settings {

// The telemetry worker's period in milliseconds when the settings give none...
inline constexpr long long kRefreshMsDefault = 1500;
// ... and the shortest one it runs at: a shorter period is raised to it.
inline constexpr long long kRefreshMsFloor = 800;

// A default as the settings file holds it: null, a boolean, an integer, a
// floating-point number or a text.
using DefaultValue = std::variant<std::nullptr_t, bool, long long, double, const char*>;

struct DefaultSetting {
    const char* key;
    DefaultValue value;
};

// In the order the settings file lists them.
inline constexpr DefaultSetting kDefaults[] = {
    {"orientation", "vertical"},
    {"x", nullptr},
    {"y", nullptr},
    {"always_on_top", true},
    {"locked", false},
    {"opacity", 0.95},
    {"group_by_app", false},
    {"refresh_ms", kRefreshMsDefault},
};

}  // namespace vyr::settings
