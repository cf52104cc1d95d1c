#include "instance_lock_linux.hpp"

#include "vyr/file_lock.hpp"
#include "vyr/runtime_folder.hpp"
#include "vyr/trace.hpp"

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vyr::launcher::linux_layer {
namespace {

constexpr const char* kSessionPrefix = "Local\\";

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

    // Without the lock the launcher runs on; the application's own check
    // still keeps a second copy out.
    const int dir = vyr::runtime_folder::open_private_folder(runtime_dir, temp_dir);
    if (dir < 0) {
        vyr::trace::report("vyr.launcher", "instance lock folder", vyr::trace::errno_cause(errno));
        return LockOutcome::Failed;
    }
    const auto taken = vyr::file_lock::open_and_lock(dir, file.c_str(), O_NOFOLLOW, 0600,
                                                     /*keep_when_held=*/true);
    close(dir);
    if (taken.outcome == vyr::file_lock::Outcome::Failed) {
        vyr::trace::report("vyr.launcher", "instance lock", vyr::trace::errno_cause(taken.error));
        return LockOutcome::Failed;
    }
    struct stat st {};
    if (fstat(taken.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        vyr::trace::report("vyr.launcher", "instance lock", "the lock is not a plain file");
        close(taken.fd);
        return LockOutcome::Failed;
    }
    fd = taken.fd;
    return taken.outcome == vyr::file_lock::Outcome::Acquired ? LockOutcome::Created
                                                              : LockOutcome::AlreadyExists;
}

}  // namespace vyr::launcher::linux_layer
