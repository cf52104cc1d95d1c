// The user's private folder for runtime state on Linux (the launcher's lock,
// the desktop helper's local socket): never a predictable name in a folder
// that other users share.
#pragma once

#include <string>

namespace vyr::runtime_folder {

// `runtime_dir` and `temp_dir` stand for XDG_RUNTIME_DIR and TMPDIR (null when
// unset). The folder is `runtime_dir` when that is an absolute path; else the
// per-user folder "vyr-<uid>" under `temp_dir` ("/tmp" when that is not an
// absolute path), made with mode 0700 when missing and used only when it is a
// real folder (no link) owned by this user that nobody else may enter.

// The folder opened as a directory (close-on-exec), or -1 when there is none.
int open_private_folder(const char* runtime_dir, const char* temp_dir);

// The folder's path, without a trailing "/", or empty when there is none.
std::string private_folder(const char* runtime_dir, const char* temp_dir);

// private_folder() for this process's XDG_RUNTIME_DIR and TMPDIR.
std::string private_folder_of_this_process();

}  // namespace vyr::runtime_folder
