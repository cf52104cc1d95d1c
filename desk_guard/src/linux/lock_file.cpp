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
    const auto taken = vyr::file_lock::open_and_lock(AT_FDCWD, path.c_str(), O_APPEND, 0666);
    if (taken.outcome != vyr::file_lock::Outcome::Acquired) {
        attempt.error = taken.error;
        attempt.outcome = taken.outcome == vyr::file_lock::Outcome::HeldElsewhere
                              ? LockOutcome::HeldElsewhere
                              : LockOutcome::Failed;
        return attempt;
    }
    const int fd = taken.fd;
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
