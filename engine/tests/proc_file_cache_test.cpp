// The kept process files on the running kernel: a pid given to a new
// process, a process that stops letting this one read its io, thousands of
// short-lived children, the bound, the descriptor limit and its reserve, and
// the engine giving the files back when no list runs.
//
// Each case runs in a forked copy of the test program, so that limits,
// users and namespaces it changes stay there; the copy's exit status is the
// outcome (a message on standard error says which check failed).
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "fixture.hpp"
#include "linux/proc_file_cache.hpp"
#include "vyr/engine/engine.hpp"
#include "vyr/engine/linux_platform.hpp"

namespace vyr::engine::testing {
namespace {

constexpr int kSkipped = 77;

#define REQUIRE(cond)                                                                 \
    do {                                                                              \
        if (!(cond)) {                                                                \
            std::fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond);   \
            return 1;                                                                 \
        }                                                                             \
    } while (0)

// Runs `body` in a forked copy: 0 when it passed.
int in_child(const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

#define EXPECT_CHILD_PASSES(body)                                           \
    do {                                                                    \
        const int outcome = in_child(body);                                 \
        if (outcome == kSkipped) GTEST_SKIP() << "not allowed on this system"; \
        EXPECT_EQ(outcome, 0);                                              \
    } while (0)

// "<pid>/<name>" below the /proc folder.
std::string rel(long long pid, const char* name) { return std::to_string(pid) + "/" + name; }

int read_file(ProcFileCache& cache, long long pid, const char* name, std::string& out) {
    return cache.read(pid, ProcFileCache::slot_of(name), rel(pid, name).c_str(), out);
}

// The first field of a stat text: the pid it belongs to.
long long stat_pid(const std::string& stat) { return std::atoll(stat.c_str()); }

// A child that names itself `name`, says so on a pipe and waits to be killed.
pid_t start_sleeper(const char* name) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        prctl(PR_SET_NAME, name);
        char c = 'x';
        (void)!write(fds[1], &c, 1);
        for (;;) pause();
    }
    close(fds[1]);
    char c;
    (void)!read(fds[0], &c, 1);
    close(fds[0]);
    return pid;
}

