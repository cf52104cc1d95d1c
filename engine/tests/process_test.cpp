// The process list on a fixture /proc: shares between two lists, filters,
// names, grouping, sorting, the row limit and the per-process references.
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "fixture.hpp"
#include "vyr/engine/engine.hpp"
#include "vyr/numfmt.hpp"

namespace vyr::engine::testing {
namespace {

constexpr std::uint64_t GiB = 1073741824ULL;

class ProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        write_machine(tree);
        platform->usage["/"] = make_usage(100 * GiB, 40 * GiB);
        EngineOptions o;
        o.start_folder_scan = false;
        engine = std::make_unique<Engine>(platform, clock, o);
    }
    void add(const FakeProcess& p) {
        write_process(tree, p);
        procs[p.pid] = p;
    }
    FakeProcess& proc(long long pid) { return procs[pid]; }
    void rewrite() {
        for (auto& [pid, p] : procs) write_process(tree, p);
    }
    std::vector<ProcessEntry> list(const std::string& sort = "workload", const std::string& search = "",
                                   bool group = false, long long limit = 80) {
        return engine->collect_processes(sort, SearchQuery::from_text(search), group, limit);
    }
    static const ProcessEntry* find(const std::vector<ProcessEntry>& rows, long long pid) {
        for (const auto& r : rows)
            if (r.pid == pid) return &r;
        return nullptr;
    }
    static std::vector<long long> pids(const std::vector<ProcessEntry>& rows) {
        std::vector<long long> out;
        for (const auto& r : rows) out.push_back(r.pid);
        return out;
    }

    TempTree tree;
    std::shared_ptr<FixturePlatform> platform = std::make_shared<FixturePlatform>(tree.root());
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::unique_ptr<Engine> engine;
    std::map<long long, FakeProcess> procs;
};

TEST_F(ProcessTest, SharesAndRatesAppearFromTheSecondList) {
    FakeProcess worker{100, "worker", {"/usr/bin/worker", "--fast"}};
    worker.read_bytes = 4096;  // a process without any I/O yet gets no disk reference
    add(worker);
    add({200, "idle", {"idle"}});
    for (const auto& row : list()) {
        EXPECT_EQ(row.cpu_percent, 0.0) << row.name;
        EXPECT_EQ(row.disk_rw_kb_s, 0.0) << row.name;
    }
    proc(100).utime += 60;  // 0.6 s user
    proc(100).stime += 40;  // 0.4 s system
    proc(100).read_bytes += 1024 * 1024;
    proc(100).write_bytes += 1024 * 1024;
    rewrite();
    clock->advance(2.0);
    const auto rows = list();
    const ProcessEntry* w = find(rows, 100);
    ASSERT_NE(w, nullptr);
    EXPECT_DOUBLE_EQ(w->cpu_percent, 25.0);  // 1 s over 2 s is 50 % of one of two processors
    EXPECT_DOUBLE_EQ(w->disk_rw_kb_s, 1024.0);
    EXPECT_DOUBLE_EQ(w->disk_total_mb, (2.0 * 1048576 + 4096) / 1048576);
    EXPECT_EQ(find(rows, 200)->cpu_percent, 0.0);

    // A process met later shows no share in its first list.
    add({300, "late", {"late"}, 'R', 500, 500, 900});
    clock->advance(1.0);
    EXPECT_EQ(find(list(), 300)->cpu_percent, 0.0);
}

TEST_F(ProcessTest, ReusedPidStartsAFreshReference) {
    add({100, "old", {"old"}, 'S', 5000, 5000, 100});
    list();
    clock->advance(1.0);
    list();
    // The pid now belongs to a new process with far less processor time.
    procs.erase(100);
    tree.remove("proc/100");
    add({100, "new", {"new"}, 'R', 10, 0, 777});
    clock->advance(1.0);
    auto rows = list();
    ASSERT_NE(find(rows, 100), nullptr);
    EXPECT_EQ(find(rows, 100)->name, "new");
    EXPECT_EQ(find(rows, 100)->cpu_percent, 0.0);
    proc(100).utime += 50;
    rewrite();
    clock->advance(1.0);
    rows = list();
    EXPECT_DOUBLE_EQ(find(rows, 100)->cpu_percent, 25.0);
    for (const auto& r : rows) EXPECT_GE(r.cpu_percent, 0.0);
}

