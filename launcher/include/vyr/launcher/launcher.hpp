// The launcher: one running copy per session, the program folder, the embedded runtime.
#pragma once

#include "vyr/launcher/platform.hpp"

namespace vyr::launcher {

// Options that let a copy run beside another; each is looked for as a case-sensitive
// substring of the whole command line, in this order.
inline constexpr const char* kSkipOptions[] = {
    "--vyr-elevated-task", "--vyr-root-helper", "--service",  "--install-service",
    "--uninstall-service", "--status",          "--headless", "--self-test",
    "--screenshot",
};
inline constexpr const char* kInstanceLockName = "Local\\VYR_SINGLE_INSTANCE_vyr-sysmonitor";
inline constexpr const char* kProductTitle = "Vyr Ruvivu Zizodiro";
inline constexpr const char* kPythonPathVariable = "PYTHONPATH";
inline constexpr const char* kRuntimeFailureText = "Python 3.12 Runtime (python312.dll) baslatilamadi.";
inline constexpr const char* kExitCodeAttribute = "_vyr_exit_code";

// The bootstrap script run by the embedded runtime (UTF-8, every line ended by a line feed).
extern const char kBootstrapScript[];

// True when the command line holds one of the skip options.
bool has_skip_option(const native_char* command_line);

// The single-instance check: true when another copy runs, which has then been asked to
// come to the front, and this copy must end with exit code 0.
bool another_copy_runs(Platform& platform);

// The folder part of a program path, without a trailing separator; a path without a
// separator stays whole.
native_string folder_of(const native_string& program_path);

// Makes the program folder the working folder, the DLL folder and PYTHONPATH.
void prepare_program_folder(Platform& platform);

// Starts the runtime with the process arguments, runs the bootstrap script and returns the
// exit code it leaves behind.
int run_application(Platform& platform);

// The whole launcher: returns the process exit code.
int run(Platform& platform);

}  // namespace vyr::launcher
