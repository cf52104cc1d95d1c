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

std::string per_user_folder(const char* temp_dir) {
    std::string folder = without_trailing_slashes(is_absolute(temp_dir) ? temp_dir : "/tmp");
    if (folder != "/") folder += '/';
    return folder + "vyr-" + std::to_string(geteuid());
}

// Opens the per-user folder, making it when it is missing, and returns its
// descriptor only when it is safe to keep runtime state in it.
int open_checked(const std::string& folder) {
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return -1;
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) return -1;
    struct stat st {};
    if (fstat(dir, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
        (st.st_mode & 077) != 0) {
        close(dir);
        return -1;
    }
    return dir;
}

}  // namespace

int open_private_folder(const char* runtime_dir, const char* temp_dir) {
    if (is_absolute(runtime_dir)) return open(runtime_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return open_checked(per_user_folder(temp_dir));
}

std::string private_folder(const char* runtime_dir, const char* temp_dir) {
    const int dir = open_private_folder(runtime_dir, temp_dir);
    if (dir < 0) return {};
    close(dir);
    return is_absolute(runtime_dir) ? without_trailing_slashes(runtime_dir)
                                    : per_user_folder(temp_dir);
}

std::string private_folder_of_this_process() {
    return private_folder(getenv("XDG_RUNTIME_DIR"), getenv("TMPDIR"));
}

}  // namespace vyr::runtime_folder
