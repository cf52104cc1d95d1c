// The CPU cost of one engine cycle (a snapshot plus the process list over
// all processes), per process, measured side by side in rounds:
//   - the C++ core alone, twice: keeping the files of each process open
//     between lists (as it runs), in a process of its own, and opening every
//     file afresh (VYR_PROC_FILES_KEPT=0), in this program;
//   - the two floors of proc_read_floor.cpp, which only read what a cycle
//     must read (the four files of every process and the system files), the
//     least any implementation can spend: opening, reading and closing every
//     file each cycle (built into this program, it runs right after each
//     cycle of the core that opens them), and keeping the files open and
//     reading them at offset 0 (the floor program in a process of its own,
//     as the core that keeps them: both run cycle after cycle undisturbed,
//     and together their files could pass the descriptor limit);
//   - the engine module as the telemetry worker calls it, both ways;
//   - the classic Python library doing the same work (Debian's python3-psutil).
// Each round runs the opening core and its floor cycle by cycle, then the
// keeping core, the kept floor and the three Python programs (their order
// turns), so all meet the same machine; the
// figures and their ratios are printed as minimum, median and maximum over
// the rounds. With --extra N, N sleeping child processes are started first
// and are listed by all of them.
//
//   engine_cycle_bench [--extra N] [ROUNDS [CYCLES]]   default 7 rounds of 40 cycles
//   engine_cycle_bench [--extra N] --core CYCLES       only the core that keeps the files (for
//                                                      a profiler): prints "cycles processes
//                                                      us_per_cycle" as the floor program does
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "proc_read_floor.hpp"
#include "vyr/engine/engine.hpp"
#include "vyr/engine/linux_platform.hpp"
#include "vyr/numfmt.hpp"

namespace {

using vyr::numfmt::fixed;

double thread_cpu_us() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// One measurement: CPU microseconds per cycle over `processes` processes.
struct Measure {
    double us_per_cycle = 0.0;
    long processes = 0;
    bool ok = false;
    double per_process() const { return us_per_cycle / static_cast<double>(processes > 0 ? processes : 1); }
};

// Runs a measuring program that prints "cycles processes us_per_cycle".
Measure run_child(const std::string& command) {
    Measure m;
    FILE* p = popen((command + " 2>/dev/null").c_str(), "r");
    if (!p) return m;
    char line[256] = {0};
    std::vector<std::string> f;
    if (fgets(line, sizeof line, p)) {
        std::string cur;
        for (const char* c = line; *c; ++c) {
            if (*c == ' ' || *c == '\n') {
                if (!cur.empty()) f.push_back(cur);
                cur.clear();
            } else {
                cur += *c;
            }
        }
        if (!cur.empty()) f.push_back(cur);
    }
    const int status = pclose(p);
    if (status == 0 && f.size() == 3) {
        m.processes = static_cast<long>(vyr::numfmt::parse_integer(f[1]).value_or(0));
        m.us_per_cycle = vyr::numfmt::parse_double(f[2]).value_or(0.0);
        m.ok = m.processes > 0;
    }
    return m;
}

std::string quoted(const std::string& s) { return "'" + s + "'"; }

// The bound of the files the engine keeps open; 0 opens every file afresh.
constexpr const char* kKeptVariable = "VYR_PROC_FILES_KEPT";


// The C++ core, kept from round to round as the worker keeps its engine;
// with `keep_files` false, its platform opens every process file afresh.
class Core {
public:
    explicit Core(bool keep_files) {
        const char* set = std::getenv(kKeptVariable);
        const std::string saved = set ? set : "";
        if (!keep_files) setenv(kKeptVariable, "0", 1);
        vyr::engine::EngineOptions options;
        options.start_folder_scan = false;
        options.app_dir = VYR_DIST_DIR;
        engine_ = std::make_unique<vyr::engine::Engine>(vyr::engine::make_system_platform(),
                                                        vyr::engine::system_clock(), options);
        if (set) setenv(kKeptVariable, saved.c_str(), 1);
        else unsetenv(kKeptVariable);
        for (int i = 0; i < 3; ++i) cycle();  // the first lists fill the per-process records
    }
    void cycle() {
        engine_->get_system_snapshot();
        engine_->collect_processes("workload", {}, false, LLONG_MAX);
    }
    // The ids under /proc, as the other programs count them (excluded
    // processes are read all the same).
    long processes() { return static_cast<long>(engine_->platform().pids().size()); }
    std::size_t kept_files() {
        auto* linux_platform = dynamic_cast<vyr::engine::LinuxPlatform*>(&engine_->platform());
        return linux_platform ? linux_platform->kept_process_files() : 0;
    }

private:
    std::unique_ptr<vyr::engine::Engine> engine_;
};

enum Who { kCore, kCoreOpen, kFloor, kFloorKept, kModule, kModuleOpen, kPsutil, kWho };
const char* const kNames[kWho] = {"C++ core",         "C++ core, files opened each time",
                                  "floor, open each time", "floor, files kept",
                                  "engine module",    "engine module, files opened each time",
                                  "psutil in Python"};
const char* const kShort[kWho] = {"core", "core-open", "floor", "floor-kept", "module", "module-open", "psutil"};

// The core that opens every file and the floor that does the same, one
// cycle of each in turn.
void measure_opening_core_and_floor(Core& open_each_time, int cycles, Measure* m) {
    const int proc_dir = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    double spent[kWho] = {};
    long floor_processes = proc_read_floor_cycle(proc_dir);
    for (int i = 0; i < cycles; ++i) {
        double t = thread_cpu_us();
        auto lap = [&](Who who) {
            const double now = thread_cpu_us();
            spent[who] += now - t;
            t = now;
        };
        open_each_time.cycle();
        lap(kCoreOpen);
        floor_processes = proc_read_floor_cycle(proc_dir);
        lap(kFloor);
    }
    if (proc_dir >= 0) close(proc_dir);
    m[kCoreOpen] = {spent[kCoreOpen] / cycles, open_each_time.processes(), true};
    m[kFloor] = {spent[kFloor] / cycles, floor_processes, floor_processes > 0};
}

// The kernel's slab memory in kB (the "Slab:" line of /proc/meminfo).
long long slab_kb() {
    FILE* f = std::fopen("/proc/meminfo", "r");
    if (!f) return 0;
    char line[256];
    long long kb = 0;
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, "Slab:", 5) == 0) kb = std::atoll(line + 5);
    std::fclose(f);
    return kb;
}

