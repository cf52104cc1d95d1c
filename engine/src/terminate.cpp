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

std::string gone(long long pid) { return "PID " + numfmt::integer(pid) + " artık çalışmıyor."; }
std::string denied(long long pid) {
    return "PID " + numfmt::integer(pid) + " sistem/root yetkisi gerektiriyor (İzin Reddedildi).";
}

TerminateResult from_errno(int err, long long pid) {
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
                                          const std::optional<std::string>& expected_name) {
    // 0 and negative ids address process groups (our own, or every process
    // of the user); larger ids do not fit a process id.
    if (pid <= 0 || pid > INT_MAX)
        return {false, "Hata: Geçersiz PID: " + numfmt::integer(pid) + " (pozitif bir tam sayı olmalı)."};

    Handle handle{platform};
    if (const int rc = platform.open_process(pid, &handle.fd)) return from_errno(rc, pid);

    std::string stat;
    if (const int rc = platform.read_process_file(pid, "stat", stat)) return from_errno(rc, pid);
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
        if (rc == ENOENT || rc == ESRCH) return {false, gone(pid)};
        denied_cmdline = rc != 0;
        if (rc == 0) args = parse_cmdline(data);
    }
    const std::string name = process_name(comm, denied_cmdline, args);

    // The name belongs to the process the handle holds only while it runs.
    if (const int rc = platform.process_alive(handle.fd, pid)) return from_errno(rc, pid);
    if (expected_name && *expected_name != name) return {false, gone(pid)};

    if (const int rc = platform.signal_process(handle.fd, pid, force ? SIGKILL : SIGTERM)) return from_errno(rc, pid);
    const std::string head = "'" + name + "' (PID " + numfmt::integer(pid) + ") ";
    if (force) return {true, head + "zorla kapatıldı (SIGKILL)."};
    return {true, head + "sonlandırma sinyali gönderildi (SIGTERM)."};
}

}  // namespace vyr::engine
