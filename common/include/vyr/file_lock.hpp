// An exclusive, non-blocking lock on a file (POSIX flock), as the three
// single-instance checks of the system take it.
//
// Only contention (another open file holds the lock) counts as "held
// elsewhere"; every other failure, opening the file included, is a plain
// failure that leaves the caller without a lock and lets it run on. The file
// is opened close-on-exec, without truncation, so its content (an owner's
// pid, say) is kept until the holder rewrites it.
//
// A lock file that another user owns, or may write to, is not ours to go by:
// that user could hold it (a read-only open is enough for flock) and keep
// every copy of ours out. Such a file is a plain failure too, as a link is.
#pragma once

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vyr::file_lock {

enum class Outcome { Acquired, HeldElsewhere, Failed };

struct Attempt {
    Outcome outcome = Outcome::Failed;
    int fd = -1;     // open while Acquired; also while HeldElsewhere when asked to keep it
    int error = 0;   // errno of the failed step
};

inline bool is_contention(int error_number) {
    return error_number == EWOULDBLOCK || error_number == EAGAIN;
}

// Whether `st` describes a plain file or a folder of this user's own that no
// other user may write to.
inline bool is_own_unshared(const struct stat& st) {
    return st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Whether the open `fd` is a plain file of this user's own that no other user
// may write to.
inline bool is_own_lock_file(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && is_own_unshared(st);
}

// Locks the already open `fd`. On failure the descriptor is closed, unless
// `keep_when_held` asks to keep it open when the lock is held elsewhere.
inline Attempt lock_descriptor(int fd, bool keep_when_held = false) {
    Attempt attempt;
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        attempt.outcome = Outcome::Acquired;
        attempt.fd = fd;
        return attempt;
    }
    attempt.error = errno;
    attempt.outcome = is_contention(attempt.error) ? Outcome::HeldElsewhere : Outcome::Failed;
    if (attempt.outcome == Outcome::HeldElsewhere && keep_when_held) {
        attempt.fd = fd;
    } else {
        ::close(fd);
    }
    return attempt;
}

// Opens (creating it when missing) `path`, relative to `dirfd` (AT_FDCWD for
// the working folder), with O_CLOEXEC and `extra_flags` added to O_RDWR|O_CREAT,
// and locks it. Anything but a plain file of this user's own that no other
// user may write to fails with EPERM before it is locked.
inline Attempt open_and_lock(int dirfd, const char* path, int extra_flags, mode_t mode,
                             bool keep_when_held = false) {
    int fd;
    do {
        fd = ::openat(dirfd, path, O_RDWR | O_CREAT | O_CLOEXEC | extra_flags, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        Attempt attempt;
        attempt.error = errno;
        return attempt;
    }
    if (!is_own_lock_file(fd)) {
        ::close(fd);
        Attempt attempt;
        attempt.error = EPERM;
        return attempt;
    }
    return lock_descriptor(fd, keep_when_held);
}

}  // namespace vyr::file_lock
