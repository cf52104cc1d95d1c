// Swap and lifetime I/O of one process from its status and io files.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>

#include "fixture.hpp"
#include "vyr/engine/engine.hpp"

namespace vyr::engine::testing {
namespace {

TEST(ProcCounters, StatusAndIoFiles) {
    struct Case {
        const char* name;
        std::optional<std::string> status;  // none: no such file
        std::optional<std::string> io;
        double swap_mb;
        long long io_bytes;
    } cases[] = {
        {"tab, blanks and unit", "Name:\tx\nVmSwap:\t    512 kB\n", "read_bytes: 300\nwrite_bytes: 200\n", 0.5, 500},
        {"zero", "VmSwap:\t0 kB\n", "read_bytes: 300\n", 0.0, 300},
        {"no value stops the read", "VmSwap:\nVmSwap:\t1024 kB\n", "write_bytes: 200\n", 0.0, 200},
        {"later garbage is not read", "VmSwap:\t2048 kB\nVmSwap: junk\n\xff\xfe", "read_bytes: 1\nwrite_bytes: 2\n",
         2.0, 3},
        {"a bad value gives 0.0", "VmSwap:\tabc kB\n", "rchar: 5\n", 0.0, 0},
        {"a bad write count spoils the read count", "VmSwap:\t1024 kB\n", "read_bytes: 300\nwrite_bytes: x\n", 1.0,
         0},
        {"a count line without a value", "", "read_bytes:\nwrite_bytes: 5\n", 0.0, 0},
        {"only lines that start with the label count", "", "  read_bytes: 5\nxread_bytes: 7\nwrite_bytes: 1\n", 0.0,
         1},
        {"a repeated line overrides", "", "read_bytes: 5\nread_bytes: 9\n", 0.0, 9},
        {"undecodable bytes are dropped", "Vm\xffSwap:\t1\xfe""024 kB\n", "read_\xff""bytes: 4\xc3\n", 1.0, 4},
        {"io file unreadable", "VmSwap:\t1024 kB\n", std::nullopt, 1.0, 0},
        {"process gone", std::nullopt, std::nullopt, 0.0, 0},
        {"carriage returns end lines", "VmSwap:\t1024 kB\rVmRSS: 1\n", "read_bytes: 8\r\nwrite_bytes: 2\r\n", 1.0,
         10},
    };
    for (const auto& c : cases) {
        TempTree tree;
        tree.make_dir("proc/42");
        if (c.status) tree.write("proc/42/status", *c.status);
        if (c.io) tree.write("proc/42/io", *c.io);
        FixturePlatform platform(tree.root());
        const SwapAndIo r = Engine::read_proc_swap_and_io(platform, 42);
        EXPECT_DOUBLE_EQ(r.swap_mb, c.swap_mb) << c.name;
        EXPECT_EQ(r.total_io_bytes, c.io_bytes) << c.name;
    }
}

// Runs `read` as a user without rights to files that are not open to all:
// this process itself when it is not root, else a child that drops to the
// unprivileged "nobody" ids first. The figures come back through a pipe.
SwapAndIo read_as_another_user(const std::function<SwapAndIo()>& read) {
    if (geteuid() != 0) return read();
    int fds[2];
    if (pipe(fds) != 0) return {-1.0, -1};
    const pid_t child = fork();
    if (child == 0) {
        ::close(fds[0]);
        SwapAndIo r{-1.0, -1};
        if (setresgid(65534, 65534, 65534) == 0 && setresuid(65534, 65534, 65534) == 0) r = read();
        const bool sent = ::write(fds[1], &r, sizeof r) == static_cast<ssize_t>(sizeof r);
        _exit(sent ? 0 : 1);
    }
    ::close(fds[1]);
    SwapAndIo r{-1.0, -1};
    if (::read(fds[0], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) r = {-1.0, -1};
    ::close(fds[0]);
    waitpid(child, nullptr, 0);
    return r;
}

TEST(ProcCounters, UnreadableIoOfAnotherUser) {
    TempTree tree;
    tree.write("proc/42/status", "VmSwap:\t1024 kB\n");
    tree.write("proc/42/io", "read_bytes: 5\n");
    tree.chmod("proc/42/io", 0);
    for (const char* dir : {"", "proc", "proc/42"}) tree.chmod(dir, 0755);  // the child must reach the files
    const SwapAndIo r = read_as_another_user([&] {
        FixturePlatform platform(tree.root());
        return Engine::read_proc_swap_and_io(platform, 42);
    });
    EXPECT_DOUBLE_EQ(r.swap_mb, 1.0);
    EXPECT_EQ(r.total_io_bytes, 0);
}

// Fails the reads of the named process files with the given error.
class FailingReads : public FixturePlatform {
public:
    using FixturePlatform::FixturePlatform;
    std::map<std::string, int> failures;  // file name -> errno
    int read_process_file(long long pid, const char* name, std::string& out) override {
        const auto it = failures.find(name);
        if (it != failures.end()) return it->second;
        return FixturePlatform::read_process_file(pid, name, out);
    }
};

TEST(ProcCounters, FailedReadsAreTracedAndGiveTheDefaults) {
    TraceLines trace;
    TempTree tree;
    tree.write("proc/42/status", "VmSwap:\t1024 kB\n");
    tree.write("proc/42/io", "read_bytes: 5\nwrite_bytes: 6\n");
    FailingReads platform(tree.root());
    struct Case {
        std::map<std::string, int> failures;
        const char* io;  // the io file's text
        double swap_mb;
        long long io_bytes;
        std::vector<std::string> traced;
    } cases[] = {
        {{{"io", EACCES}}, "", 1.0, 0, {"vyr.engine: process io: pid 42: Permission denied (errno 13)"}},
        {{{"status", EIO}}, "read_bytes: 5\nwrite_bytes: 6\n", 0.0, 11,
         {"vyr.engine: process swap: pid 42: Input/output error (errno 5)"}},
        {{}, "read_bytes: 5\nwrite_bytes: x\n", 1.0, 0,
         {"vyr.engine: process io: pid 42: a count that is not a number"}},
        // a process that has ended is no failure
        {{{"status", ESRCH}, {"io", ENOENT}}, "", 0.0, 0, {}},
    };
    for (const auto& c : cases) {
        trace.restart();
        tree.write("proc/42/io", c.io);
        platform.failures = c.failures;
        const SwapAndIo r = Engine::read_proc_swap_and_io(platform, 42);
        EXPECT_DOUBLE_EQ(r.swap_mb, c.swap_mb) << c.io;
        EXPECT_EQ(r.total_io_bytes, c.io_bytes) << c.io;
        EXPECT_EQ(trace.lines, c.traced);
    }
}

TEST(ProcCounters, WindowsTakesThePlatformCountersAndNoSwap) {
    TempTree tree;
    tree.write("proc/42/status", "VmSwap:\t1024 kB\n");
    tree.write("proc/42/io", "read_bytes: 5\n");
    WindowsStepsPlatform platform(tree.root());
    platform.io_counters[42] = IoTotals{700, 300};
    SwapAndIo r = Engine::read_proc_swap_and_io(platform, 42);
    EXPECT_EQ(r.swap_mb, 0.0);
    EXPECT_EQ(r.total_io_bytes, 1000);
    r = Engine::read_proc_swap_and_io(platform, 43);  // gone
    EXPECT_EQ(r.swap_mb, 0.0);
    EXPECT_EQ(r.total_io_bytes, 0);
}

TEST(ProcCounters, LiveProcessOfThisTest) {
    LinuxPlatform platform;
    const SwapAndIo r = Engine::read_proc_swap_and_io(platform, getpid());
    EXPECT_GE(r.swap_mb, 0.0);
    EXPECT_GE(r.total_io_bytes, 0);
    const SwapAndIo none = Engine::read_proc_swap_and_io(platform, 999999999);
    EXPECT_EQ(none.swap_mb, 0.0);
    EXPECT_EQ(none.total_io_bytes, 0);
}

}  // namespace
}  // namespace vyr::engine::testing