void end(pid_t pid) {
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

std::vector<int> open_descriptors() {
    std::vector<int> out;
    if (DIR* d = opendir("/proc/self/fd")) {
        const int own = dirfd(d);
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.' && std::atoi(e->d_name) != own) out.push_back(std::atoi(e->d_name));
        closedir(d);
    }
    return out;
}

bool process_gone(int rc) { return rc == ESRCH || rc == ENOENT; }

// The first of a new pid namespace, with that namespace's own /proc at
// `dir`: a kept file of an ended process never reads the process that got
// its pid next, and the read falls back to the new process's own file.
int pid_reuse_in_namespace(const std::string& dir) {
    if (mount("proc", dir.c_str(), "proc", 0, nullptr) != 0) return kSkipped;
    const int proc = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    REQUIRE(proc >= 0);
    ProcFileCache cache(proc, 64);
    std::string text;

    const pid_t first = start_sleeper("vyr-first");
    REQUIRE(read_file(cache, first, "stat", text) == 0);
    REQUIRE(text.find("(vyr-first)") != std::string::npos);
    REQUIRE(read_file(cache, first, "status", text) == 0);
    REQUIRE(cache.kept() == 2);
    end(first);

    // The next process takes the same pid.
    const int last = openat(proc, "sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
    if (last < 0) return kSkipped;
    const std::string before = std::to_string(first - 1);
    REQUIRE(write(last, before.data(), before.size()) == static_cast<ssize_t>(before.size()));
    close(last);
    const pid_t second = start_sleeper("vyr-second");
    REQUIRE(second == first);

    REQUIRE(read_file(cache, second, "stat", text) == 0);
    REQUIRE(text.find("(vyr-second)") != std::string::npos);
    REQUIRE(cache.kept() == 1);  // the first one's status file went with its stat
    REQUIRE(read_file(cache, second, "status", text) == 0);
    REQUIRE(text.find("Name:\tvyr-second\n") != std::string::npos);
    REQUIRE(read_file(cache, second, "stat", text) == 0);  // from the kept file
    REQUIRE(text.find("(vyr-second)") != std::string::npos);
    REQUIRE(cache.kept() == 2);

    end(second);
    REQUIRE(process_gone(read_file(cache, second, "stat", text)));
    REQUIRE(cache.kept() == 0);
    close(proc);
    umount2(dir.c_str(), MNT_DETACH);
    return 0;
}

TEST(ProcFileCacheTest, ReusedPidReadsTheNewProcess) {
    char dir[] = "/tmp/vyr_procns_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string proc_dir = dir;
    auto body = [&]() -> int {
        if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) return kSkipped;
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return kSkipped;
        return in_child([&] { return pid_reuse_in_namespace(proc_dir); });
    };
    const int outcome = in_child(body);
    rmdir(dir);
    if (outcome == kSkipped) GTEST_SKIP() << "a private pid namespace needs CAP_SYS_ADMIN";
    EXPECT_EQ(outcome, 0);
}

// A process that turns itself non-dumpable stops letting a process of the
// same user read its io: the kept io file reads EACCES, the process's files
// are closed, and the io file opened afresh is refused too. Its status stays
// readable and is kept again.
int permission_dropped() {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                           setresuid(65534, 65534, 65534) != 0))
        return kSkipped;
    prctl(PR_SET_DUMPABLE, 1);  // a change of user made this process and its children non-dumpable
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    REQUIRE(proc >= 0);
    int ask[2], done[2];
    REQUIRE(pipe(ask) == 0 && pipe(done) == 0);
    const pid_t target = fork();
    if (target == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        char c;
        (void)!read(ask[0], &c, 1);
        prctl(PR_SET_DUMPABLE, 0);
        (void)!write(done[1], &c, 1);
        for (;;) pause();
    }
    ProcFileCache cache(proc, 64);
    std::string text;
    REQUIRE(read_file(cache, target, "io", text) == 0);
    REQUIRE(text.find("read_bytes:") != std::string::npos);
    REQUIRE(read_file(cache, target, "status", text) == 0);
    REQUIRE(cache.kept() == 2);

    char c = 'x';
    REQUIRE(write(ask[1], &c, 1) == 1 && read(done[0], &c, 1) == 1);
    REQUIRE(read_file(cache, target, "io", text) == EACCES);
    REQUIRE(cache.kept() == 0);
    REQUIRE(read_file(cache, target, "status", text) == 0);
    REQUIRE(read_file(cache, target, "io", text) == EACCES);
    REQUIRE(cache.kept() == 1);
    end(target);
    return 0;
}

TEST(ProcFileCacheTest, ProcessThatDropsPermissions) { EXPECT_CHILD_PASSES(permission_dropped); }

// Waves of children, each file of each read once while they live and once
// after they ended: no read gives another process's text, nothing is kept
// of an ended process, and every descriptor comes back.
int short_lived_children() {
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    REQUIRE(proc >= 0);
    const std::vector<int> before = open_descriptors();
    ProcFileCache cache(proc, ProcFileCache::kDefaultBound);
    constexpr int kWaves = 2, kChildren = 1000;
    if (cache.bound() < 4 * kChildren) return kSkipped;  // a hard descriptor limit too low
    std::string text;
    for (int wave = 0; wave < kWaves; ++wave) {
        std::vector<pid_t> children;
        for (int i = 0; i < kChildren; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                for (;;) pause();
            }
            REQUIRE(pid > 0);
            children.push_back(pid);
        }
        for (const pid_t pid : children) {
            REQUIRE(read_file(cache, pid, "stat", text) == 0 && stat_pid(text) == pid);
            for (const char* name : {"status", "io", "cmdline"}) REQUIRE(read_file(cache, pid, name, text) == 0);
        }
        REQUIRE(cache.kept() == 4u * kChildren);
        for (const pid_t pid : children) kill(pid, SIGKILL);
        for (const pid_t pid : children) waitpid(pid, nullptr, 0);
        // Half are read once more (the reads fail and close their files),
        // the listing drops the rest.
        for (std::size_t i = 0; i < children.size(); i += 2)
            REQUIRE(process_gone(read_file(cache, children[i], "stat", text)));
        REQUIRE(cache.kept() == 2u * kChildren);
        cache.keep_only({getpid()});
        REQUIRE(cache.kept() == 0);
    }
    REQUIRE(open_descriptors() == before);
    return 0;
}

TEST(ProcFileCacheTest, ThousandsOfShortLivedChildren) { EXPECT_CHILD_PASSES(short_lived_children); }

