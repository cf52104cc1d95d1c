// The single-instance lock on Linux: a file lock held for the life of the process.
#pragma once

#include <string>

#include "vyr/launcher/platform.hpp"

namespace vyr::launcher::linux_layer {

// The file name that stands for a lock name: the session prefix "Local\" is dropped (the
// folder is already per session) and folder separators become "_".
std::string lock_file_name(const std::string& lock_name);

// Takes an exclusive, non-blocking flock on the file `lock_file_name(lock_name)` in the
// user's private runtime folder for `runtime_dir` (XDG_RUNTIME_DIR) and `temp_dir` (TMPDIR):
// see vyr/runtime_folder.hpp.
// Created: `fd` holds the lock (close-on-exec). AlreadyExists: another open file holds it;
// `fd` is open so the caller can close it. Failed: `fd` is -1.
LockOutcome take_session_lock(const std::string& lock_name, const char* runtime_dir,
                              const char* temp_dir, int& fd);

}  // namespace vyr::launcher::linux_layer
