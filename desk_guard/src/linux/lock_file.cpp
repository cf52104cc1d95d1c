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
    // Only a plain file of its own is used: a link planted at the path is not
    // followed (nor is its target created), and a FIFO is not waited on.
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        attempt.error = errno;
        return attempt;
    }
    // A second name for the file (a hard link) means another file would be
    // truncated and rewritten with the pid.
    struct stat st {};
    errno = 0;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        attempt.error = errno;  // 0 when the file is of the wrong kind
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
