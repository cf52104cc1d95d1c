// The X11 client library, opened with dlopen so the module never links it.
#include <dlfcn.h>

#include "vyr/shell/display_probe.hpp"

namespace vyr::shell {

namespace {

class X11Opener final : public DisplayOpener {
public:
    bool load() override {
        if (open_ && close_) return true;
        // Kept loaded for the life of the process, as the runtime's own
        // foreign-function loader would.
        void* lib = dlopen("libX11.so.6", RTLD_LAZY | RTLD_LOCAL);
        if (!lib) return false;
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

private:
    using OpenFn = void* (*)(const char*);
    using CloseFn = int (*)(void*);
    OpenFn open_ = nullptr;
    CloseFn close_ = nullptr;
};

}  // namespace

DisplayOpener* system_display_opener() {
    static X11Opener opener;
    return &opener;
}

}  // namespace vyr::shell