// What the kept files take: the descriptors, and the kernel memory a core
// that keeps them adds to the machine's slab (median over a few cores made
// and ended; the rest of the machine moves the slab too).
void print_kept_cost() {
    std::vector<double> kb;
    std::size_t files = 0;
    long processes = 0;
    for (int i = 0; i < 5; ++i) {
        const long long before = slab_kb();
        auto core = std::make_unique<Core>(true);
        const long long after = slab_kb();
        files = core->kept_files();
        processes = core->processes();
        core.reset();
        kb.push_back(static_cast<double>(after - before));
    }
    std::sort(kb.begin(), kb.end());
    const double median = kb[kb.size() / 2];
    std::printf("kept files: %zu descriptors for %ld processes; kernel slab %s MB (%s kB per process, "
                "median of 5, min %s, max %s MB)\n",
                files, processes, fixed(median / 1024.0, 1).c_str(),
                fixed(median / static_cast<double>(processes > 0 ? processes : 1), 1).c_str(),
                fixed(kb.front() / 1024.0, 1).c_str(), fixed(kb.back() / 1024.0, 1).c_str());
}

// `count` sleeping children, ended with this program.
class Sleepers {
public:
    explicit Sleepers(long count) {
        for (long i = 0; i < count; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                for (;;) pause();
            }
            if (pid < 0) break;
            pids_.push_back(pid);
        }
    }
    ~Sleepers() {
        for (const pid_t pid : pids_) kill(pid, SIGKILL);
        for (const pid_t pid : pids_) waitpid(pid, nullptr, 0);
    }
    std::size_t size() const { return pids_.size(); }

private:
    std::vector<pid_t> pids_;
};

struct Spread {
    double min = 0.0, median = 0.0, max = 0.0;
};

Spread spread(std::vector<double> v) {
    if (v.empty()) return {};
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    const double median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
    return {v.front(), median, v.back()};
}

