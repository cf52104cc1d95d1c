// A trace of the failures the program contains and runs on after (a reader
// that could not read its file, a platform call that failed, an error that a
// worker turned into a default value). Off by default: the program's terminal
// stays quiet. Turned on with Qt's logging rules, as for Qt's own categories:
//
//   QT_LOGGING_RULES="vyr.*=true"            every part of the program
//   QT_LOGGING_RULES="vyr.engine.warning=true" the metrics engine only
//
// Categories: "vyr.engine", "vyr.app", "vyr.guard", "vyr.launcher". Each
// failure is written once to standard error as "vyr.engine: stage: cause";
// the same stage failing again is counted and written at most once a minute,
// with the number of times it failed meanwhile, so a file that cannot be read
// every cycle does not flood the terminal. No Qt is needed: the engine and the
// launcher use it as the Qt modules do.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace vyr::trace {

// Whether Qt's logging rules (`rules`, in QT_LOGGING_RULES's form: rules
// separated by ';' or new lines, "category[.type]=true|false", '*' at either
// end of the category, the last matching rule deciding) turn on warnings of
// `category`. With no matching rule, off.
bool rules_enable(std::string_view rules, std::string_view category);

// Whether failures of `category` are written (QT_LOGGING_RULES, read once).
bool enabled(std::string_view category);

// Writes the failure of `stage` with its `cause`, subject to the rate limit.
void report(std::string_view category, std::string_view stage, std::string_view cause);

// The cause of a failed system call: strerror's text and the errno name's number.
std::string errno_cause(int error_number);

// For tests: the rules in place of QT_LOGGING_RULES, the line sink in place of
// standard error and the clock in place of the steady clock. Resets the rate
// limit. An empty function restores the default.
struct Hooks {
    std::string rules;
    std::function<void(const std::string& line)> sink;
    std::function<std::chrono::steady_clock::time_point()> clock;
};
void set_hooks_for_test(Hooks hooks);
void reset_for_test();

}  // namespace vyr::trace
