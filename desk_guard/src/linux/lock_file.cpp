// Lock file of the single-instance channel on POSIX systems: flock().
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <map>
#include <string>

#include "vyr/desk_guard/instance_channel.hpp"

namespace vyr::desk_guard {

namespace {

// Lock files held by this process, by path, for the life of the process.
std::map<std::string, int>& held_files() {
    static auto* files = new std::map<std::string, int>();
    return *files;
}

}  // namespace

LockOutcome classify_lock_error(int error_number) {
    return (error_number == EWOULDBLOCK || error_number == EAGAIN) ? LockOutcome::HeldElsewhere
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
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        attempt.error = errno;
        return attempt;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        attempt.error = errno;
        attempt.outcome = classify_lock_error(attempt.error);
        ::close(fd);
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
