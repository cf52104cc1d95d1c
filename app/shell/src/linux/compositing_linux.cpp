// Asks the X server whether the screen's compositing-manager selection
// (_NET_WM_CM_S<screen>) has an owner, through the X11 client library opened
// with dlopen so the module never links it.
#include <dlfcn.h>

#include <string>

#include <QGuiApplication>

#include "vyr/shell/window_shape.hpp"

namespace vyr::shell {

namespace {

using Display = void;
using Atom = unsigned long;
using Window = unsigned long;

// One connection of its own for the life of the process: a selection owner
// is asked every few seconds, and Qt's own connection is not reachable from
// here without its private headers.
class X11Selections {
public:
    X11Selections() {
        void* lib = dlopen("libX11.so.6", RTLD_LAZY | RTLD_LOCAL);
        if (!lib) return;
        auto open = reinterpret_cast<Display* (*)(const char*)>(dlsym(lib, "XOpenDisplay"));
        auto screen = reinterpret_cast<int (*)(Display*)>(dlsym(lib, "XDefaultScreen"));
        intern_ = reinterpret_cast<Atom (*)(Display*, const char*, int)>(dlsym(lib, "XInternAtom"));
        owner_ = reinterpret_cast<Window (*)(Display*, Atom)>(dlsym(lib, "XGetSelectionOwner"));
        close_ = reinterpret_cast<int (*)(Display*)>(dlsym(lib, "XCloseDisplay"));
        if (!open || !screen || !intern_ || !owner_ || !close_) return;
        display_ = open(nullptr);  // DISPLAY, as Qt's own connection uses it
        if (!display_) return;
        const std::string name = "_NET_WM_CM_S" + std::to_string(screen(display_));
        selection_ = intern_(display_, name.c_str(), 0);
    }
    ~X11Selections() {
        if (display_) close_(display_);
    }
    X11Selections(const X11Selections&) = delete;
    X11Selections& operator=(const X11Selections&) = delete;

    // False when the server cannot be asked.
    bool ask(bool* owned) const {
        if (!display_ || !selection_) return false;
        *owned = owner_(display_, selection_) != 0;
        return true;
    }

private:
    Display* display_ = nullptr;
    Atom selection_ = 0;
    Atom (*intern_)(Display*, const char*, int) = nullptr;
    Window (*owner_)(Display*, Atom) = nullptr;
    int (*close_)(Display*) = nullptr;
};

}  // namespace

bool compositing_manager_running() {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return true;
    static X11Selections selections;
    bool owned = true;
    return selections.ask(&owned) ? owned : true;
}

}  // namespace vyr::shell
