// The application's own lock file, used where the desktop helper module is
// missing or fails: an exclusive, non-blocking lock on a file in the user's
// own folder, held for as long as the file stays open.
#pragma once

#include <optional>
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

// Opens `path` for writing (created when missing for the user alone, never
// emptied, never through a symbolic link, closed on exec) and takes the lock.
// A file that another user owns or may write to is Unavailable: its lock is
// not ours to go by.
LockAttempt try_fallback_lock(const std::string& path);

// The folder that holds the lock file: on Linux the user's checked per-user
// folder under the temporary folder (see vyr/runtime_folder.hpp), empty when
// it cannot be used; nothing where the runtime's temporary folder is used as it is.
std::optional<std::string> fallback_lock_folder();

// Whether this system has POSIX file locking at all.
bool fallback_locking_supported();

}  // namespace vyr::shell
