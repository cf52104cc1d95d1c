#include "window_activation_linux.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <dlfcn.h>

#include <string>
#include <type_traits>
#include <vector>

namespace vyr::launcher::linux_layer {

bool title_matches(std::string_view title, std::string_view wanted) {
    if (title.empty()) return false;
    // Cut after kTitleCharacters characters: count the bytes that start a character.
    std::size_t characters = 0;
    std::size_t end = 0;
    for (; end < title.size(); ++end) {
        const auto byte = static_cast<unsigned char>(title[end]);
        if ((byte & 0xC0) != 0x80) {
            if (characters == kTitleCharacters) break;
            ++characters;
        }
    }
    return title.substr(0, end).find(wanted) != std::string_view::npos;
}

namespace {

// The part of libX11 that the search needs, loaded at run time so the launcher starts on
// machines without it.
struct X11 {
    void* library = nullptr;
    Display* (*OpenDisplay)(const char*) = nullptr;
    int (*CloseDisplay)(Display*) = nullptr;
    Window (*DefaultRoot)(Display*) = nullptr;
    Atom (*InternAtom)(Display*, const char*, Bool) = nullptr;
    int (*GetWindowProperty)(Display*, Window, Atom, long, long, Bool, Atom, Atom*, int*,
                             unsigned long*, unsigned long*, unsigned char**) = nullptr;
    int (*Free)(void*) = nullptr;
    int (*MapRaised)(Display*, Window) = nullptr;
    Status (*SendEvent)(Display*, Window, Bool, long, XEvent*) = nullptr;
    int (*Sync)(Display*, Bool) = nullptr;
    XErrorHandler (*SetErrorHandler)(XErrorHandler) = nullptr;
    int (*Utf8TextPropertyToTextList)(Display*, const XTextProperty*, char***, int*) = nullptr;
    void (*FreeStringList)(char**) = nullptr;

    X11() {
        library = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) return;
        bool ok = true;
        auto get = [&](auto& fn, const char* name) {
            fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(library, name));
            ok = ok && fn != nullptr;
        };
        get(OpenDisplay, "XOpenDisplay");
        get(CloseDisplay, "XCloseDisplay");
        get(DefaultRoot, "XDefaultRootWindow");
        get(InternAtom, "XInternAtom");
        get(GetWindowProperty, "XGetWindowProperty");
        get(Free, "XFree");
        get(MapRaised, "XMapRaised");
        get(SendEvent, "XSendEvent");
        get(Sync, "XSync");
        get(SetErrorHandler, "XSetErrorHandler");
        get(Utf8TextPropertyToTextList, "Xutf8TextPropertyToTextList");
        get(FreeStringList, "XFreeStringList");
        if (!ok) {
            dlclose(library);
            library = nullptr;
        }
    }
    ~X11() {
        if (library != nullptr) dlclose(library);
    }
    X11(const X11&) = delete;
    X11& operator=(const X11&) = delete;
};

// A window may vanish while we look at it: its errors are expected and ignored.
int ignore_x_error(Display*, XErrorEvent*) { return 0; }

struct Property {
    Atom type = None;
    int format = 0;
    std::vector<unsigned char> bytes;  // 8-bit data, or the longs of 32-bit data
    unsigned long items = 0;
};

bool read_property(const X11& x, Display* display, Window window, Atom name, Property& out) {
    Atom type = None;
    int format = 0;
    unsigned long items = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    // Up to 64 KiB of 32-bit units is far more than any title or client list needs.
    if (x.GetWindowProperty(display, window, name, 0, 16384, False, AnyPropertyType, &type,
                            &format, &items, &after, &data) != Success) {
        return false;
    }
    if (data == nullptr || type == None) {
        if (data != nullptr) x.Free(data);
        return false;
    }
    const std::size_t unit = format == 32 ? sizeof(long) : format == 16 ? sizeof(short) : 1;
    out.type = type;
    out.format = format;
    out.items = items;
    out.bytes.assign(data, data + items * unit);
    x.Free(data);
    return true;
}