TEST_F(ProcessTest, AProgramStartedInPlaceIsSeenWithItsOwnCommandLine) {
    add({50, "sh", {"/bin/sh", "-c", "exec worker"}});
    EXPECT_EQ(find(list(), 50)->cmdline, "/bin/sh -c exec worker");
    proc(50).comm = "worker";  // same pid, same start time
    proc(50).args = {"/usr/bin/worker", "--serve"};
    rewrite();
    clock->advance(1.0);
    const auto rows = list();
    EXPECT_EQ(find(rows, 50)->name, "worker");
    EXPECT_EQ(find(rows, 50)->cmdline, "/usr/bin/worker --serve");
}

TEST_F(ProcessTest, EveryListReadsTheCommandLineAndTheOwnerAfresh) {
    add({60, "server", {"server", "--port", "80"}});
    struct Step {
        std::vector<std::string> args;
        unsigned uid;
        const char* cmdline;  // nullptr: left out of the list
        const char* user;
        const char* found_by;  // a search that finds the process now
        const char* missed_by;  // one that no longer does
    } steps[] = {
        {{"server", "--port", "80"}, 1000, "server --port 80", "ayse", "--port", "accepting"},
        // rewrote its argument area and switched to another user
        {{"server: accepting connections"}, 0, "server: accepting connections", "root", "accepting", "--port"},
        {{"server: language_server"}, 0, nullptr, nullptr, nullptr, nullptr},  // the exclusion sees the new text
        {{"server", "--idle"}, 4242, "server --idle", "4242", "idle", "accepting"},  // a uid without a name
        {{}, 1000, "server", "ayse", "serv", "idle"},  // an emptied command line shows the name
    };
    for (const auto& s : steps) {
        proc(60).args = s.args;
        proc(60).uid = s.uid;
        rewrite();
        clock->advance(1.0);
        const auto rows = list();
        const ProcessEntry* row = find(rows, 60);
        if (!s.cmdline) {
            EXPECT_EQ(row, nullptr) << s.args.at(0);
            continue;
        }
        ASSERT_NE(row, nullptr) << s.cmdline;
        EXPECT_EQ(row->cmdline, s.cmdline);
        EXPECT_EQ(row->name, "server");
        EXPECT_EQ(row->username, s.user) << s.cmdline;
        EXPECT_EQ(pids(list("workload", s.found_by)), std::vector<long long>{60}) << s.found_by;
        EXPECT_TRUE(list("workload", s.missed_by).empty()) << s.missed_by;
    }
}

// The names of the users follow the user database: a user added, renamed
// or removed while the engine runs shows so from the next listing on.
TEST_F(ProcessTest, UserNamesFollowTheUserDatabase) {
    FakeProcess p{20, "cron", {"/usr/sbin/cron"}};
    p.uid = 4242;
    add(p);
    const std::string base = "root:x:0:0:root:/root:/bin/sh\nayse:x:1000:1000::/home/ayse:/bin/sh\n";
    const struct {
        const char* passwd_more;
        const char* shown;
    } steps[] = {
        {"", "4242"},
        {"deniz:x:4242:4242::/home/deniz:/bin/sh\n", "deniz"},
        {"ozan:x:4242:4242::/home/ozan:/bin/sh\n", "ozan"},
        {"", "4242"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.shown);
        tree.write("etc/passwd", base + step.passwd_more);
        const auto rows = list();
        ASSERT_NE(find(rows, 20), nullptr);
        EXPECT_EQ(find(rows, 20)->username, step.shown);
        EXPECT_EQ(find(list(), 20)->username, step.shown);  // and in the listing after
    }
}

