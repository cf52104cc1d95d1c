// Ending processes. Real signals go only to children of this test that run
// in a session of their own; the invalid ids are tried on a platform that
// only records what would have been signalled.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fcntl.h>

#include <climits>
#include <filesystem>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include "fixture.hpp"
#include "vyr/engine/engine.hpp"
#include "vyr/numfmt.hpp"

namespace vyr::engine::testing {
namespace {

using numfmt::integer;

// A child in its own session running `program` (found on the search path).
// The kernel shows the new name in the stat file a moment before the new command
// line, so the child counts as started once both are there (or once it has ended).
class Child {
public:
    explicit Child(const std::string& program, const char* arg = "30") {
        pid_ = fork();
        if (pid_ == 0) {
            setsid();
            execlp(program.c_str(), program.c_str(), arg, static_cast<char*>(nullptr));
            _exit(127);
        }
        const std::string name = "(" + program.substr(program.rfind('/') + 1).substr(0, 15) + ")";
        const std::string command_line = program + '\0' + arg + '\0';
        const auto deadline = std::chrono::steady_clock::now() + kLimit;
        while (!runs_program(name, command_line) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~Child() {
        if (!reaped_) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }
    // The signal that ended the child, -1 when it exited, 0 when it still runs after a
    // limit far above what a busy machine takes.
    int ended_by() {
        const auto deadline = std::chrono::steady_clock::now() + kLimit;
        do {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } while (std::chrono::steady_clock::now() < deadline);
        return 0;
    }
    bool running() {
        int status = 0;
        return waitpid(pid_, &status, WNOHANG) == 0;
    }

private:
    static constexpr std::chrono::seconds kLimit{60};

    // Whether the stat file names the program and the command line is the one given,
    // or the child has already ended (an ended child keeps no command line).
    bool runs_program(const std::string& name, const std::string& command_line) const {
        std::ifstream stat("/proc/" + integer(pid_) + "/stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        if (close == std::string::npos) return false;
        if (line.compare(close, 3, ") Z") == 0) return true;
        if (line.find(name) == std::string::npos) return false;
        std::ifstream cmdline("/proc/" + integer(pid_) + "/cmdline", std::ios::binary);
        const std::string seen((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
        return seen == command_line;
    }

    pid_t pid_;
    bool reaped_ = false;
};

// The descriptors this process has open.
std::ptrdiff_t open_descriptors() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator());
}

TEST(Terminate, EndAndKillAChild) {
    LinuxPlatform platform;
    const std::ptrdiff_t descriptors = open_descriptors();
    Child a("sleep");
    auto r = Engine::terminate_process(platform, a.pid(), false);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.message, "'sleep' (PID " + integer(a.pid()) + ") sonlandırma sinyali gönderildi (SIGTERM).");
    EXPECT_EQ(a.ended_by(), SIGTERM);

    Child b("sleep");
    r = Engine::terminate_process(platform, b.pid(), true);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.message, "'sleep' (PID " + integer(b.pid()) + ") zorla kapatıldı (SIGKILL).");
    EXPECT_EQ(b.ended_by(), SIGKILL);
    // The process handles were closed again.
    EXPECT_EQ(open_descriptors(), descriptors);
}

TEST(Terminate, AHandleClosesItsDescriptorOnce) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ::close(fds[1]);
    {
        ProcessHandle first(42, fds[0]);
        ProcessHandle second(std::move(first));  // the descriptor moves with it
        EXPECT_EQ(first.native(), -1);
        EXPECT_EQ(second.native(), fds[0]);
        EXPECT_NE(fcntl(fds[0], F_GETFD), -1);
    }
    EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(Terminate, ExitedProcessAndLongNames) {
    LinuxPlatform platform;
    Child gone("true");
    ASSERT_EQ(gone.ended_by(), -1);
    auto r = Engine::terminate_process(platform, gone.pid(), false);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "PID " + integer(gone.pid()) + " artık çalışmıyor.");

