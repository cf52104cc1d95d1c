// The CPU cost of one engine cycle (a snapshot plus the process list over
// all processes), per process, measured side by side in rounds:
//   - the C++ core alone, in this program;
//   - the floor: the plain program of proc_read_floor.cpp, which only opens
//     and reads what a cycle must read (the four files of every process and
//     the system files), the least any implementation can spend; built into
//     this program, one floor cycle runs right after each core cycle;
//   - the engine module as the telemetry worker calls it;
//   - the classic Python library doing the same work (Debian's python3-psutil).
// Each round runs the core and the floor cycle by cycle, then the two Python
// programs (their order alternates), so all meet the same machine; the
// figures and their ratios are printed as minimum, median and maximum over
// the rounds.
//
//   engine_cycle_bench [ROUNDS [CYCLES]]     default 7 rounds of 40 cycles
//   engine_cycle_bench --core CYCLES         only the core, for a profiler
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "proc_read_floor.hpp"
#include "vyr/engine/engine.hpp"
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

// The C++ core, kept from round to round as the worker keeps its engine.
class Core {
public:
    Core() {
        vyr::engine::EngineOptions options;
        options.start_folder_scan = false;
        options.app_dir = VYR_DIST_DIR;
        engine_ = std::make_unique<vyr::engine::Engine>(vyr::engine::make_system_platform(),
                                                        vyr::engine::system_clock(), options);
        for (int i = 0; i < 3; ++i) cycle();  // the first lists fill the per-process records
    }
    void cycle() {
        engine_->get_system_snapshot();
        engine_->collect_processes("workload", {}, false, LLONG_MAX);
    }
    // The ids under /proc, as the other programs count them (excluded
    // processes are read all the same).
    long processes() { return static_cast<long>(engine_->platform().pids().size()); }

private:
    std::unique_ptr<vyr::engine::Engine> engine_;
};

// The core and the floor, one cycle of each in turn.
void measure_core_and_floor(Core& core, int cycles, Measure& core_m, Measure& floor_m) {
    const int proc_dir = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    double core_us = 0.0, floor_us = 0.0;
    long floor_processes = proc_read_floor_cycle(proc_dir);
    for (int i = 0; i < cycles; ++i) {
        const double t = thread_cpu_us();
        core.cycle();
        const double between = thread_cpu_us();
        core_us += between - t;
        floor_processes = proc_read_floor_cycle(proc_dir);
        floor_us += thread_cpu_us() - between;
    }
    if (proc_dir >= 0) close(proc_dir);
    core_m = {core_us / cycles, core.processes(), true};
    floor_m = {floor_us / cycles, floor_processes, floor_processes > 0};
}

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
        std::printf("  %-34s not measured\n", label);
        return;
    }
    const Spread s = spread(values);
    std::printf("  %-34s %9s %9s %9s  %s\n", label, fixed(s.min, places).c_str(), fixed(s.median, places).c_str(),
                fixed(s.max, places).c_str(), unit);
}

enum Who { kCore, kFloor, kModule, kPsutil, kWho };
const char* const kNames[kWho] = {"C++ core", "floor (plain reads)", "engine module", "psutil in Python"};
const char* const kShort[kWho] = {"core", "floor", "module", "psutil"};

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--core") {
        Core core;
        const int cycles = std::max(1, std::atoi(argv[2]));
        const double start = thread_cpu_us();
        for (int i = 0; i < cycles; ++i) core.cycle();
        const Measure m{(thread_cpu_us() - start) / cycles, core.processes(), true};
        std::printf("%s us/process over %ld processes\n", fixed(m.per_process(), 2).c_str(), m.processes);
        return 0;
    }
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    const int cycles = argc > 2 ? std::max(1, std::atoi(argv[2])) : 40;
    const std::string n = std::to_string(cycles);
    // The shell hands over to the program (exec), so that no process more
    // than the program itself is listed beside the ones the core and the
    // floor see.
    const std::string commands[kWho] = {
        "",
        "",
        "exec env PYTHONPATH=" + quoted(VYR_DIST_DIR) + " " + quoted(VYR_TARGET_PYTHON) + " " +
            quoted(std::string(VYR_BENCH_DIR) + "/engine_cycle_module.py") + " " + n,
        "exec /usr/bin/python3 " + quoted(std::string(VYR_BENCH_DIR) + "/engine_cycle_psutil.py") + " " + n,
    };

    std::printf("engine cycle (snapshot + process list over all processes): %d rounds of %d cycles\n", rounds, cycles);
    Core core;
    std::vector<double> per_process[kWho], per_cycle[kWho], processes[kWho];
    std::vector<double> core_floor, module_floor, psutil_core, psutil_module;
    for (int r = 0; r < rounds; ++r) {
        Measure m[kWho];
        measure_core_and_floor(core, cycles, m[kCore], m[kFloor]);
        for (const int who : {r % 2 ? kPsutil : kModule, r % 2 ? kModule : kPsutil})  // alternate the order
            m[who] = run_child(commands[who]);
        for (int who = 0; who < kWho; ++who) {
            if (!m[who].ok) continue;
            per_process[who].push_back(m[who].per_process());
            per_cycle[who].push_back(m[who].us_per_cycle);
            processes[who].push_back(static_cast<double>(m[who].processes));
        }
        auto ratio = [&](std::vector<double>& out, Who a, Who b) {
            if (m[a].ok && m[b].ok) out.push_back(m[a].per_process() / m[b].per_process());
        };
        std::printf("round %d:", r + 1);
        for (int who = 0; who < kWho; ++who)
            std::printf("  %s %s", kShort[who], m[who].ok ? fixed(m[who].per_process(), 2).c_str() : "-");
        std::printf("  us per process\n");
        std::fflush(stdout);
        ratio(core_floor, kCore, kFloor);
        ratio(module_floor, kModule, kFloor);
        ratio(psutil_core, kPsutil, kCore);
        ratio(psutil_module, kPsutil, kModule);
    }

    std::printf("CPU time per cycle and per process (the ids under /proc), over the rounds\n");
    std::printf("  %-34s %9s %9s %9s\n", "", "min", "median", "max");
    for (int who = 0; who < kWho; ++who) {
        const std::string label = std::string(kNames[who]);
        print_row((label + ", per process").c_str(), per_process[who], 2, "us");
        print_row((label + ", per cycle").c_str(), per_cycle[who], 0, "us");
        print_row((label + ", processes").c_str(), processes[who], 0, "");
    }
    std::printf("ratios of the CPU per process (goals: core and engine module / floor at most 1.15,\n"
                "psutil / core and psutil / engine module at least 7)\n");
    print_row("core / floor", core_floor, 3, "x");
    print_row("engine module / floor", module_floor, 3, "x");
    print_row("psutil / core", psutil_core, 2, "x");
    print_row("psutil / engine module", psutil_module, 2, "x");
    return 0;
}
