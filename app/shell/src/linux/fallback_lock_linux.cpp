#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "vyr/shell/fallback_lock.hpp"

namespace vyr::shell {

bool fallback_locking_supported() { return true; }

LockAttempt try_fallback_lock(const std::string& path) {
    LockAttempt attempt;
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        attempt.error = errno;
        return attempt;  // Unavailable: run on without the lock
    }
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        attempt.outcome = LockAttempt::Outcome::Acquired;
        attempt.fd = fd;
        return attempt;
    }
    attempt.error = errno;
    ::close(fd);
    attempt.outcome = (attempt.error == EWOULDBLOCK) ? LockAttempt::Outcome::HeldElsewhere
                                                     : LockAttempt::Outcome::Unavailable;
    return attempt;
}

}  // namespace vyr::shell
