#include <signal.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "engine_internal.hpp"
#include "vyr/numfmt.hpp"

namespace vyr::engine {

namespace {

std::string os_error_text(int err) {
    const char* d = strerrordesc_np(err);
    return "[Errno " + numfmt::integer(err) + "] " + (d ? d : "Unknown error");
}

std::string gone(const std::string& pid) { return "PID " + pid + " artık çalışmıyor."; }
std::string denied(const std::string& pid) {
    return "PID " + pid + " sistem/root yetkisi gerektiriyor (İzin Reddedildi).";
}

TerminateResult from_errno(int err, const std::string& pid) {
    if (err == ESRCH || err == ENOENT) return {false, gone(pid)};
    if (err == EPERM || err == EACCES) return {false, denied(pid)};
    return {false, "Hata: " + os_error_text(err)};
}

struct Handle {
    Platform& platform;
    int fd = -1;
    ~Handle() { platform.close_process(fd); }
};

}  // namespace

TerminateResult Engine::terminate_process(Platform& platform, long long pid, bool force,
                                          const std::optional<std::string>& expected_name,
                                          const std::string& pid_text) {
    const std::string shown = pid_text.empty() ? numfmt::integer(pid) : pid_text;
    // 0 and negative ids address process groups (our own, or every process
    // of the user): refused before anything is opened.
    if (pid <= 0) return {false, "Hata: Geçersiz PID: " + shown + " (pozitif bir tam sayı olmalı)."};
    // No process has an id beyond the kernel's range.
    if (pid > INT_MAX) return {false, gone(shown)};

    Handle handle{platform};
    if (const int rc = platform.open_process(pid, &handle.fd)) return from_errno(rc, shown);

    std::string stat;
    if (const int rc = platform.read_process_file(pid, "stat", stat)) return from_errno(rc, shown);
    const auto lpar = stat.find('(');
    const auto rpar = stat.rfind(')');
    if (lpar == std::string::npos || rpar == std::string::npos || rpar < lpar)
        return {false, "Hata: unreadable process status"};
    const std::string comm = stat.substr(lpar + 1, rpar - lpar - 1);
    bool denied_cmdline = false;
    std::vector<std::string> args;
    if (text::code_point_count(comm) >= 15) {
        std::string data;
        const int rc = platform.read_process_file(pid, "cmdline", data);
        if (rc == ENOENT || rc == ESRCH) return {false, gone(shown)};
        denied_cmdline = rc != 0;
        if (rc == 0) args = parse_cmdline(data);
    }
    const std::string name = process_name(comm, denied_cmdline, args);

    // The name belongs to the process the handle holds only while it runs.
    if (const int rc = platform.process_alive(handle.fd, pid)) return from_errno(rc, shown);
    if (expected_name && *expected_name != name) return {false, gone(shown)};

    if (const int rc = platform.signal_process(handle.fd, pid, force ? SIGKILL : SIGTERM))
        return from_errno(rc, shown);
    const std::string head = "'" + name + "' (PID " + shown + ") ";
    if (force) return {true, head + "zorla kapatıldı (SIGKILL)."};
    return {true, head + "sonlandırma sinyali gönderildi (SIGTERM)."};
}

}  // namespace vyr::engine
