// Test helpers: a fixture tree standing in for /proc and /sys, a clock moved
// by hand, and a platform whose non-file calls the tests decide.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "vyr/engine/clock.hpp"
#include "vyr/engine/linux_platform.hpp"

namespace vyr::engine::testing {

// A temporary folder removed with everything in it at the end of the test.
class TempTree {
public:
    TempTree();
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::string& root() const { return root_; }
    std::string path(const std::string& rel) const { return root_ + "/" + rel; }
    void write(const std::string& rel, const std::string& content) const;
    void make_dir(const std::string& rel) const;
    void remove(const std::string& rel) const;
    void symlink(const std::string& target, const std::string& rel) const;
    void chmod(const std::string& rel, unsigned mode) const;

private:
    std::string root_;
};

class ManualClock : public Clock {
public:
    double wall_now = 1'700'000'000.0;
    double mono_now = 1000.0;
    double wall() override { return wall_now; }
    double monotonic() override { return mono_now; }
    void advance(double seconds) {
        wall_now += seconds;
        mono_now += seconds;
    }
};

// The Linux platform on a fixture tree, with disk usage, signals and the
// environment decided by the test.
class FixturePlatform : public LinuxPlatform {
public:
    explicit FixturePlatform(const std::string& root) : LinuxPlatform(root) {}

    std::map<std::string, DiskUsage> usage;      // by path
    std::set<std::string> failing_usage;         // paths whose usage query fails
    bool fail_partitions = false;                // the partition enumeration fails
    std::map<std::string, std::string> environment;
    std::map<long long, IoTotals> io_counters;   // the Windows per-process counters
    std::optional<std::string> home;

    DiskUsage disk_usage(const std::string& path) override;
    std::vector<Partition> disk_partitions(bool all) override;
    std::optional<std::string> env(const std::string& name) override;
    std::optional<IoTotals> process_io_counters(long long pid) override;
    std::string home_dir() override;
};

// The engine's Windows steps on the fixture tree: the system reports itself
// as Windows, has no load average and no cache or buffer memory figures.
class WindowsStepsPlatform : public FixturePlatform {
public:
    using FixturePlatform::FixturePlatform;
    bool windows() const override { return true; }
    MemoryFigures memory() override;
    std::optional<LoadAverage> load_average() override { return std::nullopt; }
};

// Collects the lines of the engine's trace (turned on) while it lives.
class TraceLines {
public:
    TraceLines() { restart(); }
    ~TraceLines();
    TraceLines(const TraceLines&) = delete;
    TraceLines& operator=(const TraceLines&) = delete;
    // Forgets the lines, and the reports held back, so far.
    void restart();
    std::vector<std::string> lines;
};

// A usage record as the system library fills it.
DiskUsage make_usage(std::uint64_t total, std::uint64_t used);

// A /proc/<pid>/stat line with the given fields and plausible others.
std::string stat_line(long long pid, const std::string& comm, char state, long long utime, long long stime,
                      long long start);

// Writes a small, complete machine under `tree`: 2 processors, memory,
// swap, disks and mounts. Tests change single files afterwards.
void write_machine(const TempTree& tree);

// Writes /proc/<pid>/{stat,status,io,cmdline}.
struct FakeProcess {
    long long pid;
    std::string comm;
    std::vector<std::string> args;
    char state = 'S';
    long long utime = 0, stime = 0, start = 100;
    long long rss_kb = 1024, swap_kb = 0;
    long long read_bytes = 0, write_bytes = 0;
    unsigned uid = 1000;
};
void write_process(const TempTree& tree, const FakeProcess& p);

}  // namespace vyr::engine::testing
