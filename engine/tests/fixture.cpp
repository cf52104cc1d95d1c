#include "fixture.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "vyr/numfmt.hpp"
#include "vyr/trace.hpp"

namespace fs = std::filesystem;

namespace vyr::engine::testing {

TempTree::TempTree() {
    std::string tmpl = (fs::temp_directory_path() / "vyr-engine-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    root_ = tmpl;
}

TempTree::~TempTree() {
    std::error_code ec;
    // Give back any permission a test took away, so the tree can go.
    for (auto it = fs::recursive_directory_iterator(root_, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_symlink()) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(root_, ec);
}

void TempTree::write(const std::string& rel, const std::string& content) const {
    const fs::path p = path(rel);
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << content;
}

void TempTree::make_dir(const std::string& rel) const { fs::create_directories(path(rel)); }
void TempTree::remove(const std::string& rel) const { fs::remove_all(path(rel)); }
void TempTree::symlink(const std::string& target, const std::string& rel) const {
    fs::create_directories(fs::path(path(rel)).parent_path());
    fs::create_symlink(target, path(rel));
}
void TempTree::chmod(const std::string& rel, unsigned mode) const { ::chmod(path(rel).c_str(), mode); }

DiskUsage FixturePlatform::disk_usage(const std::string& path) {
    if (failing_usage.count(path)) throw SystemError(EIO, "usage query failed", path);
    auto it = usage.find(path);
    if (it == usage.end()) throw SystemError(ENOENT, "no such path", path);
    return it->second;
}

std::vector<Partition> FixturePlatform::disk_partitions(bool all) {
    if (fail_partitions) throw SystemError(EIO, "partition enumeration failed", "/proc/self/mounts");
    return LinuxPlatform::disk_partitions(all);
}

std::optional<std::string> FixturePlatform::env(const std::string& name) {
    auto it = environment.find(name);
    if (it == environment.end()) return std::nullopt;
    return it->second;
}

std::optional<IoTotals> FixturePlatform::process_io_counters(long long pid) {
    auto it = io_counters.find(pid);
    if (it == io_counters.end()) return std::nullopt;
    return it->second;
}

std::string FixturePlatform::home_dir() {
    if (home) return *home;
    return LinuxPlatform::home_dir();
}

MemoryFigures WindowsStepsPlatform::memory() {
    MemoryFigures m = FixturePlatform::memory();
    m.ram.cached.reset();
    m.ram.buffers.reset();
    return m;
}

TraceLines::~TraceLines() { vyr::trace::reset_for_test(); }

void TraceLines::restart() {
    lines.clear();
    vyr::trace::set_hooks_for_test({"vyr.engine=true", [this](const std::string& l) { lines.push_back(l); }, {}});
}

DiskUsage make_usage(std::uint64_t total, std::uint64_t used) {
    DiskUsage u;
    u.total = total;
    u.used = used;
    u.free = total - used;
    u.percent = total ? static_cast<double>(used) / static_cast<double>(total) * 100 : 0.0;
    return u;
}

std::string stat_line(long long pid, const std::string& comm, char state, long long utime, long long stime,
                      long long start) {
    using numfmt::integer;
    std::string s = integer(pid) + " (" + comm + ") " + std::string(1, state) + " 1 " + integer(pid) + " " +
                    integer(pid) + " 0 -1 4194560 100 0 0 0 " + integer(utime) + " " + integer(stime) +
                    " 0 0 20 0 1 0 " + integer(start) + " 10000000 250";
    for (int i = 0; i < 28; ++i) s += " 0";
    return s + "\n";
}

void write_machine(const TempTree& t) {
    t.write("sys/devices/system/cpu/online", "0-1\n");
    for (int i = 0; i < 2; ++i) {
        const std::string c = "sys/devices/system/cpu/cpu" + numfmt::integer(i) + "/topology/";
        t.write(c + "core_cpus_list", numfmt::integer(i) + "\n");
    }
    t.write("proc/stat",
            "cpu  200 0 100 700 0 0 0 0 0 0\n"
            "cpu0 100 0 50 350 0 0 0 0 0 0\n"
            "cpu1 100 0 50 350 0 0 0 0 0 0\n"
            "intr 1 2 3\nctxt 100\nbtime 1699990000\nprocesses 10\n");
    t.write("proc/cpuinfo",
            "processor\t: 0\nphysical id\t: 0\ncpu MHz\t\t: 2000.000\ncpu cores\t: 2\n\n"
            "processor\t: 1\nphysical id\t: 0\ncpu MHz\t\t: 3000.000\ncpu cores\t: 2\n\n");
    t.write("proc/meminfo",
            "MemTotal:        8000000 kB\nMemFree:         1000000 kB\nMemAvailable:    6000000 kB\n"
            "Buffers:          100000 kB\nCached:          2000000 kB\nSwapCached:            0 kB\n"
            "Active:          3000000 kB\nInactive:        1000000 kB\nShmem:             10000 kB\n"
            "Slab:             300000 kB\nSReclaimable:     200000 kB\nSwapTotal:       2000000 kB\n"
            "SwapFree:        1500000 kB\nHugePages_Total:       0\n");
    t.write("proc/vmstat", "nr_free_pages 1\npswpin 256\npswpout 512\npgfault 9\n");
    t.write("proc/loadavg", "0.50 0.40 0.30 1/100 1234\n");
    t.write("proc/diskstats",
            "   8       0 sda 100 0 2048 10 50 0 4096 5 0 10 15 0 0 0 0 0 0\n"
            "   8       1 sda1 90 0 1024 9 40 0 2048 4 0 9 13 0 0 0 0 0 0\n"
            "   7       0 loop0 1 0 8 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n");
    t.make_dir("sys/block/sda");
    t.make_dir("sys/block/loop0");
    t.write("proc/filesystems", "nodev\tsysfs\nnodev\ttmpfs\nnodev\tproc\n\text4\n\tvfat\n\tsquashfs\n");
    t.write("proc/self/mounts",
            "sysfs /sys sysfs rw 0 0\n/dev/sda1 / ext4 rw 0 0\n/dev/sda2 /boot/efi vfat rw 0 0\n"
            "tmpfs /run tmpfs rw 0 0\n");
    t.write("etc/passwd", "root:x:0:0:root:/root:/bin/sh\nayse:x:1000:1000::/home/ayse:/bin/sh\n");
}

void write_process(const TempTree& t, const FakeProcess& p) {
    const std::string dir = "proc/" + numfmt::integer(p.pid) + "/";
    t.write(dir + "stat", stat_line(p.pid, p.comm, p.state, p.utime, p.stime, p.start));
    std::string status = "Name:\t" + p.comm + "\nState:\t" + std::string(1, p.state) + " (x)\nTgid:\t" +
                         numfmt::integer(p.pid) + "\nUid:\t" + numfmt::integer(p.uid) + "\t" +
                         numfmt::integer(p.uid) + "\t" + numfmt::integer(p.uid) + "\t" + numfmt::integer(p.uid) +
                         "\nGid:\t0\t0\t0\t0\n";
    if (p.rss_kb >= 0) status += "VmRSS:\t" + numfmt::integer(p.rss_kb) + " kB\n";
    status += "VmSwap:\t" + numfmt::integer(p.swap_kb) + " kB\nThreads:\t1\n";
    t.write(dir + "status", status);
    t.write(dir + "io", "rchar: 1\nwchar: 2\nsyscr: 3\nsyscw: 4\nread_bytes: " + numfmt::integer(p.read_bytes) +
                            "\nwrite_bytes: " + numfmt::integer(p.write_bytes) + "\ncancelled_write_bytes: 0\n");
    std::string cmd;
    for (const auto& a : p.args) cmd += a + std::string(1, '\0');
    t.write(dir + "cmdline", cmd);
}

}  // namespace vyr::engine::testing
