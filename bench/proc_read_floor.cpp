// The floor of an engine cycle: the least work any program must do to read
// what the engine reads, and nothing else. One cycle lists /proc, opens and
// reads the stat, status, io and cmdline files of every process, and the
// system files a snapshot and a process list read (each once), with plain
// system calls: one read per file into a buffer large enough for it, no
// parsing. Standalone on purpose: no engine code, no allocation per file.
//
// Run: proc_read_floor CYCLES. Prints: cycles, processes, CPU microseconds per
// cycle (the process's own CPU time over the measured cycles). The engine
// benchmark also builds this file into itself (VYR_FLOOR_IN_BENCH) and runs
// one floor cycle after each engine cycle, so that both meet the same load.
#include <dirent.h>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

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

}  // namespace

long proc_read_floor_cycle(int proc_dir) {
    for (const char* path : kSystemFiles) read_file(AT_FDCWD, path);
    struct statvfs st;
    statvfs("/", &st);

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
        for (const char* file : kProcessFiles) {
            std::strcpy(rel + n + 1, file);
            read_file(proc_dir, rel);
        }
    }
    closedir(d);
    return processes;
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
    const int proc_dir = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc_dir < 0) return 1;
    long processes = proc_read_floor_cycle(proc_dir);  // warms the kernel's caches as the engine's first lists do
    const double start = cpu_us();
    for (int i = 0; i < cycles; ++i) processes = proc_read_floor_cycle(proc_dir);
    const double spent = cpu_us() - start;
    std::printf("%d %ld %.3f\n", cycles, processes, spent / cycles);
    return 0;
}
#endif
