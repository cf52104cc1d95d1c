// The X11 client library, opened with dlopen so the module never links it,
// and a plain local socket for a Wayland compositor.
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "vyr/shell/display_probe.hpp"
#include "vyr/trace.hpp"

namespace vyr::shell {

namespace {

class SystemOpener final : public DisplayOpener {
public:
    bool load() override {
        if (open_ && close_) return true;
        // Kept loaded for the life of the process, as the runtime's own
        // foreign-function loader would.
        void* lib = dlopen("libX11.so.6", RTLD_LAZY | RTLD_LOCAL);
        if (!lib) {
            const char* why = dlerror();
            trace::report("vyr.app", "X11 library", why ? why : "not loaded");
            return false;
        }
        open_ = reinterpret_cast<OpenFn>(dlsym(lib, "XOpenDisplay"));
        close_ = reinterpret_cast<CloseFn>(dlsym(lib, "XCloseDisplay"));
        return open_ && close_;
    }

    bool try_open(const std::string& name) override {
        void* display = open_(name.c_str());
        if (!display) return false;
        close_(display);
        return true;
    }

    bool try_open_wayland(const std::string& socket_path) override {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (socket_path.size() >= sizeof address.sun_path) return false;
        std::memcpy(address.sun_path, socket_path.data(), socket_path.size());
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            trace::report("vyr.app", "Wayland probe socket", trace::errno_cause(errno));
            return false;
        }
        const timeval limit{1, 0};  // a compositor that never accepts is none
        if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0)
            trace::report("vyr.app", "Wayland probe time limit", trace::errno_cause(errno));
        const bool answered =
            connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        return answered;
    }

private:
    using OpenFn = void* (*)(const char*);
    using CloseFn = int (*)(void*);
    OpenFn open_ = nullptr;
    CloseFn close_ = nullptr;
};

}  // namespace

DisplayOpener* system_display_opener() {
    static SystemOpener opener;
    return &opener;
}

}  // namespace vyr::shell
