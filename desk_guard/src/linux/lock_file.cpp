// Lock file of the single-instance channel on POSIX systems: flock().
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <map>
#include <string>

#include "vyr/trace.hpp"
#include "vyr/desk_guard/instance_channel.hpp"
#include "vyr/file_lock.hpp"

namespace vyr::desk_guard {

namespace {

// Lock files held by this process, by path, for the life of the process.
std::map<std::string, int>& held_files() {
    static auto* files = new std::map<std::string, int>();
    return *files;
}

// The folder `folder` opened as a directory when it is a real folder (no
// link) of this user's own that no other user may write to; else -1 with errno set.
int open_own_folder(const std::filesystem::path& folder) {
    const std::filesystem::path at = folder.empty() ? std::filesystem::path(".") : folder;
    int dir;
    do {
        dir = ::open(at.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    } while (dir < 0 && errno == EINTR);
    if (dir < 0) return -1;
    struct stat st {};
    if (::fstat(dir, &st) != 0 || !vyr::file_lock::is_own_unshared(st)) {
        ::close(dir);
        errno = EPERM;
        return -1;
    }
    return dir;
}

}  // namespace

LockOutcome classify_lock_error(int error_number) {
    return vyr::file_lock::is_contention(error_number) ? LockOutcome::HeldElsewhere
                                                       : LockOutcome::Failed;
}

LockAttempt lock_instance_file(const std::filesystem::path& path) {
    LockAttempt attempt;
    auto& held = held_files();
    if (auto it = held.find(path.native()); it != held.end()) {
        attempt.outcome = LockOutcome::Taken;
        attempt.fd = it->second;
        return attempt;
    }
    // The folder and the file must be this user's own, and no other user may
    // write to them: another user's lock (even one held through a read-only
    // open) would otherwise keep every copy out.
    const int dir = open_own_folder(path.parent_path());
    if (dir < 0) {
        attempt.error = errno;
        return attempt;
    }
    // Only a plain file of its own is used: a link planted at the path is not
    // followed (nor is its target created), and a FIFO is not waited on.
    int fd;
    do {
        fd = ::openat(dir, path.filename().c_str(),
                      O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    const int open_error = errno;
    ::close(dir);
    if (fd < 0) {
        attempt.error = open_error;
        return attempt;
    }
    // A second name for the file (a hard link) means another file would be
    // truncated and rewritten with the pid.
    struct stat st {};
    errno = 0;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
        !vyr::file_lock::is_own_unshared(st)) {
        attempt.error = errno;  // 0 when the file is of the wrong kind or someone else's
        ::close(fd);
        return attempt;
    }
    // Blocking again, as a plain file is used; a file left non-blocking still
    // locks and takes the pid.
    if (::fcntl(fd, F_SETFL, O_APPEND) != 0)
        vyr::trace::report("vyr.guard", "lock file mode", vyr::trace::errno_cause(errno));
    const auto taken = vyr::file_lock::lock_descriptor(fd);
    if (taken.outcome != vyr::file_lock::Outcome::Acquired) {
        attempt.error = taken.error;
        attempt.outcome = taken.outcome == vyr::file_lock::Outcome::HeldElsewhere
                              ? LockOutcome::HeldElsewhere
                              : LockOutcome::Failed;
        return attempt;
    }
    held.emplace(path.native(), fd);
    attempt.outcome = LockOutcome::Taken;
    attempt.fd = fd;
    return attempt;
}

bool write_owner_pid(int fd, long long pid) {
    char digits[24];
    const auto res = std::to_chars(digits, digits + sizeof digits, pid);
    bool ok = ::lseek(fd, 0, SEEK_SET) >= 0;
    ok = (::ftruncate(fd, 0) == 0) && ok;
    const auto len = static_cast<size_t>(res.ptr - digits);
    ok = (::write(fd, digits, len) == static_cast<ssize_t>(len)) && ok;
    return ok;
}

long long current_process_id() { return static_cast<long long>(::getpid()); }

}  // namespace vyr::desk_guard
