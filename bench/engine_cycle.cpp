// The CPU cost of one engine cycle (snapshot plus the process list over all
// processes): the C++ core alone, the engine module as the telemetry worker
// calls it, and the classic Python library doing the same work, on this
// machine in one run. Also the bare cost of reading each process's stat,
// status, io and cmdline files, the floor of any implementation.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "vyr/engine/engine.hpp"
#include "vyr/engine/linux_platform.hpp"
#include "vyr/numfmt.hpp"

namespace {

using vyr::numfmt::fixed;

double thread_cpu_us() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

struct Measure {
    int cycles = 0;
    long processes = 0;
    double us_per_cycle = 0.0;
    bool ok = false;
};

Measure run_python(const std::string& python, const std::string& script, int cycles, const char* pythonpath) {
    Measure m;
    std::string cmd;
    if (pythonpath) cmd += std::string("PYTHONPATH='") + pythonpath + "' ";
    cmd += "'" + python + "' '" + script + "' " + std::to_string(cycles) + " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return m;
    char line[256] = {0};
    if (fgets(line, sizeof line, p)) {
        std::vector<std::string> f;
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
        if (f.size() == 3) {
            m.cycles = static_cast<int>(vyr::numfmt::parse_integer(f[0]).value_or(0));
            m.processes = static_cast<long>(vyr::numfmt::parse_integer(f[1]).value_or(0));
            m.us_per_cycle = vyr::numfmt::parse_double(f[2]).value_or(0.0);
            m.ok = true;
        }
    }
    pclose(p);
    return m;
}

// The cost of opening and reading the four files the list needs per process.
double file_floor_us_per_process(long* count) {
    std::vector<long> pids;
    if (DIR* d = opendir("/proc")) {
        while (dirent* e = readdir(d)) {
            const auto v = vyr::numfmt::parse_integer(e->d_name);
            if (v) pids.push_back(static_cast<long>(*v));
        }
        closedir(d);
    }
    char buf[16384];
    const int rounds = 20;
    const double start = thread_cpu_us();
    for (int r = 0; r < rounds; ++r) {
        for (long pid : pids) {
            for (const char* name : {"stat", "status", "io", "cmdline"}) {
                const std::string path = "/proc/" + std::to_string(pid) + "/" + name;
                const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
                if (fd < 0) continue;
                while (read(fd, buf, sizeof buf) > 0) {
                }
                close(fd);
            }
        }
    }
    *count = static_cast<long>(pids.size());
    return (thread_cpu_us() - start) / rounds / static_cast<double>(pids.empty() ? 1 : pids.size());
}

}  // namespace

int main(int argc, char** argv) {
    const int cycles = argc > 1 ? std::atoi(argv[1]) : 40;

    // The C++ core, in this process.
    auto platform = std::make_shared<vyr::engine::LinuxPlatform>("");
    vyr::engine::EngineOptions options;
    options.start_folder_scan = false;
    options.app_dir = VYR_DIST_DIR;
    vyr::engine::Engine engine(platform, vyr::engine::system_clock(), options);
    std::size_t rows = 0;
    for (int i = 0; i < 3; ++i) {
        engine.get_system_snapshot();
        rows = engine.collect_processes("workload", {}, false, LLONG_MAX).size();
    }
    const double start = thread_cpu_us();
    for (int i = 0; i < cycles; ++i) {
        engine.get_system_snapshot();
        rows = engine.collect_processes("workload", {}, false, LLONG_MAX).size();
    }
    const double core_us = (thread_cpu_us() - start) / cycles;
    const double snap_start = thread_cpu_us();
    for (int i = 0; i < cycles; ++i) engine.get_system_snapshot();
    const double snapshot_us = (thread_cpu_us() - snap_start) / cycles;

    long files_count = 0;
    const double floor_us = file_floor_us_per_process(&files_count);

    // The engine module and the classic library, each in an interpreter of its own.
    const std::string bench = VYR_BENCH_DIR;
    const Measure module = run_python(VYR_TARGET_PYTHON, bench + "/engine_cycle_module.py", cycles, VYR_DIST_DIR);
    const Measure classic = run_python("/usr/bin/python3", bench + "/engine_cycle_psutil.py", cycles, nullptr);

    std::printf("engine cycle: snapshot + process list over all processes, %d cycles\n", cycles);
    std::printf("  C++ core            %10s us/cycle  (%zu processes, %s us/process)\n", fixed(core_us, 0).c_str(),
                rows, fixed(core_us / (rows ? rows : 1), 1).c_str());
    std::printf("    of which snapshot %10s us/cycle\n", fixed(snapshot_us, 0).c_str());
    std::printf("    process list      %10s us/process\n",
                fixed((core_us - snapshot_us) / (rows ? rows : 1), 1).c_str());
    std::printf("  file reads only     %10s us/process (stat, status, io, cmdline; %ld processes)\n",
                fixed(floor_us, 1).c_str(), files_count);
    if (module.ok)
        std::printf("  engine module       %10s us/cycle  (%ld processes, %s us/process)\n",
                    fixed(module.us_per_cycle, 0).c_str(), module.processes,
                    fixed(module.us_per_cycle / (module.processes ? module.processes : 1), 1).c_str());
    else
        std::printf("  engine module       not measured (the module could not be run)\n");
    if (classic.ok)
        std::printf("  psutil in Python    %10s us/cycle  (%ld processes, %s us/process)\n",
                    fixed(classic.us_per_cycle, 0).c_str(), classic.processes,
                    fixed(classic.us_per_cycle / (classic.processes ? classic.processes : 1), 1).c_str());
    else
        std::printf("  psutil in Python    not measured (/usr/bin/python3 with psutil is missing)\n");
    if (module.ok && classic.ok && module.us_per_cycle > 0) {
        const double per_module = module.us_per_cycle / (module.processes ? module.processes : 1);
        const double per_classic = classic.us_per_cycle / (classic.processes ? classic.processes : 1);
        std::printf("  ratio psutil / engine module: %s x per cycle, %s x per process\n",
                    fixed(classic.us_per_cycle / module.us_per_cycle, 2).c_str(),
                    fixed(per_classic / per_module, 2).c_str());
    }
    return 0;
}
