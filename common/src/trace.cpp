#include "vyr/trace.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

namespace vyr::trace {
namespace {

constexpr auto kRepeatWindow = std::chrono::seconds(60);

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// Qt's pattern rule: "*" alone, "*x", "x*", "*x*" or an exact name.
bool pattern_matches(std::string_view pattern, std::string_view name) {
    if (pattern == "*") return true;
    const bool lead = !pattern.empty() && pattern.front() == '*';
    const bool tail = pattern.size() > 1 && pattern.back() == '*';
    if (lead) pattern.remove_prefix(1);
    if (tail) pattern.remove_suffix(1);
    if (lead && tail) return name.find(pattern) != std::string_view::npos;
    if (lead) return name.size() >= pattern.size() && name.substr(name.size() - pattern.size()) == pattern;
    if (tail) return name.substr(0, pattern.size()) == pattern;
    return name == pattern;
}

// The category part of a rule's key and whether it concerns warnings: a key
// ending in ".warning" names warnings only; ".debug", ".info" and ".critical"
// name other types; any other key names every type.
std::optional<std::string_view> warning_pattern(std::string_view key) {
    static constexpr std::string_view kTypes[] = {".debug", ".info", ".critical"};
    for (std::string_view type : kTypes) {
        if (key.size() > type.size() && key.substr(key.size() - type.size()) == type) return std::nullopt;
    }
    constexpr std::string_view kWarning = ".warning";
    if (key.size() > kWarning.size() && key.substr(key.size() - kWarning.size()) == kWarning) {
        key.remove_suffix(kWarning.size());
    }
    return key;
}

struct Seen {
    std::chrono::steady_clock::time_point last_written;
    std::uint64_t held_back = 0;
};

struct State {
    std::mutex mutex;
    Hooks hooks;
    bool hooked = false;
    std::map<std::string, bool> enabled;
    std::map<std::string, Seen> seen;
};

State& state() {
    static State* s = new State();  // never destroyed: reports may come during exit
    return *s;
}

bool enabled_locked(State& s, std::string_view category) {
    auto it = s.enabled.find(std::string(category));
    if (it != s.enabled.end()) return it->second;
    std::string rules;
    if (s.hooked) {
        rules = s.hooks.rules;
    } else if (const char* env = std::getenv("QT_LOGGING_RULES")) {
        rules = env;
    }
    const bool on = rules_enable(rules, category);
    s.enabled.emplace(std::string(category), on);
    return on;
}

}  // namespace

bool rules_enable(std::string_view rules, std::string_view category) {
    bool on = false;
    while (!rules.empty()) {
        const std::size_t end = rules.find_first_of(";\n");
        std::string_view rule = trim(rules.substr(0, end));
        rules = end == std::string_view::npos ? std::string_view() : rules.substr(end + 1);
        const std::size_t eq = rule.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view value = trim(rule.substr(eq + 1));
        if (value != "true" && value != "false") continue;
        const std::optional<std::string_view> pattern = warning_pattern(trim(rule.substr(0, eq)));
        if (pattern && pattern_matches(*pattern, category)) on = value == "true";
    }
    return on;
}

bool enabled(std::string_view category) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return enabled_locked(s, category);
}

void report(std::string_view category, std::string_view stage, std::string_view cause) {
    State& s = state();
    std::string line;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (!enabled_locked(s, category)) return;
        const auto now = s.hooked && s.hooks.clock ? s.hooks.clock() : std::chrono::steady_clock::now();
        std::string key(category);
        key += '\0';
        key += stage;
        auto [it, first] = s.seen.try_emplace(std::move(key));
        Seen& seen = it->second;
        if (!first && now - seen.last_written < kRepeatWindow) {
            ++seen.held_back;
            return;
        }
        line.append(category).append(": ").append(stage).append(": ").append(cause);
        if (seen.held_back > 0) {
            line += " (and " + std::to_string(seen.held_back) + " more times since the last report)";
        }
        seen.last_written = now;
        seen.held_back = 0;
        if (s.hooked && s.hooks.sink) {
            s.hooks.sink(line);
            return;
        }
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
}

std::string errno_cause(int error_number) {
    char buffer[256];
#if defined(_WIN32)
    std::string message = strerror_s(buffer, sizeof buffer, error_number) == 0 ? buffer : "";
#else
    // The GNU strerror_r returns its text; the POSIX one fills the buffer.
    auto text = [&](auto result) -> std::string {
        if constexpr (std::is_same_v<decltype(result), char*>) {
            return result ? result : "";
        } else {
            return result == 0 ? buffer : "";
        }
    };
    std::string message = text(strerror_r(error_number, buffer, sizeof buffer));
#endif
    return message + " (errno " + std::to_string(error_number) + ")";
}

void set_hooks_for_test(Hooks hooks) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.hooks = std::move(hooks);
    s.hooked = true;
    s.enabled.clear();
    s.seen.clear();
}

void reset_for_test() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.hooks = Hooks{};
    s.hooked = false;
    s.enabled.clear();
    s.seen.clear();
}

}  // namespace vyr::trace