// Beyond the bound, files are read the plain way and give the same text.
int bound_reached() {
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    REQUIRE(proc >= 0);
    std::vector<pid_t> children;
    for (int i = 0; i < 3; ++i) children.push_back(start_sleeper("vyr-bound"));
    ProcFileCache cache(proc, 6);
    std::string text;
    for (int round = 0; round < 2; ++round) {
        for (const pid_t pid : children) {
            REQUIRE(read_file(cache, pid, "stat", text) == 0 && stat_pid(text) == pid);
            REQUIRE(text.find("(vyr-bound)") != std::string::npos);
            for (const char* name : {"status", "io", "cmdline"}) REQUIRE(read_file(cache, pid, name, text) == 0);
            REQUIRE(!text.empty());
        }
        REQUIRE(cache.kept() == 6);
    }
    for (const pid_t pid : children) end(pid);
    return 0;
}

TEST(ProcFileCacheTest, BoundReached) { EXPECT_CHILD_PASSES(bound_reached); }

// The soft descriptor limit is raised only as far as the bound and the
// reserve need, and only where that gives room for a file; the reserve is
// the largest of 256, a quarter of the numbers from 1 024 to the limit and
// half of those the program started with.
TEST(ProcFileCacheTest, DescriptorLimit) {
    rlimit current{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &current), 0);
    struct Case {
        rlim_t soft, hard;
        std::size_t bound;
        rlim_t soft_after;
        std::size_t files;
    };
    const Case cases[] = {
        {64, 100, 1000, 64, 0},                  // no room above 1 024: not raised, none kept
        {1024, 1200, 1000, 1024, 0},             // room for the reserve only
        {1024, 18000, 16384, 18000, 12732},      // the hard limit stops it: a quarter stays free
        {1024, 18000, 100, 1380, 100},           // raised as far as needed: 256 stay free
        {64, 20000, 16384, 20000, 14232},
        {17500, 18000, 16384, 18000, 8738},      // half of the room it started with stays free
        {2048, 2048, 16384, 2048, 512},          // soft = hard: half the room stays free
        {5000, 5000, 16384, 5000, 1988},
        {1024, 1024, 16384, 1024, 0},            // no room at all
        {1024, 18000, 0, 1024, 0},               // off
    };
    for (const Case& c : cases) {
        if (c.hard > current.rlim_max) continue;
        SCOPED_TRACE(std::to_string(c.soft) + "/" + std::to_string(c.hard) + " bound " + std::to_string(c.bound));
        EXPECT_EQ(in_child([&] {
                      const rlimit lim{c.soft, c.hard};
                      REQUIRE(setrlimit(RLIMIT_NOFILE, &lim) == 0);
                      const std::size_t files = ProcFileCache::descriptor_room(c.bound);
                      rlimit after{};
                      REQUIRE(getrlimit(RLIMIT_NOFILE, &after) == 0);
                      REQUIRE(after.rlim_cur == c.soft_after && after.rlim_max == c.hard);
                      REQUIRE(files == c.files);
                      return 0;
                  }),
                  0);
    }
}

// A soft limit below 1 024: kept descriptors still take numbers from 1 024
// up, close-on-exec, and every number below the old limit that was free is
// free still. Where the hard limit does not reach above 1 024, none is kept.
TEST(ProcFileCacheTest, NumbersBelow1024StayFree) {
    rlimit current{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &current), 0);
    for (const rlim_t hard : {rlim_t{20000}, rlim_t{100}}) {
        if (hard > current.rlim_max) continue;
        SCOPED_TRACE("hard " + std::to_string(hard));
        EXPECT_EQ(in_child([&] {
                      const rlimit lim{64, hard};
                      REQUIRE(setrlimit(RLIMIT_NOFILE, &lim) == 0);
                      const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                      std::vector<pid_t> children;
                      for (int i = 0; i < 12; ++i) children.push_back(start_sleeper("vyr-limit"));
                      const std::vector<int> before = open_descriptors();
                      ProcFileCache cache(proc, 1000);
                      std::string text;
                      for (const pid_t pid : children)
                          for (const char* name : {"stat", "status", "io", "cmdline"})
                              REQUIRE(read_file(cache, pid, name, text) == 0);
                      const std::size_t expected = hard > 1024 ? 48 : 0;
                      REQUIRE(cache.kept() == expected);
                      std::size_t kept = 0;
                      for (const int fd : open_descriptors()) {
                          if (std::count(before.begin(), before.end(), fd)) continue;
                          ++kept;
                          REQUIRE(fd >= 1024);
                          REQUIRE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
                      }
                      REQUIRE(kept == expected);
                      int opened = 0;
                      for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0 && fd < 64;) ++opened;
                      REQUIRE(opened == 64 - static_cast<int>(std::count_if(before.begin(), before.end(),
                                                                             [](int fd) { return fd < 64; })));
                      for (const pid_t pid : children) end(pid);
                      return 0;
                  }),
                  0);
    }
}