TEST_F(ProcessTest, NamesCommandLinesAndFilters) {
    const std::string long_args(130, 'x');
    add({10, "Claude-Helper", {"/opt/helper"}});                         // excluded by its name
    add({11, "node", {"/usr/bin/node", "/opt/LANGUAGE_SERVER/main.js"}});  // excluded by its command line
    add({12, "node", {"/usr/bin/node", long_args, "antigravity"}});       // the word lies beyond 120 characters
    add({13, "kworker/0:1", {}});                                        // kernel thread
    add({14, "", {}});                                                   // no name
    add({15, "gnome-keyring-d", {"/usr/bin/gnome-keyring-daemon", "--start"}});
    add({16, "python3", {"python3", "Tool.PY"}});
    FakeProcess other{17, "cron", {"/usr/sbin/cron"}};
    other.uid = 4242;
    add(other);
    auto rows = list();
    EXPECT_EQ(find(rows, 10), nullptr);
    EXPECT_EQ(find(rows, 11), nullptr);
    ASSERT_NE(find(rows, 12), nullptr);
    EXPECT_EQ(find(rows, 12)->cmdline, ("/usr/bin/node " + long_args).substr(0, 120));
    EXPECT_EQ(find(rows, 13)->cmdline, "kworker/0:1");
    EXPECT_EQ(find(rows, 14)->name, "pid-14");
    EXPECT_EQ(find(rows, 14)->display_name, "pid-14");
    EXPECT_EQ(find(rows, 14)->cmdline, "pid-14");
    EXPECT_EQ(find(rows, 15)->name, "gnome-keyring-daemon");
    EXPECT_EQ(find(rows, 16)->username, "ayse");
    EXPECT_EQ(find(rows, 17)->username, "4242");
    EXPECT_EQ(find(rows, 16)->status, "sleeping");

    struct Search {
        const char* typed;
        std::vector<long long> found;
    } searches[] = {
        {"  \t ", {12, 13, 14, 15, 16, 17}},  // blanks only: everything not excluded
        {"TOOL.py", {16}},                    // capitals either way
        {"1", {12, 13, 14, 15, 16, 17}},      // digits match the pid (and names)
        {"pid-", {14}},
        {"claude", {}},                       // excluded whatever the search
        {"KEYRING-DAEMON", {15}},
    };
    for (const auto& s : searches) {
        auto found = pids(list("workload", s.typed));
        std::sort(found.begin(), found.end());
        EXPECT_EQ(found, s.found) << s.typed;
    }
}

TEST_F(ProcessTest, GroupingByProgram) {
    struct Case {
        long long first_ticks, second_ticks;  // processor ticks in one second
        long long group_pid;
    } cases[] = {{20, 60, 2}, {60, 20, 1}, {20, 20, 1}};
    for (const auto& c : cases) {
        TempTree t;
        write_machine(t);
        auto p = std::make_shared<FixturePlatform>(t.root());
        EngineOptions o;
        o.start_folder_scan = false;
        auto clk = std::make_shared<ManualClock>();
        Engine e(p, clk, o);
        FakeProcess a{1, "Chrome", {"chrome", "--type=a"}}, b{2, "chrome", {"chrome", "--type=b"}},
            solo{3, "bash", {"bash"}};
        for (const auto& fp : {a, b, solo}) write_process(t, fp);
        e.collect_processes("cpu", {}, true, 80);
        a.utime += c.first_ticks;
        b.utime += c.second_ticks;
        write_process(t, a);
        write_process(t, b);
        clk->advance(1.0);
        const auto rows = e.collect_processes("cpu", {}, true, 80);
        ASSERT_EQ(rows.size(), 2u);
        const ProcessEntry& g = rows[0];
        EXPECT_EQ(g.pid, c.group_pid) << c.first_ticks << "/" << c.second_ticks;
        EXPECT_EQ(g.name, "Chrome");
        EXPECT_EQ(g.display_name, "Chrome (2 işlem)");
        EXPECT_EQ(g.process_count, 2);
        EXPECT_EQ(g.cmdline, "chrome --type=a");
        EXPECT_DOUBLE_EQ(g.cpu_percent, (c.first_ticks + c.second_ticks) / 2.0);
        EXPECT_DOUBLE_EQ(g.ram_mb, 2.0);
        EXPECT_EQ(rows[1].display_name, "bash");
        EXPECT_EQ(rows[1].process_count, 1);
    }
}

