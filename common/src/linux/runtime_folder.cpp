#include "vyr/runtime_folder.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace vyr::runtime_folder {
namespace {

bool is_absolute(const char* path) { return path != nullptr && path[0] == '/'; }

std::string without_trailing_slashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string per_user_path(const char* temp_dir) {
    std::string folder = without_trailing_slashes(is_absolute(temp_dir) ? temp_dir : "/tmp");
    if (folder != "/") folder += '/';
    return folder + "vyr-" + std::to_string(geteuid());
}

// Keeps `dir` only when it may hold this user's runtime state: a folder of
// this user's own that the user can write to and enter, and that nobody else
// may read, write or enter. Closes it otherwise.
int keep_when_private(int dir) {
    if (dir < 0) return -1;
    struct stat st {};
    if (fstat(dir, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
        (st.st_mode & 077) != 0 || (st.st_mode & (S_IWUSR | S_IXUSR)) != (S_IWUSR | S_IXUSR)) {
        close(dir);
        errno = EACCES;
        return -1;
    }
    return dir;
}

}  // namespace

int open_per_user_folder(const char* temp_dir) {
    const std::string folder = per_user_path(temp_dir);
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return -1;
    return keep_when_private(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

std::string per_user_folder(const char* temp_dir) {
    const int dir = open_per_user_folder(temp_dir);
    if (dir < 0) return {};
    close(dir);
    return per_user_path(temp_dir);
}

namespace {

// XDG_RUNTIME_DIR as it is, when it names a private folder (-1 otherwise).
int open_runtime_dir(const char* runtime_dir) {
    if (!is_absolute(runtime_dir)) return -1;
    return keep_when_private(open(runtime_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

}  // namespace

int open_private_folder(const char* runtime_dir, const char* temp_dir) {
    const int dir = open_runtime_dir(runtime_dir);
    return dir >= 0 ? dir : open_per_user_folder(temp_dir);
}

std::string private_folder(const char* runtime_dir, const char* temp_dir) {
    const int dir = open_runtime_dir(runtime_dir);
    if (dir < 0) return per_user_folder(temp_dir);
    close(dir);
    return without_trailing_slashes(runtime_dir);
}

std::vector<std::string> meeting_folders(const char* runtime_dir, const char* temp_dir) {
    std::vector<std::string> folders;
    const std::string first = private_folder(runtime_dir, temp_dir);
    if (!first.empty()) folders.push_back(first);
    const std::string shared = per_user_folder(temp_dir);
    if (!shared.empty() && shared != first) folders.push_back(shared);
    return folders;
}

std::string private_folder_of_this_process() {
    return private_folder(getenv("XDG_RUNTIME_DIR"), getenv("TMPDIR"));
}

std::vector<std::string> meeting_folders_of_this_process() {
    return meeting_folders(getenv("XDG_RUNTIME_DIR"), getenv("TMPDIR"));
}

}  // namespace vyr::runtime_folder
