// Chooses Qt's X11 platform when an X display can really be opened, before
// any Qt class is loaded; with no X display, Qt's Wayland platform when a
// Wayland compositor answers (Qt's default, X11, would abort there). Leaves
// the environment alone when the user has chosen a platform, on Windows, and
// whenever anything fails.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vyr::shell {

// A value of the environment that cannot be read or written (for example one
// that cannot be encoded).
class EnvironmentError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The process environment as the probe reads and writes it. A failure is an
// EnvironmentError; the probe then stops.
class Environment {
public:
    virtual ~Environment() = default;
    virtual bool contains(const std::string& name) = 0;
    virtual std::optional<std::string> get(const std::string& name) = 0;
    virtual void set(const std::string& name, const std::string& value) = 0;
};

// Opens and at once closes a display. `load` prepares the X11 library; false
// when it cannot be loaded or lacks a function.
class DisplayOpener {
public:
    virtual ~DisplayOpener() = default;
    virtual bool load() = 0;
    virtual bool try_open(const std::string& name) = 0;
    // Connects to the Wayland compositor's socket at `socket_path` and hangs up.
    virtual bool try_open_wayland(const std::string& socket_path) = 0;
};

// DISPLAY when set and not empty, then ":0", ":1", ":2" without repeats.
std::vector<std::string> display_candidates(const std::optional<std::string>& display);

// The Wayland compositor's socket named by WAYLAND_DISPLAY: the value itself
// when it is a path, else the name in XDG_RUNTIME_DIR. Nothing when
// WAYLAND_DISPLAY is unset or empty, or a name has no runtime folder.
std::optional<std::string> wayland_socket(Environment& env);

// What the probe found.
enum class DisplayProbe {
    Chosen,     // an X display or a Wayland compositor: QT_QPA_PLATFORM names it
    Left,       // nothing asked (Windows, a platform chosen already) or the probe failed
    NoDisplay,  // no X server answered and no Wayland compositor: Qt cannot start
};

// Sets DISPLAY to the first candidate that opens and QT_QPA_PLATFORM to
// "xcb"; when none opens (or the X11 library is missing) and the Wayland
// compositor answers, QT_QPA_PLATFORM to "wayland". Does nothing on Windows
// or when QT_QPA_PLATFORM is present at all. An EnvironmentError or a lack of
// memory stops it, with a line in the trace ("vyr.app"); anything else that
// the environment throws (an interrupt of the runtime) passes on.
DisplayProbe configure_display_platform(Environment& env, DisplayOpener& opener, bool is_windows);

// The message of a start without any display, naming the two variables that
// point at one and what they hold (UTF-8, in the program's language).
std::string no_display_message(const std::optional<std::string>& display,
                               const std::optional<std::string>& wayland_display);

// The system's X11 client library, loaded at run time (never linked), and a
// plain local socket for Wayland. Null where there is no such library on the
// system.
DisplayOpener* system_display_opener();

}  // namespace vyr::shell
