// The floor of an engine cycle: the least work any program must do to read
// what the engine reads, and nothing else. One cycle lists /proc, reads the
// stat, status, io and cmdline files of every process, and the system files
// a snapshot and a process list read (each once), with plain system calls:
// one read per file into a buffer large enough for it, no parsing. Two
// floors: the files of every process opened, read and closed each cycle,
// and kept open from cycle to cycle and read with pread at offset 0.
// Standalone on purpose: no engine code, no allocation per file.
//
// Run: proc_read_floor CYCLES [--kept]. Prints: cycles, processes, CPU
// microseconds per cycle (the process's own CPU time over the measured
// cycles). The engine
// benchmark also builds this file into itself (VYR_FLOOR_IN_BENCH) and runs
// one floor cycle after each engine cycle, so that both meet the same load.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unordered_map>

#include "proc_read_floor.hpp"

namespace {

// The files a snapshot reads (processor times and boot time, frequency,
// memory, swap traffic, mounts and file systems, disk counters, load) and
// the one a process list reads beside memory (the online processors).
const char* const kSystemFiles[] = {
    "/proc/stat",     "/proc/cpuinfo",     "/proc/meminfo",   "/proc/vmstat",
    "/proc/mounts",   "/proc/filesystems", "/proc/diskstats", "/proc/loadavg",
    "/sys/devices/system/cpu/online",
};
const char* const kProcessFiles[] = {"stat", "status", "io", "cmdline"};

char buffer[1 << 16];

// Opens `path` (below `dir` when it is relative) and reads it whole.
void read_file(int dir, const char* path) {
    const int fd = openat(dir, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    while (read(fd, buffer, sizeof buffer) == static_cast<ssize_t>(sizeof buffer)) {
    }
    close(fd);
}

void read_system_files() {
    for (const char* path : kSystemFiles) read_file(AT_FDCWD, path);
    struct statvfs st;
    statvfs("/", &st);
}

// Reads a kept file from offset 0; false when the read failed.
bool pread_file(int fd) {
    off_t at = 0;
    for (;;) {
        const ssize_t n = pread(fd, buffer, sizeof buffer, at);
        if (n <= 0) return at > 0 || n == 0;
        if (n < static_cast<ssize_t>(sizeof buffer)) return true;
        at += n;
    }
}

// Lists /proc and calls `f(pid, rel, file)` for every process: `rel` holds
// "<pid>/" and the name of a file written at `file` completes its path
// below /proc. Gives the number of processes.
template <typename F>
long for_each_process(F f) {
    long processes = 0;
    DIR* d = opendir("/proc");
    if (!d) return 0;
    char rel[64];
    while (dirent* e = readdir(d)) {
        const char* name = e->d_name;
        if (*name < '0' || *name > '9') continue;
        ++processes;
        const std::size_t n = std::strlen(name);
        if (n + 10 > sizeof rel) continue;
        std::memcpy(rel, name, n);
        rel[n] = '/';
        f(name, rel, rel + n + 1);
    }
    closedir(d);
    return processes;
}

}  // namespace

struct KeptFloor::Files {
    struct Entry {
        int fd[4] = {-1, -1, -1, -1};
        unsigned long seen = 0;
    };
    std::unordered_map<long, Entry> by_pid;
    unsigned long cycle = 0;
};

KeptFloor::KeptFloor() : files_(new Files) {
    rlimit lim{};  // room for four descriptors per process
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

KeptFloor::~KeptFloor() {
    for (auto& [pid, e] : files_->by_pid)
        for (int fd : e.fd)
            if (fd >= 0) close(fd);
    delete files_;
}

long KeptFloor::cycle(int proc_dir) {
    read_system_files();
    const unsigned long now = ++files_->cycle;
    const long processes = for_each_process([&](const char* name, char* rel, char* file) {
        Files::Entry& entry = files_->by_pid[std::atol(name)];
        entry.seen = now;
        for (int i = 0; i < 4; ++i) {
            int& fd = entry.fd[i];
            if (fd >= 0 && pread_file(fd)) continue;
            if (fd >= 0) close(fd);
            std::strcpy(file, kProcessFiles[i]);
            fd = openat(proc_dir, rel, O_RDONLY | O_CLOEXEC);
            if (fd >= 0 && !pread_file(fd)) {
                close(fd);
                fd = -1;
            }
        }
    });
    for (auto it = files_->by_pid.begin(); it != files_->by_pid.end();) {
        if (it->second.seen == now) {
            ++it;
            continue;
        }
        for (int fd : it->second.fd)
            if (fd >= 0) close(fd);
        it = files_->by_pid.erase(it);
    }
    return processes;
}

long proc_read_floor_cycle(int proc_dir) {
    read_system_files();
    return for_each_process([&](const char*, char* rel, char* file) {
        for (const char* name : kProcessFiles) {
            std::strcpy(file, name);
            read_file(proc_dir, rel);
        }
    });
}

#ifndef VYR_FLOOR_IN_BENCH
namespace {

double cpu_us() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

}  // namespace

int main(int argc, char** argv) {
    const int cycles = argc > 1 ? std::atoi(argv[1]) : 40;
    if (cycles <= 0) return 2;
    const bool kept = argc > 2 && std::strcmp(argv[2], "--kept") == 0;
    const int proc_dir = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc_dir < 0) return 1;
    KeptFloor files;
    auto cycle = [&] { return kept ? files.cycle(proc_dir) : proc_read_floor_cycle(proc_dir); };
    long processes = cycle();  // warms the kernel's caches as the engine's first lists do
    const double start = cpu_us();
    for (int i = 0; i < cycles; ++i) processes = cycle();
    const double spent = cpu_us() - start;
    std::printf("%d %ld %.3f\n", cycles, processes, spent / cycles);
    return 0;
}
#endif
