// The app shell's Windows files at work: the fallback lock that Windows does without,
// the signal bridge on the C runtime's signal(), and the display probe's Windows branch.
//
//   app_win32_test [CASE]...           runs the named cases, or all
//   app_win32_test --wait-for-interrupts N
//       installs the bridge, prints "ready" and then one line "signal S main=M" for every
//       signal that reaches the callback (M is 1 on the thread that runs the timers), until
//       N arrived (exit 0) or five minutes passed (exit 1); the tests interrupt it from
//       outside
#include <windows.h>

#include <csignal>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <QTimer>

#include "checks.hpp"
#include "vyr/shell/display_probe.hpp"
#include "vyr/shell/fallback_lock.hpp"
#include "vyr/shell/signal_bridge.hpp"

namespace {

using vyr::shell::LockAttempt;
using vyr::shell::SignalBridge;
using checks::read_file;
using checks::write_file;

constexpr int kInterruptLimitMs = 5 * 60 * 1000;

// Windows has no POSIX file locking: every copy runs, whatever the file looks like and
// whoever holds it, and the file is neither made nor touched.
void fallback_lock_lets_every_copy_run() {
    CHECK(!vyr::shell::fallback_locking_supported());
    const std::wstring folder = checks::new_folder(L"vyr_fallback_");
    const std::wstring fresh = folder + L"\\vyr-linux-monitor.lock";
    const std::wstring kept = folder + L"\\kept.lock";
    write_file(kept, "someone else's data");
    const std::wstring held = folder + L"\\held.lock";
    write_file(held, "x");
    const HANDLE holder = CreateFileW(held.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    OVERLAPPED whole{};
    CHECK(LockFileEx(holder, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole));

    struct Case {
        const char* name;
        std::wstring path;
        std::optional<std::string> content;  // what the file holds before and after
    } cases[] = {
        {"no file yet", fresh, std::nullopt},
        {"a file left behind", kept, std::string("someone else's data")},
        {"a file locked by another holder", held, std::nullopt},
        {"a missing folder", folder + L"\\missing\\vyr-linux-monitor.lock", std::nullopt},
    };
    for (const Case& c : cases) {
        std::printf("  case: %s\n", c.name);
        for (int copy = 0; copy < 2; ++copy) {
            const LockAttempt attempt = vyr::shell::try_fallback_lock(checks::utf8(c.path));
            CHECK(attempt.outcome == LockAttempt::Outcome::Unavailable);
            CHECK_EQ(attempt.fd, -1);
        }
        if (c.path != held) CHECK(read_file(c.path) == c.content);
    }
    UnlockFileEx(holder, 0, MAXDWORD, MAXDWORD, &whole);
    CloseHandle(holder);
}

// The C runtime resets a handler to the default before it runs it; the bridge must stay
// installed, or the next SIGINT ends the process.
void signal_bridge_carries_raised_signals_to_the_timer_thread() {
    CHECK(SignalBridge::install_handlers());
    CHECK(SignalBridge::install_handlers());  // a second call keeps them installed
    const DWORD main_thread = GetCurrentThreadId();
    std::vector<std::pair<int, DWORD>> seen;
    {
        SignalBridge bridge([&](int signum) { seen.emplace_back(signum, GetCurrentThreadId()); });
        QTimer::process_timers(250);
        CHECK(seen.empty());
        const int sequence[] = {SIGTERM, SIGINT, SIGINT, SIGTERM, SIGINT};
        for (int signum : sequence) {
            const size_t before = seen.size();
            CHECK_EQ(raise(signum), 0);
            QTimer::process_timers(250);
            CHECK_EQ(seen.size(), before + 1);
            if (seen.size() == before + 1) {
                CHECK_EQ(seen.back().first, signum);
                CHECK_EQ(seen.back().second, main_thread);
            }
        }
    }
    // A signal that comes while no bridge watches waits for the next one.
    CHECK_EQ(raise(SIGTERM), 0);
    QTimer::process_timers(250);
    CHECK_EQ(seen.size(), 5u);
    SignalBridge later([&](int signum) { seen.emplace_back(signum, GetCurrentThreadId()); });
    QTimer::process_timers(250);
    CHECK_EQ(seen.size(), 6u);
}

class ProcessEnvironment final : public vyr::shell::Environment {
public:
    bool contains(const std::string& name) override { return get(name).has_value(); }
    std::optional<std::string> get(const std::string& name) override {
        wchar_t value[1024] = {};
        SetLastError(ERROR_SUCCESS);
        const DWORD n = GetEnvironmentVariableW(checks::wide(name).c_str(), value, 1024);
        if (n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
        return checks::utf8(value);
    }
    void set(const std::string& name, const std::string& value) override {
        SetEnvironmentVariableW(checks::wide(name).c_str(), checks::wide(value).c_str());
    }
    static void put(const char* name, const std::optional<std::string>& value) {
        SetEnvironmentVariableW(checks::wide(name).c_str(), value ? checks::wide(*value).c_str() : nullptr);
    }
};

struct OpenerThatOpensAll final : vyr::shell::DisplayOpener {
    int loads = 0;
    std::vector<std::string> tried;
    bool load() override {
        ++loads;
        return true;
    }
    bool try_open(const std::string& name) override {
        tried.push_back(name);
        return true;
    }
    bool try_open_wayland(const std::string& socket_path) override {
        tried.push_back(socket_path);
        return true;
    }
};

// On Windows the probe loads nothing and changes nothing, even with a display at hand.
void display_probe_leaves_windows_alone() {
    CHECK(vyr::shell::system_display_opener() == nullptr);
    struct Case {
        std::optional<std::string> display;
        std::optional<std::string> platform;
    } cases[] = {
        {std::string(":0"), std::nullopt},
        {std::nullopt, std::nullopt},
        {std::string(":1"), std::string("")},
    };
    // A Wayland compositor at hand changes nothing either.
    SetEnvironmentVariableW(L"WAYLAND_DISPLAY", L"wayland-0");
    SetEnvironmentVariableW(L"XDG_RUNTIME_DIR", L"C:\\run");
    ProcessEnvironment env;
    for (const Case& c : cases) {
        ProcessEnvironment::put("DISPLAY", c.display);
        ProcessEnvironment::put("QT_QPA_PLATFORM", c.platform);
        // As the module does it: without a system opener the probe is not run at all.
        if (auto* opener = vyr::shell::system_display_opener()) {
            vyr::shell::configure_display_platform(env, *opener, true);
        }
        OpenerThatOpensAll opener;
        vyr::shell::configure_display_platform(env, opener, true);
        CHECK_EQ(opener.loads, 0);
        CHECK(opener.tried.empty());
        CHECK(env.get("DISPLAY") == c.display);
        CHECK(env.get("QT_QPA_PLATFORM") == c.platform);
    }
}

int wait_for_interrupts(int wanted) {
    SignalBridge::install_handlers();
    const DWORD main_thread = GetCurrentThreadId();
    int count = 0;
    SignalBridge bridge([&](int signum) {
        std::printf("signal %d main=%d\n", signum, GetCurrentThreadId() == main_thread ? 1 : 0);
        std::fflush(stdout);
        ++count;
    });
    std::printf("ready\n");
    std::fflush(stdout);
    for (int waited = 0; count < wanted && waited < kInterruptLimitMs; waited += 100) QTimer::process_timers(100);
    return count >= wanted ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wstring(argv[1]) == L"--wait-for-interrupts") return wait_for_interrupts(_wtoi(argv[2]));
    return checks::run({{"fallback_lock", fallback_lock_lets_every_copy_run},
                        {"signal_bridge", signal_bridge_carries_raised_signals_to_the_timer_thread},
                        {"display_probe", display_probe_leaves_windows_alone}},
                       argc, argv);
}