    // A name longer than the kernel keeps comes from the command line.
    TempTree tree;
    tree.symlink("/bin/sleep", "a-long-program-name-here");
    Child longer(tree.path("a-long-program-name-here"));
    r = Engine::terminate_process(platform, longer.pid(), false, std::string("a-long-program-name-here"));
    EXPECT_TRUE(r.ok) << r.message;
    EXPECT_EQ(r.message.substr(0, 27), "'a-long-program-name-here' ");
    EXPECT_EQ(longer.ended_by(), SIGTERM);
}

TEST(Terminate, AnotherProgramAtTheConfirmedPidIsNotSignalled) {
    LinuxPlatform platform;
    Child c("sleep");
    for (const ExpectedName& other : {ExpectedName(std::string("firefox")), ExpectedName::no_process()}) {
        const auto r = Engine::terminate_process(platform, c.pid(), true, other);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.message, "PID " + integer(c.pid()) + " artık çalışmıyor.");
        EXPECT_TRUE(c.running());
    }
}

// Records signals instead of sending them; every process "exists".
class RecordingPlatform : public LinuxPlatform {
public:
    explicit RecordingPlatform(const std::string& root) : LinuxPlatform(root) {}
    ProcessStatus open_process(long long pid, ProcessHandle& handle) override {
        opened.push_back(pid);
        handle = ProcessHandle(pid, -1);
        return {};
    }
    ProcessStatus process_alive(const ProcessHandle&) override { return ProcessStatus::from_errno(alive_error); }
    ProcessStatus signal_process(const ProcessHandle& handle, int sig) override {
        signalled.emplace_back(handle.pid(), sig);
        return ProcessStatus::from_errno(signal_error);
    }
    std::vector<long long> opened;
    std::vector<std::pair<long long, int>> signalled;
    int alive_error = 0;
    int signal_error = 0;
};

TEST(Terminate, IdsNoProcessCanHaveAreAnsweredBeforeAnySignal) {
    TempTree tree;
    RecordingPlatform platform(tree.root());
    const std::string invalid = "Hata: pid must be a positive integer (got ";
    struct Case {
        long long pid;
        std::string text;  // as the caller wrote it; "" for the decimal
        std::string message;
    } cases[] = {
        // 0 and below address process groups: never signalled; no process has
        // the id 0, and a negative one is no id
        {0, "", "PID 0 artık çalışmıyor."},
        {-1, "", invalid + "-1)"},
        {-4242, "", invalid + "-4242)"},
        {LLONG_MIN, "-1180591620717411303424", invalid + "-1180591620717411303424)"},
        // beyond the kernel's range: no such process, written as given
        {2147483648LL, "", "PID 2147483648 artık çalışmıyor."},
        {1LL << 40, "", "PID 1099511627776 artık çalışmıyor."},
        {LLONG_MAX, "1180591620717411303424", "PID 1180591620717411303424 artık çalışmıyor."},
    };
    for (const auto& c : cases) {
        for (bool force : {false, true}) {
            const auto r = Engine::terminate_process(platform, c.pid, force, std::nullopt, c.text);
            EXPECT_FALSE(r.ok) << c.pid;
            EXPECT_EQ(r.message, c.message);
        }
    }
    EXPECT_TRUE(platform.opened.empty());
    EXPECT_TRUE(platform.signalled.empty());
}

TEST(Terminate, ErrorMessages) {
    TempTree tree;
    tree.write("proc/77/stat", stat_line(77, "daemon", 'S', 0, 0, 1));
    struct Case {
        int alive_error, signal_error;
        ProcessError error;
        std::string message;
    } cases[] = {
        {0, EPERM, ProcessError::denied, "PID 77 sistem/root yetkisi gerektiriyor (İzin Reddedildi)."},
        {0, EACCES, ProcessError::denied, "PID 77 sistem/root yetkisi gerektiriyor (İzin Reddedildi)."},
        {EPERM, 0, ProcessError::denied, "PID 77 sistem/root yetkisi gerektiriyor (İzin Reddedildi)."},
        {0, ESRCH, ProcessError::gone, "PID 77 artık çalışmıyor."},
        {ESRCH, 0, ProcessError::gone, "PID 77 artık çalışmıyor."},  // the process ended after its name was read
        {0, EINVAL, ProcessError::invalid, "Hata: [Errno 22] Invalid argument"},
        {0, EIO, ProcessError::other, "Hata: [Errno 5] Input/output error"},
        {0, 0, ProcessError::none, "'daemon' (PID 77) sonlandırma sinyali gönderildi (SIGTERM)."},
    };
    for (const auto& c : cases) {
        RecordingPlatform platform(tree.root());
        platform.alive_error = c.alive_error;
        platform.signal_error = c.signal_error;
        const auto r = Engine::terminate_process(platform, 77, false);
        EXPECT_EQ(r.ok, c.error == ProcessError::none) << c.message;
        EXPECT_EQ(r.error, c.error) << c.message;
        EXPECT_EQ(r.message, c.message);
        EXPECT_EQ(platform.signalled.size(), c.alive_error ? 0u : 1u) << c.message;
    }
    // No such process file: nothing is signalled.
    RecordingPlatform platform(tree.root());
    const auto r = Engine::terminate_process(platform, 78, true);
    EXPECT_EQ(r.message, "PID 78 artık çalışmıyor.");
    EXPECT_EQ(r.error, ProcessError::gone);
    EXPECT_TRUE(platform.signalled.empty());
}

}  // namespace
}  // namespace vyr::engine::testing