// Opens /dev/null until no descriptor is left; the descriptors opened.
std::vector<int> fill_descriptor_table() {
    std::vector<int> fds;
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fds.push_back(fd);
    return fds;
}

void close_all(std::vector<int>& fds) {
    for (const int fd : fds) close(fd);
    fds.clear();
}

// The rest of the program takes every descriptor left: a read that finds
// none closes the kept files and opens once more, and no file is kept in
// that list; while the program's own descriptors reach into the reserve, no
// list keeps any. Once they are given back, files are kept again. With no
// descriptor at all, the read says so.
int out_of_descriptors() {
    const rlimit lim{2048, 2048};
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0) return kSkipped;
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    REQUIRE(proc >= 0);
    std::vector<pid_t> children;
    for (int i = 0; i < 12; ++i) children.push_back(start_sleeper("vyr-full"));
    std::vector<long long> listed(children.begin(), children.end());
    listed.push_back(getpid());
    std::sort(listed.begin(), listed.end());
    ProcFileCache cache(proc, 1000);
    REQUIRE(cache.bound() == 512);
    std::string text;
    auto read_all = [&] {
        for (const pid_t pid : children)
            for (const char* name : {"stat", "status", "io", "cmdline"})
                if (read_file(cache, pid, name, text) != 0) return false;
        return true;
    };
    REQUIRE(read_all());
    REQUIRE(cache.kept() == 48);

    std::vector<int> own = fill_descriptor_table();
    REQUIRE(read_file(cache, getpid(), "stat", text) == 0 && stat_pid(text) == getpid());
    REQUIRE(cache.kept() == 0);
    REQUIRE(read_all());
    REQUIRE(cache.kept() == 0);
    const int mine = open("/dev/null", O_RDONLY | O_CLOEXEC);  // the rest of the program can open again
    REQUIRE(mine >= 0);
    close(mine);

    cache.keep_only(listed);  // the next list
    REQUIRE(read_all());
    REQUIRE(cache.kept() == 0);

    std::vector<int> last = fill_descriptor_table();
    REQUIRE(read_file(cache, getpid(), "status", text) == EMFILE);
    close_all(last);

    close_all(own);
    cache.keep_only(listed);
    REQUIRE(read_all());
    REQUIRE(cache.kept() == 48);

    // The rest of the program takes every number below the reserve's 512:
    // the files read there are not kept, and the reserve stays free.
    cache.close_all();
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
        own.push_back(fd);
        if (fd == 2048 - 512 - 1) break;
    }
    cache.keep_only(listed);
    REQUIRE(read_all());
    REQUIRE(cache.kept() == 0);
    last = fill_descriptor_table();
    REQUIRE(last.size() == 512);
    close_all(last);
    close_all(own);
    for (const pid_t pid : children) end(pid);
    return 0;
}

TEST(ProcFileCacheTest, OutOfDescriptors) { EXPECT_CHILD_PASSES(out_of_descriptors); }

// VYR_PROC_FILES_KEPT bounds the files the system platform keeps; 0 turns
// keeping off.
TEST(ProcFileCacheTest, BoundFromTheEnvironment) {
    struct Case {
        const char* value;
        std::size_t kept;
    };
    for (const Case& c : {Case{"0", 0}, Case{"5", 5}, Case{"", 8}, Case{"many", 8}}) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(in_child([&] {
                      setenv("VYR_PROC_FILES_KEPT", c.value, 1);
                      LinuxPlatform platform;
                      std::string text;
                      for (const long long pid : {static_cast<long long>(getpid()), static_cast<long long>(getppid())})
                          for (const char* name : {"stat", "status", "io", "cmdline"})
                              REQUIRE(platform.read_listed_process_file(pid, name, text) == 0);
                      REQUIRE(platform.kept_process_files() == c.kept);
                      REQUIRE(platform.read_process_file(getpid(), "status", text) == 0);  // read and closed
                      platform.pids();  // both still listed
                      REQUIRE(platform.kept_process_files() == c.kept);
                      return 0;
                  }),
                  0);
    }
}

