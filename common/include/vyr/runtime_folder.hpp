// The user's private folder for runtime state on Linux (the launcher's lock,
// the desktop helper's local socket, the application's fallback lock): never
// a predictable name in a folder that other users share.
#pragma once

#include <string>
#include <vector>

namespace vyr::runtime_folder {

// `runtime_dir` and `temp_dir` stand for XDG_RUNTIME_DIR and TMPDIR (null when
// unset). A folder holds runtime state only when it is a real folder owned by
// this user, which the user may write to and nobody else may enter.
//
// The private folder is `runtime_dir` when that is an absolute path to such a
// folder; else the per-user folder "vyr-<uid>" under `temp_dir` ("/tmp" when
// that is not an absolute path), made with mode 0700 when missing. The
// per-user folder is never followed through a link; `runtime_dir` is never
// made.

// The private folder opened as a directory (close-on-exec), or -1 when there
// is none.
int open_private_folder(const char* runtime_dir, const char* temp_dir);

// The private folder's path, without a trailing "/", or empty when there is none.
std::string private_folder(const char* runtime_dir, const char* temp_dir);

// The per-user folder under `temp_dir` alone, opened or as a path, whatever
// `runtime_dir` holds (-1 or empty when it cannot be used).
int open_per_user_folder(const char* temp_dir);
std::string per_user_folder(const char* temp_dir);

// Where a running copy listens and a later copy looks for it: the private
// folder, then the per-user folder when that is another one. Two starts that
// see different runtime folders (one unset, unusable or elsewhere) still meet
// in the per-user folder.
std::vector<std::string> meeting_folders(const char* runtime_dir, const char* temp_dir);

// The same for this process's XDG_RUNTIME_DIR and TMPDIR.
std::string private_folder_of_this_process();
std::vector<std::string> meeting_folders_of_this_process();

}  // namespace vyr::runtime_folder