void print_row(const char* label, const std::vector<double>& values, int places, const char* unit) {
    if (values.empty()) {
        std::printf("  %-52s not measured\n", label);
        return;
    }
    const Spread s = spread(values);
    std::printf("  %-52s %9s %9s %9s  %s\n", label, fixed(s.min, places).c_str(), fixed(s.median, places).c_str(),
                fixed(s.max, places).c_str(), unit);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    long extra = 0;
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] != "--extra") continue;
        extra = std::max(0L, std::atol(args[i + 1].c_str()));
        args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
        break;
    }
    const Sleepers sleepers(extra);
    if (args.size() == 2 && args[0] == "--core") {
        Core core(true);
        const int cycles = std::max(1, std::atoi(args[1].c_str()));
        const double start = thread_cpu_us();
        for (int i = 0; i < cycles; ++i) core.cycle();
        std::printf("%d %ld %.3f\n", cycles, core.processes(), (thread_cpu_us() - start) / cycles);
        return 0;
    }
    const int rounds = !args.empty() ? std::max(1, std::atoi(args[0].c_str())) : 7;
    const int cycles = args.size() > 1 ? std::max(1, std::atoi(args[1].c_str())) : 40;
    const std::string n = std::to_string(cycles);
    // The shell hands over to the program (exec), so that no process more
    // than the program itself is listed beside the ones the core and the
    // floor see.
    const std::string module = "PYTHONPATH=" + quoted(VYR_DIST_DIR) + " " + quoted(VYR_TARGET_PYTHON) + " " +
                               quoted(std::string(VYR_BENCH_DIR) + "/engine_cycle_module.py") + " " + n;
    std::string commands[kWho];
    // The core and the floor that keep their files each run in a process of
    // their own (see the top of this file).
    char self[4096] = {0};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return 1;
    commands[kCore] = "exec " + quoted(self) + " --core " + n;
    commands[kModule] = "exec env " + module;
    commands[kModuleOpen] = "exec env " + std::string(kKeptVariable) + "=0 " + module;
    commands[kFloorKept] = "exec " + quoted(VYR_FLOOR_PROGRAM) + " " + n + " --kept";
    commands[kPsutil] = "exec /usr/bin/python3 " + quoted(std::string(VYR_BENCH_DIR) + "/engine_cycle_psutil.py") +
                        " " + n;
    const Who children[] = {kCore, kFloorKept, kModule, kModuleOpen, kPsutil};

    std::printf("engine cycle (snapshot + process list over all processes): %d rounds of %d cycles, "
                "%zu extra sleeping processes\n",
                rounds, cycles, sleepers.size());
    print_kept_cost();
    Core open_each_time(false);
    std::vector<double> per_process[kWho], per_cycle[kWho], processes[kWho];
    struct Ratio {
        const char* label;
        Who a, b;
        std::vector<double> values;
    };
    Ratio ratios[] = {
        {"core / floor open each time", kCore, kFloor, {}},
        {"core / floor files kept", kCore, kFloorKept, {}},
        {"core opening / floor open each time", kCoreOpen, kFloor, {}},
        {"module / floor open each time", kModule, kFloor, {}},
        {"module / floor files kept", kModule, kFloorKept, {}},
        {"module opening / floor open each time", kModuleOpen, kFloor, {}},
        {"floor files kept / open each time", kFloorKept, kFloor, {}},
        {"psutil / core", kPsutil, kCore, {}},
        {"psutil / module", kPsutil, kModule, {}},
    };
    for (int r = 0; r < rounds; ++r) {
        Measure m[kWho];
        measure_opening_core_and_floor(open_each_time, cycles, m);
        constexpr int kChildren = sizeof children / sizeof children[0];
        for (int i = 0; i < kChildren; ++i) {  // the order turns from round to round
            const Who who = children[(i + r) % kChildren];
            m[who] = run_child(commands[who]);
        }
        for (int who = 0; who < kWho; ++who) {
            if (!m[who].ok) continue;
            per_process[who].push_back(m[who].per_process());
            per_cycle[who].push_back(m[who].us_per_cycle);
            processes[who].push_back(static_cast<double>(m[who].processes));
        }
        std::printf("round %d:", r + 1);
        for (int who = 0; who < kWho; ++who)
            std::printf("  %s %s", kShort[who], m[who].ok ? fixed(m[who].per_process(), 2).c_str() : "-");
        std::printf("  us per process\n");
        std::fflush(stdout);
        for (Ratio& q : ratios)
            if (m[q.a].ok && m[q.b].ok) q.values.push_back(m[q.a].per_process() / m[q.b].per_process());
    }

    std::printf("CPU time per cycle and per process (the ids under /proc), over the rounds\n");
    std::printf("  %-52s %9s %9s %9s\n", "", "min", "median", "max");
    for (int who = 0; who < kWho; ++who) {
        const std::string label = std::string(kNames[who]);
        print_row((label + ", per process").c_str(), per_process[who], 2, "us");
        print_row((label + ", per cycle").c_str(), per_cycle[who], 0, "us");
        print_row((label + ", processes").c_str(), processes[who], 0, "");
    }
    std::printf("ratios of the CPU per process (goals: core and module at most 0.65 times the floor that\n"
                "opens each time and 1.15 times the floor that keeps the files; psutil at least 7 times\n"
                "the core and the module)\n");
    for (const Ratio& q : ratios) print_row(q.label, q.values, 3, "x");
    return 0;
}
