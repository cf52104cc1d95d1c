#include "platform_linux.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "hand_over_linux.hpp"
#include "instance_lock_linux.hpp"
#include "window_activation_linux.hpp"
#include "vyr/trace.hpp"

namespace vyr::launcher {
namespace {

// How long the hand-over waits for the running copy's server.
constexpr int kHandOverWaitMs = 250;

}  // namespace

LinuxPlatform::LinuxPlatform(int argc, char** argv) : argc_(argc), argv_(argv) {
    // The arguments joined by single blanks stand for the command line.
    for (int i = 0; i < argc_ && argv_[i] != nullptr; ++i) {
        if (i > 0) command_line_ += ' ';
        command_line_ += argv_[i];
    }
}

const native_char* LinuxPlatform::command_line() { return command_line_.c_str(); }

LockOutcome LinuxPlatform::create_instance_lock(const native_string& name) {
    return linux_layer::take_session_lock(name, getenv("XDG_RUNTIME_DIR"), getenv("TMPDIR"),
                                          lock_fd_);
}

void LinuxPlatform::close_instance_lock() {
    if (lock_fd_ >= 0) close(lock_fd_);
    lock_fd_ = -1;
}

void LinuxPlatform::activate_existing_window(const char* utf8_title) {
    if (linux_layer::activate_window_titled(utf8_title)) return;
    // A window that the window manager does not list (the monitor's hidden
    // capsule, or any window on a display without one): the running copy's
    // desktop helper brings its main window back itself.
    for (const std::string& path : linux_layer::monitor_server_paths()) {
        if (linux_layer::send_activation(path, kHandOverWaitMs)) return;
    }
    vyr::trace::report("vyr.launcher", "hand-over", "the running copy did not take the activation request");
}

native_string LinuxPlatform::program_path() {
    std::vector<char> buffer(4096);
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) {
            vyr::trace::report("vyr.launcher", "program path", vyr::trace::errno_cause(errno));
            return {};
        }
        if (static_cast<std::size_t>(n) < buffer.size()) return std::string(buffer.data(), n);
        buffer.resize(buffer.size() * 2);
    }
}

void LinuxPlatform::set_current_folder(const native_string& folder) {
    if (chdir(folder.c_str()) != 0)
        vyr::trace::report("vyr.launcher", "program folder", vyr::trace::errno_cause(errno));
}

// Shared libraries are found through the executable's run path: nothing to do.
void LinuxPlatform::set_dll_folder(const native_string&) {}

void LinuxPlatform::set_environment(const native_string& name, const native_string& value) {
    if (setenv(name.c_str(), value.c_str(), 1) != 0)
        vyr::trace::report("vyr.launcher", "environment", vyr::trace::errno_cause(errno));
}

ArgumentVector LinuxPlatform::split_arguments() {
    // The system hands the arguments over already split.
    return ArgumentVector{argc_, argv_};
}

void LinuxPlatform::free_arguments(ArgumentVector& args) { args = ArgumentVector{}; }

void LinuxPlatform::message_box(const char* utf8_caption, const char* utf8_text) {
    std::fprintf(stderr, "%s: %s\n", utf8_caption, utf8_text);
    std::fflush(stderr);
}

}  // namespace vyr::launcher