TEST_F(ProcessTest, SortKeysStabilityAndLimit) {
    // pid: rss kB, swap kB, processor ticks and I/O bytes per second
    struct P {
        long long pid, rss, swap, ticks, io;
    } ps[] = {{1, 4096, 0, 0, 0}, {2, 1024, 2048, 40, 0}, {3, 2048, 0, 40, 5 << 20}, {4, 2048, 0, 0, 0}};
    for (const auto& x : ps) {
        FakeProcess f{x.pid, "p" + numfmt::integer(x.pid), {"p"}};
        f.rss_kb = x.rss;
        f.swap_kb = x.swap;
        f.read_bytes = 1;
        add(f);
    }
    // Each list is a measurement of its own: a fresh engine sees one second
    // of the same load.
    auto measured = [&](const std::string& sort, long long limit) {
        EngineOptions o;
        o.start_folder_scan = false;
        Engine e(platform, clock, o);
        e.collect_processes(sort, {}, false, limit);
        for (const auto& x : ps) {
            proc(x.pid).utime += x.ticks;
            proc(x.pid).read_bytes += x.io;
        }
        rewrite();
        clock->advance(1.0);
        return pids(e.collect_processes(sort, {}, false, limit));
    };
    struct Case {
        const char* sort;
        std::vector<long long> order;
    } cases[] = {
        {"cpu", {3, 2, 1, 4}},   // equal shares: more memory first
        {"ram", {1, 3, 4, 2}},   // 3 and 4 tie on memory: the share decides
        {"swap", {2, 1, 3, 4}},  // 3 and 4 tie on everything: listing order
        {"disk", {3, 1, 4, 2}},
        {"workload", {3, 2, 1, 4}},
        {"CPU", {3, 2, 1, 4}},   // not a key: the workload order
        {"", {3, 2, 1, 4}},
    };
    for (const auto& c : cases) EXPECT_EQ(measured(c.sort, 80), c.order) << c.sort;
    EXPECT_TRUE(measured("cpu", 0).empty());
    EXPECT_EQ(measured("cpu", 2), (std::vector<long long>{3, 2}));
    EXPECT_EQ(measured("cpu", 1000).size(), 4u);
    EXPECT_EQ(measured("cpu", -1), (std::vector<long long>{3, 2, 1}));
}

TEST_F(ProcessTest, DiskRateReferences) {
    add({1, "disk", {"disk"}});
    proc(1).read_bytes = 1 << 20;
    rewrite();
    list();
    struct Step {
        double advance;
        long long read_bytes;
        double rate;  // KB/s
    } steps[] = {
        {0.05, (1 << 20) + 102400, 1000.0},  // two lists 0.05 s apart: measured over 0.1 s
        {1.0, 512 * 1024, 0.0},              // the total fell: 0.0, measured from the lower total next
        {1.0, 512 * 1024 + 4096, 4.0},
        {1.0, 0, 0.0},                       // no I/O figure: nothing stored
        {1.0, 512 * 1024 + 8192, 2.0},       // measured from the last stored total, 2 s ago
    };
    for (const auto& s : steps) {
        proc(1).read_bytes = s.read_bytes;
        rewrite();
        clock->advance(s.advance);
        EXPECT_DOUBLE_EQ(find(list(), 1)->disk_rw_kb_s, s.rate) << s.read_bytes;
    }
}

TEST_F(ProcessTest, ScoreAgainstSwapAndMemory) {
    // No swap on the machine: shares are taken against 1.0 MB.
    tree.write("proc/meminfo", "MemTotal: 1048576 kB\nMemFree: 1000 kB\nMemAvailable: 500000 kB\n"
                               "SwapTotal: 0 kB\nSwapFree: 0 kB\n");
    FakeProcess f{1, "swapper", {"swapper"}};
    f.rss_kb = 10486;  // 1 % of the memory, rounded
    f.swap_kb = 512;
    f.read_bytes = 1000ll << 20;
    add(f);
    const auto rows = list();
    const ProcessEntry& r = rows.at(0);
    EXPECT_DOUBLE_EQ(r.swap_mb, 0.5);
    EXPECT_DOUBLE_EQ(r.ram_percent, 10486.0 / 1048576.0 * 100);
    EXPECT_DOUBLE_EQ(r.ram_mb, 10486.0 / 1024);
    EXPECT_DOUBLE_EQ(r.disk_total_mb, 1000.0);
    // 0 * 1.4 + ram * 1.1 + 50 * 1.2 + min(1000 / 500, 10)
    EXPECT_DOUBLE_EQ(r.workload_score, r.ram_percent * 1.1 + 50.0 * 1.2 + 2.0);
}

