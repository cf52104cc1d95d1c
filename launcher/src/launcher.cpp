// The launcher's steps up to the start of the runtime; no Python here.
#include "vyr/launcher/launcher.hpp"

#include <string_view>

namespace vyr::launcher {

bool has_skip_option(const native_char* command_line) {
    if (command_line == nullptr) return false;
    const std::basic_string_view<native_char> line(command_line);
    for (const char* option : kSkipOptions) {
        if (line.find(widen_ascii(option)) != line.npos) return true;
    }
    return false;
}

bool another_copy_runs(Platform& platform) {
    if (has_skip_option(platform.command_line())) return false;
    switch (platform.create_instance_lock(widen_ascii(kInstanceLockName))) {
        case LockOutcome::Created:
        case LockOutcome::Failed:
            return false;
        case LockOutcome::AlreadyExists:
            break;
    }
    platform.activate_existing_window(kProductTitle);
    platform.close_instance_lock();
    return true;
}

native_string folder_of(const native_string& program_path) {
    const auto cut = program_path.rfind(kFolderSeparator);
    if (cut == native_string::npos) return program_path;
    return program_path.substr(0, cut);
}

void prepare_program_folder(Platform& platform) {
    const native_string folder = folder_of(platform.program_path());
    platform.set_current_folder(folder);
    platform.set_dll_folder(folder);
    platform.set_environment(widen_ascii(kPythonPathVariable), folder);
}

}  // namespace vyr::launcher
