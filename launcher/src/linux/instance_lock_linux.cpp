#include "instance_lock_linux.hpp"

#include "vyr/file_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace vyr::launcher::linux_layer {
namespace {

constexpr const char* kSessionPrefix = "Local\\";

bool is_absolute(const char* path) { return path != nullptr && path[0] == '/'; }

// Opens the per-user folder under the temporary folder, making it when it is missing, and
// returns its descriptor only when it is safe to keep a lock file in it.
int open_private_folder(const char* temp_dir) {
    std::string folder = is_absolute(temp_dir) ? temp_dir : "/tmp";
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    folder += "/vyr-" + std::to_string(geteuid());
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

std::string lock_file_name(const std::string& lock_name) {
    std::string name = lock_name;
    const std::string prefix = kSessionPrefix;
    if (name.compare(0, prefix.size(), prefix) == 0) name.erase(0, prefix.size());
    for (char& c : name) {
        if (c == '\\' || c == '/') c = '_';
    }
    return name;
}

LockOutcome take_session_lock(const std::string& lock_name, const char* runtime_dir,
                              const char* temp_dir, int& fd) {
    fd = -1;
    const std::string file = lock_file_name(lock_name);
    if (file.empty() || file == "." || file == "..") return LockOutcome::Failed;

    const int dir = is_absolute(runtime_dir)
                        ? open(runtime_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                        : open_private_folder(temp_dir);
    if (dir < 0) return LockOutcome::Failed;
    const auto taken = vyr::file_lock::open_and_lock(dir, file.c_str(), O_NOFOLLOW, 0600,
                                                     /*keep_when_held=*/true);
    close(dir);
    if (taken.outcome == vyr::file_lock::Outcome::Failed) return LockOutcome::Failed;
    struct stat st {};
    if (fstat(taken.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(taken.fd);
        return LockOutcome::Failed;
    }
    fd = taken.fd;
    return taken.outcome == vyr::file_lock::Outcome::Acquired ? LockOutcome::Created
                                                              : LockOutcome::AlreadyExists;
}

}  // namespace vyr::launcher::linux_layer
