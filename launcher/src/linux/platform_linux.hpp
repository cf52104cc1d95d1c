// The launcher's system services on Linux.
#pragma once

#include <string>

#include "vyr/launcher/platform.hpp"

namespace vyr::launcher {

class LinuxPlatform final : public Platform {
public:
    LinuxPlatform(int argc, char** argv);

    const native_char* command_line() override;
    LockOutcome create_instance_lock(const native_string& name) override;
    void close_instance_lock() override;
    void activate_existing_window(const char* utf8_title) override;
    native_string program_path() override;
    void set_current_folder(const native_string& folder) override;
    void set_dll_folder(const native_string& folder) override;
    void set_environment(const native_string& name, const native_string& value) override;
    ArgumentVector split_arguments() override;
    void free_arguments(ArgumentVector& args) override;
    void message_box(const char* utf8_caption, const char* utf8_text) override;

private:
    int argc_;
    char** argv_;
    std::string command_line_;
    int lock_fd_ = -1;  // held open, and locked, until the process ends
};

}  // namespace vyr::launcher
