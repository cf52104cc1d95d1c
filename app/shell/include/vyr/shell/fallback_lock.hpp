// The application's own lock file, used where the desktop helper module is
// missing or fails: an exclusive, non-blocking lock on a file in the
// temporary folder, held for as long as the file stays open.
#pragma once

#include <string>

namespace vyr::shell {

inline constexpr const char* kFallbackLockName = "vyr-linux-monitor.lock";

struct LockAttempt {
    enum class Outcome {
        Acquired,       // `fd` is open and locked; closing it releases the lock
        HeldElsewhere,  // another process holds the lock
        Unavailable,    // the file cannot be opened or locking is refused: run without a lock
    };
    Outcome outcome = Outcome::Unavailable;
    int fd = -1;
    int error = 0;  // errno of the failing step, 0 on success
};

// Opens `path` for writing (created when missing, never emptied, never
// through a symbolic link, closed on exec) and takes the lock.
LockAttempt try_fallback_lock(const std::string& path);

// Whether this system has POSIX file locking at all.
bool fallback_locking_supported();

}  // namespace vyr::shell