TEST_F(ProcessTest, AbsurdResidentMemoryStopsAtTheEndOfTheRange) {
    FakeProcess status{1, "from-status", {"from-status"}};
    status.rss_kb = 9007199254740992;  // 2**53 kB: the bytes are past the 64-bit end
    add(status);
    add({2, "from-statm", {"from-statm"}});
    // A status file that cannot be read (a folder) sends the reader to statm.
    tree.remove("proc/2/status");
    tree.make_dir("proc/2/status");
    tree.write("proc/2/statm", "1 9223372036854775807 0 0 0 0 0\n");
    const auto rows = list("ram");
    ASSERT_EQ(rows.size(), 2u);
    for (const auto& r : rows) {
        EXPECT_DOUBLE_EQ(r.ram_mb, 9223372036854775807.0 / 1048576) << r.name;
        EXPECT_GT(r.ram_percent, 100.0) << r.name;
    }
}

TEST_F(ProcessTest, GoneProcessesAreForgotten) {
    add({1, "short", {"short"}, 'R', 100, 0, 50});
    list();
    tree.remove("proc/1");
    procs.erase(1);
    clock->advance(1.0);
    EXPECT_EQ(find(list(), 1), nullptr);
    // The same process seen again is new to the engine: no share in its first list.
    add({1, "short", {"short"}, 'R', 300, 0, 50});
    clock->advance(1.0);
    EXPECT_EQ(find(list(), 1)->cpu_percent, 0.0);
}

// A listed file that fails for want of descriptors fails the whole list:
// the process is there, and a list without it would look complete. A
// process that ended meanwhile is only left out.
class FailingReadPlatform : public FixturePlatform {
public:
    using FixturePlatform::FixturePlatform;
    long long pid = 0;
    std::string name;
    int error = 0;
    int read_listed_process_file(long long p, const char* n, std::string& out) override {
        if (p == pid && name == n) return error;
        return FixturePlatform::read_listed_process_file(p, n, out);
    }
};

TEST(ProcessListFailures, NoDescriptorFailsTheList) {
    TempTree tree;
    write_machine(tree);
    for (const FakeProcess& p : {FakeProcess{1, "first", {"first"}}, FakeProcess{2, "second", {"second"}}})
        write_process(tree, p);
    for (const char* name : {"stat", "status", "io", "cmdline"}) {
        for (const int error : {EMFILE, ENFILE, ENOENT}) {
            SCOPED_TRACE(std::string(name) + " " + std::to_string(error));
            auto platform = std::make_shared<FailingReadPlatform>(tree.root());
            platform->pid = 1;
            platform->name = name;
            platform->error = error;
            EngineOptions o;
            o.start_folder_scan = false;
            Engine engine(platform, std::make_shared<ManualClock>(), o);
            if (error == ENOENT) {
                std::vector<long long> listed;
                for (const auto& r : engine.collect_processes("workload", SearchQuery(), false, 80))
                    listed.push_back(r.pid);
                // Without its io file a process is listed with no disk figures.
                const std::vector<long long> expected =
                    std::string(name) == "io" ? std::vector<long long>{1, 2} : std::vector<long long>{2};
                EXPECT_EQ(listed, expected);
                continue;
            }
            try {
                engine.collect_processes("workload", SearchQuery(), false, 80);
                ADD_FAILURE() << "the list did not fail";
            } catch (const SystemError& e) {
                EXPECT_EQ(e.error_number(), error);
                EXPECT_EQ(e.filename(), std::string("/proc/1/") + name);
            }
        }
    }
}

