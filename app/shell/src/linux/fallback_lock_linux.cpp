#include <fcntl.h>
#include <stdlib.h>

#include "vyr/file_lock.hpp"
#include "vyr/runtime_folder.hpp"
#include "vyr/shell/fallback_lock.hpp"

namespace vyr::shell {

bool fallback_locking_supported() { return true; }

// Not the shared temporary folder itself, where any user could make (and
// hold) the file first, but the user's own folder in it.
std::optional<std::string> fallback_lock_folder() {
    return vyr::runtime_folder::per_user_folder(getenv("TMPDIR"));
}

LockAttempt try_fallback_lock(const std::string& path) {
    const auto taken = vyr::file_lock::open_and_lock(AT_FDCWD, path.c_str(), O_NOFOLLOW, 0600);
    LockAttempt attempt;
    attempt.error = taken.error;
    attempt.fd = taken.fd;
    switch (taken.outcome) {
        case vyr::file_lock::Outcome::Acquired:
            attempt.outcome = LockAttempt::Outcome::Acquired;
            break;
        case vyr::file_lock::Outcome::HeldElsewhere:
            attempt.outcome = LockAttempt::Outcome::HeldElsewhere;
            break;
        case vyr::file_lock::Outcome::Failed:
            break;  // Unavailable: run on without the lock
    }
    return attempt;
}

}  // namespace vyr::shell
