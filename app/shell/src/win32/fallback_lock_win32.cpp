// Windows offers no POSIX file locking: the program runs without this lock
// (the launcher's named mutex and the desktop helper keep a second copy out).
#include "vyr/shell/fallback_lock.hpp"

namespace vyr::shell {

bool fallback_locking_supported() { return false; }

LockAttempt try_fallback_lock(const std::string&) { return {}; }

std::optional<std::string> fallback_lock_folder() { return std::nullopt; }

}  // namespace vyr::shell
