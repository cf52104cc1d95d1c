// The launcher's system services on Windows.
#pragma once

#include <windows.h>

#include "vyr/launcher/platform.hpp"

namespace vyr::launcher {

class Win32Platform final : public Platform {
public:
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
    HANDLE mutex_ = nullptr;  // owned, and never closed, while this copy is the first
};

}  // namespace vyr::launcher
