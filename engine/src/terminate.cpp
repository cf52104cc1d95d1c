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

// The answer to a failed call on the process, by the kind of failure.
TerminateResult failed(const ProcessStatus& status, const std::string& pid) {
    switch (status.error) {
        case ProcessError::gone: return {false, gone(pid), status.error};
        case ProcessError::denied: return {false, denied(pid), status.error};
        case ProcessError::none:  // not a failure; never passed here
        case ProcessError::invalid:
        case ProcessError::other: break;
    }
    return {false, "Hata: " + os_error_text(status.error_number), status.error};
}

TerminateResult failed_errno(int err, const std::string& pid) { return failed(ProcessStatus::from_errno(err), pid); }

}  // namespace

ProcessStatus ProcessStatus::from_errno(int err) {
    switch (err) {
        case 0: return {};
        case ESRCH:
        case ENOENT: return {ProcessError::gone, err};
        case EPERM:
        case EACCES: return {ProcessError::denied, err};
        case EINVAL: return {ProcessError::invalid, err};
        default: return {ProcessError::other, err};
    }
}

ProcessHandle::~ProcessHandle() { close(); }

ProcessHandle::ProcessHandle(ProcessHandle&& other) noexcept : pid_(other.pid_), native_(other.native_) {
    other.native_ = -1;
}

ProcessHandle& ProcessHandle::operator=(ProcessHandle&& other) noexcept {
    if (this != &other) {
        close();
        pid_ = other.pid_;
        native_ = other.native_;
        other.native_ = -1;
    }
    return *this;
}

TerminateResult Engine::terminate_process(Platform& platform, long long pid, bool force,
                                          const ExpectedName& expected_name,
                                          const std::string& pid_text) {
    return terminate_process(platform, pid, [force] { return force; }, expected_name, pid_text);
}

TerminateResult Engine::terminate_process(Platform& platform, long long pid, const std::function<bool()>& force,
                                          const ExpectedName& expected_name,
                                          const std::string& pid_text) {
    const std::string shown = pid_text.empty() ? numfmt::integer(pid) : pid_text;
    // 0 and negative ids address process groups (our own, or every process
    // of the user): refused before anything is opened. No process has the
    // id 0; a negative one is no process id at all.
    if (pid == 0) return {false, gone(shown), ProcessError::gone};
    if (pid < 0) return {false, "Hata: pid must be a positive integer (got " + shown + ")", ProcessError::invalid};
    // No process has an id beyond the kernel's range.
    if (pid > INT_MAX) return {false, gone(shown), ProcessError::gone};

    ProcessHandle handle;
    if (const ProcessStatus st = platform.open_process(pid, handle); !st.ok()) return failed(st, shown);

    std::string stat;
    if (const int rc = platform.read_process_file(pid, "stat", stat)) return failed_errno(rc, shown);
    const auto lpar = stat.find('(');
    const auto rpar = stat.rfind(')');
    if (lpar == std::string::npos || rpar == std::string::npos || rpar < lpar)
        return {false, "Hata: unreadable process status", ProcessError::other};
    const std::string comm = stat.substr(lpar + 1, rpar - lpar - 1);
    bool denied_cmdline = false;
    std::vector<std::string> args;
    if (text::code_point_count(comm) >= 15) {
        std::string data;
        const int rc = platform.read_process_file(pid, "cmdline", data);
        if (rc == ENOENT || rc == ESRCH) return {false, gone(shown), ProcessError::gone};
        denied_cmdline = rc != 0;
        if (rc == 0) args = parse_cmdline(data);
    }
    const std::string name = process_name(comm, denied_cmdline, args);

    // The name belongs to the process the handle holds only while it runs.
    if (const ProcessStatus st = platform.process_alive(handle); !st.ok()) return failed(st, shown);
    if (!expected_name.accepts(name)) return {false, gone(shown), ProcessError::gone};

    const bool kill = force();
    if (const ProcessStatus st = platform.signal_process(handle, kill ? SIGKILL : SIGTERM); !st.ok())
        return failed(st, shown);
    const std::string head = "'" + name + "' (PID " + shown + ") ";
    if (kill) return {true, head + "zorla kapatıldı (SIGKILL)."};
    return {true, head + "sonlandırma sinyali gönderildi (SIGTERM)."};
}

}  // namespace vyr::engine