// The engine on the running system with the files kept as by default, its
// folder scan off, on a clock the test moves.
struct LiveEngine {
    std::shared_ptr<LinuxPlatform> platform = [] {
        unsetenv("VYR_PROC_FILES_KEPT");
        return std::make_shared<LinuxPlatform>("");
    }();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    Engine engine{platform, clock, [] {
                      EngineOptions o;
                      o.start_folder_scan = false;
                      return o;
                  }()};

    std::vector<ProcessEntry> list(const std::string& search = "") {
        return engine.collect_processes("workload", SearchQuery::from_text(search), false, LLONG_MAX);
    }
};

// While lists run, the kept files stay open across snapshots; once no list
// has run for the idle time (ten seconds), the next snapshot closes them all
// and the program holds only the descriptors it had. The next list opens
// them again.
int idle_files_closed() {
    LiveEngine live;
    const std::vector<int> made = open_descriptors();
    for (int cycle = 0; cycle < 10; ++cycle) {
        live.engine.get_system_snapshot();
        REQUIRE(!live.list().empty());
        REQUIRE(live.platform->kept_process_files() > 0);
        live.clock->advance(1.5);
    }
    live.clock->advance(10.0 - 1.5 - 0.5);
    live.engine.get_system_snapshot();
    REQUIRE(live.platform->kept_process_files() > 0);
    live.clock->advance(0.5);
    live.engine.get_system_snapshot();
    REQUIRE(live.platform->kept_process_files() == 0);
    REQUIRE(open_descriptors() == made);

    REQUIRE(!live.list().empty());
    REQUIRE(live.platform->kept_process_files() > 0);
    live.clock->advance(30.0);
    live.engine.get_system_snapshot();
    REQUIRE(live.platform->kept_process_files() == 0);
    return 0;
}

TEST(ProcFileCacheTest, FilesClosedWhenNoListRuns) { EXPECT_CHILD_PASSES(idle_files_closed); }

// A table with all but a handful of descriptors taken before the engine is
// made: the lists are whole, and the program can still open files and take
// snapshots. With none left at all, the list fails instead of leaving out
// the processes it could not read.
int nearly_full_table() {
    const rlimit lim{4096, 4096};
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0) return kSkipped;
    // A name of this run's own: other tests list processes of their own meanwhile.
    const std::string name = "vyr-nf-" + std::to_string(getpid());
    std::vector<pid_t> children;
    for (int i = 0; i < 200; ++i) children.push_back(start_sleeper(name.c_str()));
    std::sort(children.begin(), children.end());  // pids wrap around
    std::vector<int> own = fill_descriptor_table();
    for (int i = 0; i < 8; ++i) {
        close(own.back());
        own.pop_back();
    }
    LiveEngine live;
    for (int round = 0; round < 3; ++round) {
        std::vector<pid_t> found;
        for (const ProcessEntry& row : live.list(name)) found.push_back(static_cast<pid_t>(row.pid));
        std::sort(found.begin(), found.end());
        REQUIRE(found == children);
        const int mine = open("/dev/null", O_RDONLY | O_CLOEXEC);
        REQUIRE(mine >= 0);
        close(mine);
        live.engine.get_system_snapshot();
    }

    std::vector<int> last = fill_descriptor_table();
    std::exception_ptr thrown;
    try {
        live.list();
    } catch (const SystemError&) {
        thrown = std::current_exception();
    }
    // Looked at once there are descriptors again: the sanitizers' checks
    // of the error object need some.
    close_all(last);
    int failure = 0;
    try {
        if (thrown) std::rethrow_exception(thrown);
    } catch (const SystemError& e) {
        failure = e.error_number();
    }
    REQUIRE(failure == EMFILE);
    close_all(own);
    for (const pid_t pid : children) end(pid);
    return 0;
}

TEST(ProcFileCacheTest, NearlyFullDescriptorTable) { EXPECT_CHILD_PASSES(nearly_full_table); }

}  // namespace
}  // namespace vyr::engine::testing
