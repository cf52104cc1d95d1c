// Lock file of the single-instance channel on Windows: the runtime library's
// non-blocking one-byte lock at the start of the file.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <share.h>
#include <sys/locking.h>
#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <map>
#include <string>

#include "vyr/desk_guard/instance_channel.hpp"

namespace vyr::desk_guard {

namespace {

std::map<std::wstring, int>& held_files() {
    static auto* files = new std::map<std::wstring, int>();
    return *files;
}

// The error of a failed lock call. Microsoft's runtime library sets errno (EACCES for a
// byte that another handle holds); Wine's msvcrt returns -1 and leaves errno as it was,
// and there the system's own last error tells whether the byte is held.
int lock_call_error() {
    if (errno != 0) return errno;
    return GetLastError() == ERROR_LOCK_VIOLATION ? EACCES : ENOLCK;
}

}  // namespace

LockOutcome classify_lock_error(int error_number) {
    // _locking reports a region locked by another process as EACCES.
    return error_number == EACCES ? LockOutcome::HeldElsewhere : LockOutcome::Failed;
}

LockAttempt lock_instance_file(const std::filesystem::path& path) {
    LockAttempt attempt;
    auto& held = held_files();
    if (auto it = held.find(path.native()); it != held.end()) {
        attempt.outcome = LockOutcome::Taken;
        attempt.fd = it->second;
        return attempt;
    }
    int fd = -1;
    const errno_t rc = _wsopen_s(&fd, path.c_str(),
                                 _O_RDWR | _O_CREAT | _O_APPEND | _O_BINARY | _O_NOINHERIT,
                                 _SH_DENYNO, _S_IREAD | _S_IWRITE);
    if (rc != 0 || fd < 0) {
        attempt.error = rc != 0 ? rc : errno;
        return attempt;
    }
    errno = 0;
    if (_lseek(fd, 0, SEEK_SET) < 0 || _locking(fd, _LK_NBLCK, 1) != 0) {
        attempt.error = lock_call_error();
        attempt.outcome = classify_lock_error(attempt.error);
        _close(fd);
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
    bool ok = _lseek(fd, 0, SEEK_SET) >= 0;
    ok = (_chsize_s(fd, 0) == 0) && ok;
    const auto len = static_cast<unsigned>(res.ptr - digits);
    ok = (_write(fd, digits, len) == static_cast<int>(len)) && ok;
    return ok;
}

long long current_process_id() { return static_cast<long long>(_getpid()); }

}  // namespace vyr::desk_guard