std::vector<Window> read_windows(const X11& x, Display* display, Window window, Atom name) {
    std::vector<Window> windows;
    Property p;
    if (!read_property(x, display, window, name, p) || p.format != 32 ||
        (p.type != XA_WINDOW && p.type != XA_CARDINAL)) {
        return windows;
    }
    const auto* longs = reinterpret_cast<const long*>(p.bytes.data());
    for (unsigned long i = 0; i < p.items; ++i) windows.push_back(static_cast<Window>(longs[i]));
    return windows;
}

std::string latin1_to_utf8(const std::vector<unsigned char>& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

// The window's title as UTF-8: _NET_WM_NAME, else WM_NAME.
std::string window_title(const X11& x, Display* display, Window window, Atom net_wm_name,
                         Atom utf8_string, Atom compound_text) {
    Property p;
    if (read_property(x, display, window, net_wm_name, p) && p.format == 8 &&
        p.type == utf8_string && !p.bytes.empty()) {
        return std::string(p.bytes.begin(), p.bytes.end());
    }
    p = Property{};
    if (!read_property(x, display, window, XA_WM_NAME, p) || p.format != 8) return {};
    if (p.type == utf8_string) return std::string(p.bytes.begin(), p.bytes.end());
    if (p.type == XA_STRING) return latin1_to_utf8(p.bytes);
    if (p.type != compound_text) return {};
    XTextProperty text{};
    text.value = p.bytes.data();
    text.encoding = p.type;
    text.format = p.format;
    text.nitems = p.items;
    char** list = nullptr;
    int count = 0;
    std::string title;
    if (x.Utf8TextPropertyToTextList(display, &text, &list, &count) >= Success && list != nullptr) {
        for (int i = 0; i < count; ++i) title += list[i];
        x.FreeStringList(list);
    }
    return title;
}

// The top-level windows of a running EWMH window manager, top of the stack first; empty
// when no window manager runs.
std::vector<Window> managed_windows(const X11& x, Display* display, Window root) {
    const Atom check = x.InternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
    const auto wm = read_windows(x, display, root, check);
    if (wm.empty()) return {};
    const auto confirmed = read_windows(x, display, wm.front(), check);
    if (confirmed.empty() || confirmed.front() != wm.front()) return {};

    auto stacking = read_windows(x, display, root,
                                 x.InternAtom(display, "_NET_CLIENT_LIST_STACKING", False));
    if (!stacking.empty()) return {stacking.rbegin(), stacking.rend()};  // bottom to top
    return read_windows(x, display, root, x.InternAtom(display, "_NET_CLIENT_LIST", False));
}

void raise_and_activate(const X11& x, Display* display, Window root, Window window) {
    // Mapping a minimised window restores it; raising brings it over the others.
    x.MapRaised(display, window);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = x.InternAtom(display, "_NET_ACTIVE_WINDOW", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = 2;  // the request comes from the user's side, like a task bar
    event.xclient.data.l[1] = CurrentTime;
    event.xclient.data.l[2] = None;
    x.SendEvent(display, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
}

}  // namespace

bool activate_window_titled(const char* utf8_title) {
    const X11 x;
    if (x.library == nullptr) return false;
    Display* display = x.OpenDisplay(nullptr);
    if (display == nullptr) return false;
    const XErrorHandler previous = x.SetErrorHandler(ignore_x_error);

    const Window root = x.DefaultRoot(display);
    const Atom net_wm_name = x.InternAtom(display, "_NET_WM_NAME", False);
    const Atom utf8_string = x.InternAtom(display, "UTF8_STRING", False);
    const Atom compound_text = x.InternAtom(display, "COMPOUND_TEXT", False);
    bool found = false;
    for (const Window window : managed_windows(x, display, root)) {
        if (title_matches(window_title(x, display, window, net_wm_name, utf8_string, compound_text),
                          utf8_title)) {
            raise_and_activate(x, display, root, window);
            found = true;
            break;
        }
    }
    x.Sync(display, False);
    x.SetErrorHandler(previous);
    x.CloseDisplay(display);
    return found;
}

}  // namespace vyr::launcher::linux_layer