TEST_F(ProcessTest, StatusNames) {
    const std::pair<char, const char*> states[] = {{'R', "running"}, {'S', "sleeping"}, {'D', "disk-sleep"},
                                                   {'T', "stopped"}, {'t', "tracing-stop"}, {'Z', "zombie"},
                                                   {'I', "idle"},    {'X', "dead"}, {'?', "?"}};
    long long pid = 1;
    for (const auto& s : states) add({pid++, "st", {"st"}, s.first});
    const auto rows = list();
    pid = 1;
    for (const auto& s : states) EXPECT_EQ(find(rows, pid++)->status, s.second) << s.first;
}

// A forked copy of this test program that, on request, writes a new title
// over its first argument (as programs that name their workers do) or
// switches to another user.
class RetitlingChild {
public:
    RetitlingChild() {
        if (pipe(to_) != 0 || pipe(from_) != 0) return;
        pid_ = fork();
        if (pid_ != 0) {
            ::close(to_[0]);
            ::close(from_[1]);
            return;
        }
        ::close(to_[1]);
        ::close(from_[0]);
        char* arg0 = program_invocation_name;  // the first argument, in place
        const std::size_t room = std::strlen(arg0);
        char request[64];
        ssize_t n;
        while ((n = ::read(to_[0], request, sizeof request)) > 0) {
            char answer = 'y';
            if (request[0] == 'u') {
                answer = setresuid(65534, 65534, 65534) == 0 ? 'y' : 'n';
            } else {
                const std::size_t len = static_cast<std::size_t>(n) - 1;
                if (len > room) answer = 'n';
                else {
                    std::memset(arg0, '.', room);  // keeps the argument's length and end
                    std::memcpy(arg0, request + 1, len);
                }
            }
            if (::write(from_[1], &answer, 1) != 1) break;
        }
        _exit(0);
    }
    ~RetitlingChild() {
        if (pid_ <= 0) return;
        ::close(to_[1]);
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        ::close(from_[0]);
    }
    pid_t pid() const { return pid_; }
    // Asks for a new title ("t" + text) or for the switch ("u"); true when done.
    bool ask(const std::string& request) {
        char answer = 0;
        return ::write(to_[1], request.data(), request.size()) == static_cast<ssize_t>(request.size()) &&
               ::read(from_[0], &answer, 1) == 1 && answer == 'y';
    }

private:
    pid_t pid_ = -1;
    int to_[2] = {-1, -1};
    int from_[2] = {-1, -1};
};

TEST(LiveProcessList, ARetitledProcessAndANewOwnerShowInTheNextList) {
    auto platform = std::make_shared<LinuxPlatform>("");
    EngineOptions o;
    o.start_folder_scan = false;
    Engine engine(platform, system_clock(), o);
    RetitlingChild child;
    ASSERT_GT(child.pid(), 0);
    auto row = [&](const std::string& search) -> std::optional<ProcessEntry> {
        for (auto& r : engine.collect_processes("workload", SearchQuery::from_text(search), false, LLONG_MAX))
            if (r.pid == child.pid()) return r;
        return std::nullopt;
    };
    // The user's name, or the uid when it has none.
    auto user = [](uid_t uid) {
        const passwd* pw = getpwuid(uid);
        return pw ? std::string(pw->pw_name) : numfmt::integer(uid);
    };
    const auto before = row("");
    ASSERT_TRUE(before);
    EXPECT_EQ(before->username, user(getuid()));

    ASSERT_TRUE(child.ask("tvyr-retitled"));
    auto now = row("VYR-RETITLED");
    ASSERT_TRUE(now) << "the search runs on the old command line";
    EXPECT_EQ(now->cmdline.substr(0, 13), "vyr-retitled.");
    EXPECT_NE(now->cmdline, before->cmdline);

    ASSERT_TRUE(child.ask("tlanguage_server"));
    EXPECT_FALSE(row("")) << "the exclusion runs on the old command line";

    if (geteuid() != 0) GTEST_SKIP() << "switching the child to another user needs root";
    ASSERT_TRUE(child.ask("tvyr-retitled"));
    ASSERT_TRUE(child.ask("u"));
    now = row("vyr-retitled");
    ASSERT_TRUE(now);
    EXPECT_EQ(now->username, user(65534));
}

}  // namespace
}  // namespace vyr::engine::testing
