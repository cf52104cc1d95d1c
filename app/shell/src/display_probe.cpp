#include "vyr/shell/display_probe.hpp"

#include <algorithm>
#include <new>

#include "vyr/trace.hpp"

namespace vyr::shell {

std::vector<std::string> display_candidates(const std::optional<std::string>& display) {
    std::vector<std::string> names;
    if (display && !display->empty()) names.push_back(*display);
    for (const char* fixed : {":0", ":1", ":2"}) {
        if (std::find(names.begin(), names.end(), fixed) == names.end()) names.emplace_back(fixed);
    }
    return names;
}

std::optional<std::string> wayland_socket(Environment& env) {
    const std::optional<std::string> display = env.get("WAYLAND_DISPLAY");
    if (!display || display->empty()) return std::nullopt;
    if (display->front() == '/') return display;
    const std::optional<std::string> runtime = env.get("XDG_RUNTIME_DIR");
    if (!runtime || runtime->empty()) return std::nullopt;
    return *runtime + "/" + *display;
}

DisplayProbe configure_display_platform(Environment& env, DisplayOpener& opener, bool is_windows) {
    if (is_windows) return DisplayProbe::Left;
    try {
        if (env.contains("QT_QPA_PLATFORM")) return DisplayProbe::Left;
        if (opener.load()) {
            for (const std::string& name : display_candidates(env.get("DISPLAY"))) {
                if (!opener.try_open(name)) continue;
                env.set("DISPLAY", name);
                env.set("QT_QPA_PLATFORM", "xcb");
                return DisplayProbe::Chosen;
            }
        }
        // No X server (a Wayland session without its X layer): Qt's default
        // platform would abort, its Wayland platform runs the program.
        const std::optional<std::string> socket = wayland_socket(env);
        if (socket && opener.try_open_wayland(*socket)) {
            env.set("QT_QPA_PLATFORM", "wayland");
            return DisplayProbe::Chosen;
        }
        return DisplayProbe::NoDisplay;
    } catch (const EnvironmentError& e) {
        // The platform stays Qt's own choice.
        trace::report("vyr.app", "display probe", e.what());
    } catch (const std::bad_alloc&) {
        trace::report("vyr.app", "display probe", "out of memory");
    }
    return DisplayProbe::Left;
}

std::string no_display_message(const std::optional<std::string>& display,
                               const std::optional<std::string>& wayland_display) {
    const auto shown = [](const std::optional<std::string>& value) {
        return value && !value->empty() ? "\"" + *value + "\"" : std::string("tanımsız");
    };
    std::string tried;
    for (const std::string& name : display_candidates(display)) tried += (tried.empty() ? "" : ", ") + name;
    return "Ekran bulunamadı: hiçbir X sunucusu yanıt vermedi (DISPLAY: " + shown(display) +
           "; denenen: " + tried + ") ve hiçbir Wayland oturumu yanıt vermedi (WAYLAND_DISPLAY: " +
           shown(wayland_display) +
           "). Vyr Ruvivu Zizodiro bir masaüstü oturumunda (X11 ya da Wayland) başlatılmalıdır.";
}

}  // namespace vyr::shell
