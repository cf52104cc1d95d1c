// The snapshot on a fixture machine: processor shares against the reference
// points, memory, swap, disk rates, load, workload levels and uptime.
#include <gtest/gtest.h>

#include <climits>
#include <clocale>

#include "fixture.hpp"
#include "vyr/engine/engine.hpp"
#include "vyr/numfmt.hpp"

namespace vyr::engine::testing {
namespace {

constexpr double GB = 1073741824.0;
constexpr double MB = 1048576.0;
constexpr std::uint64_t GiB = 1073741824ULL;

class SnapshotTest : public ::testing::Test {
protected:
    void SetUp() override {
        write_machine(tree);
        platform->usage["/"] = make_usage(100 * GiB, 40 * GiB);
        platform->usage["/boot/efi"] = make_usage(256 * 1048576ULL, 1);
    }
    std::unique_ptr<Engine> make_engine() {
        EngineOptions o;
        o.app_dir = "/opt/vyr";
        o.start_folder_scan = false;
        return std::make_unique<Engine>(platform, clock, o);
    }
    void write_stat(const std::string& per_cpu_lines) {
        tree.write("proc/stat", "cpu  0 0 0 0 0 0 0 0 0 0\n" + per_cpu_lines + "btime 1699990000\n");
    }
    // Memory with the given share in use, swap with the given share in use.
    void write_memory(double ram_used_pct, double swap_used_pct) {
        const long long total = 1000000;
        const long long avail = total - static_cast<long long>(total * ram_used_pct / 100);
        const long long swap_free = total - static_cast<long long>(total * swap_used_pct / 100);
        tree.write("proc/meminfo", "MemTotal: " + numfmt::integer(total) + " kB\nMemFree: 1000 kB\nMemAvailable: " +
                                       numfmt::integer(avail) + " kB\nBuffers: 0 kB\nCached: 0 kB\nSwapTotal: " +
                                       numfmt::integer(total) + " kB\nSwapFree: " + numfmt::integer(swap_free) +
                                       " kB\n");
    }
    void write_reads(long long sda_sectors) {
        tree.write("proc/diskstats", "   8       0 sda 100 0 " + numfmt::integer(sda_sectors) +
                                         " 10 50 0 4096 5 0 10 15 0 0 0 0 0 0\n");
    }

    TempTree tree;
    std::shared_ptr<FixturePlatform> platform = std::make_shared<FixturePlatform>(tree.root());
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
};

TEST_F(SnapshotTest, FirstSnapshotCoversTheTimeSinceConstruction) {
    auto engine = make_engine();
    tree.write("proc/stat",
               "cpu  260 0 125 815 0 0 0 0 0 0\n"
               "cpu0 150 0 75 375 0 0 0 0 0 0\n"  // 50 user + 25 system of 100 ticks
               "cpu1 110 0 50 440 0 0 0 0 0 0\n"  // 10 of 100
               "btime 1699990000\n");
    tree.write("proc/diskstats",
               "   8       0 sda 100 0 22528 10 50 0 4096 5 0 10 15 0 0 0 0 0 0\n"
               "   8       1 sda1 90 0 1024 9 40 0 2048 4 0 9 13 0 0 0 0 0 0\n"
               "   7       0 loop0 1 0 8 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n");
    clock->advance(0.05);
    const auto s = engine->get_system_snapshot();
    EXPECT_EQ(s.cpu_per_core, (std::vector<double>{75.0, 10.0}));
    EXPECT_DOUBLE_EQ(s.cpu_percent, 42.5);
    // 20480 more sectors of 512 bytes = 10 MB, over the shortest interval of 0.1 s
    EXPECT_DOUBLE_EQ(s.disk_read_mb_s, 100.0);
    EXPECT_DOUBLE_EQ(s.disk_write_mb_s, 0.0);
    EXPECT_EQ(s.timestamp, clock->wall_now);
    EXPECT_EQ(s.cpu_count_logical, 2);
    EXPECT_EQ(s.cpu_count_physical, 2);
    EXPECT_EQ(s.disk_mount, "/");
    EXPECT_EQ(s.disk_device, "/dev/sda1");
    EXPECT_DOUBLE_EQ(s.disk_total_gb, 100.0);
    EXPECT_DOUBLE_EQ(s.disk_used_gb, 40.0);
    EXPECT_DOUBLE_EQ(s.cpu_freq_mhz, 2500.0);
    EXPECT_DOUBLE_EQ(s.load_1m, 0.5);
    EXPECT_DOUBLE_EQ(s.load_15m, 0.3);
}

TEST_F(SnapshotTest, MemoryAndSwapFigures) {
    auto engine = make_engine();
    const auto s = engine->get_system_snapshot();
    EXPECT_DOUBLE_EQ(s.ram_total_gb, 8000000 * 1024.0 / GB);
    EXPECT_DOUBLE_EQ(s.ram_avail_gb, 6000000 * 1024.0 / GB);
    EXPECT_DOUBLE_EQ(s.ram_used_gb, 2000000 * 1024.0 / GB);
    EXPECT_DOUBLE_EQ(s.ram_percent, 25.0);
    // cache counts the reclaimable slab, as the system library does, plus buffers
    EXPECT_DOUBLE_EQ(s.ram_cached_gb, (2000000 + 200000 + 100000) * 1024.0 / GB);
    EXPECT_DOUBLE_EQ(s.swap_percent, 25.0);
    EXPECT_DOUBLE_EQ(s.swap_used_mb, 500000 * 1024.0 / MB);
    EXPECT_DOUBLE_EQ(s.swap_total_gb, 2000000 * 1024.0 / GB);
    EXPECT_DOUBLE_EQ(s.swap_free_gb, 1500000 * 1024.0 / GB);
    EXPECT_DOUBLE_EQ(s.swap_sin_mb, 1.0);  // 256 pages of 4 KiB
    EXPECT_DOUBLE_EQ(s.swap_sout_mb, 2.0);

    // Without MemAvailable (and no zone data) available memory is free + cached.
    tree.write("proc/meminfo", "MemTotal: 8000000 kB\nMemFree: 1000000 kB\nCached: 2000000 kB\n"
                               "SwapTotal: 0 kB\nSwapFree: 0 kB\n");
    tree.remove("proc/vmstat");
    const auto t = engine->get_system_snapshot();
    EXPECT_DOUBLE_EQ(t.ram_avail_gb, 3000000 * 1024.0 / GB);
    EXPECT_DOUBLE_EQ(t.ram_percent, 62.5);
    EXPECT_DOUBLE_EQ(t.swap_percent, 0.0);
    EXPECT_DOUBLE_EQ(t.swap_sin_mb, 0.0);
}

TEST_F(SnapshotTest, AbsurdMemoryFiguresStopAtTheEndsOfTheRange) {
    constexpr std::uint64_t kMax = 9223372036854775807ULL;
    constexpr std::uint64_t kMin = 9223372036854775808ULL;  // the most negative figure, as stored
    struct Case {
        const char* name;
        const char* meminfo;
        const char* zoneinfo;  // nullptr: none
        std::uint64_t total, available;
        double percent;
    } cases[] = {
        {"figures beyond 64 bits",
         "MemTotal: 99999999999999999999 kB\nMemFree: 9007199254740992 kB\nMemAvailable: 9007199254740992 kB\n",
         nullptr, kMax, kMax, 0.0},
        {"kB times 1024 beyond 64 bits", "MemTotal: 9007199254740992 kB\nMemFree: 1 kB\nMemAvailable: 4 kB\n",
         nullptr, kMax, 4096, 100.0},
        {"free + cached beyond 64 bits",
         "MemTotal: 9007199254740991 kB\nMemFree: 9007199254740991 kB\nCached: 9007199254740991 kB\n", nullptr,
         9223372036854774784ULL, 9223372036854774784ULL, 0.0},
        {"watermarks and page cache beyond 64 bits",
         "MemTotal: 8000000 kB\nMemFree: 1000000 kB\nCached: 0 kB\nActive(file): 9007199254740991 kB\n"
         "Inactive(file): 9007199254740991 kB\nSReclaimable: 0 kB\n",
         "Node 0, zone Normal\n  pages free 1\n        low 9223372036854775807\n        low 5\n", 8192000000ULL,
         0, 100.0},
        {"available falls back to a negative free figure",
         "MemTotal: 5 kB\nMemFree: -99999999999999999999 kB\nMemAvailable: 10 kB\nSwapTotal: 0 kB\nSwapFree: 0 kB\n",
         nullptr, 5120, kMin,
         1.8014398509481984e17},
    };
    for (const auto& c : cases) {
        // The memory figures are read with the swap figures.
        tree.write("proc/meminfo", std::string(c.meminfo) + "SwapTotal: 0 kB\nSwapFree: 0 kB\n");
        if (c.zoneinfo) tree.write("proc/zoneinfo", c.zoneinfo);
        else tree.remove("proc/zoneinfo");
        const VirtualMemory vm = platform->memory().ram;
        EXPECT_EQ(vm.total, c.total) << c.name;
        EXPECT_EQ(vm.available, c.available) << c.name;
        EXPECT_DOUBLE_EQ(vm.percent, c.percent) << c.name;
    }
    // The used figure of the snapshot saturates as well (the last total minus a negative available).
    auto engine = make_engine();
    EXPECT_DOUBLE_EQ(engine->get_system_snapshot().ram_used_gb, 9223372036854775807.0 / GB);

    tree.write("proc/meminfo", "MemTotal: 1 kB\nMemFree: 1 kB\nMemAvailable: 1 kB\n"
                               "SwapTotal: 99999999999999999999 kB\nSwapFree: -99999999999999999999 kB\n");
    tree.write("proc/vmstat", "pswpin 9223372036854775807\npswpout 2251799813685248\n");
    const SwapMemory sw = platform->memory().swap;
    EXPECT_EQ(sw.total, kMax);
    EXPECT_EQ(sw.free, kMin);
    EXPECT_EQ(sw.used, kMax);
    EXPECT_DOUBLE_EQ(sw.percent, 100.0);
    EXPECT_EQ(sw.sin, kMax);
    EXPECT_EQ(sw.sout, kMax);
}

TEST_F(SnapshotTest, DiskRatesAgainstTheBaseline) {
    auto engine = make_engine();
    struct Step {
        double advance;
        long long sda_sectors;  // the only disk from the second step on
        double read_mb_s;
    } steps[] = {
        {2.0, 2048 + 8 + 4096, 4096 * 512 / MB / 2.0},  // loop0 is gone; sda grows by more
        {-5.0, 2048 + 8 + 4096 + 2048, 2048 * 512 / MB / 0.1},  // clock set back: 0.1 s
        {1.0, 1000, 1000 * 512 / MB},  // fewer sectors than before: the counter wrapped and is carried on
        {1.0, 1000 + 2048, 2048 * 512 / MB},
    };
    for (const auto& step : steps) {
        write_reads(step.sda_sectors);
        clock->advance(step.advance);
        const auto s = engine->get_system_snapshot();
        EXPECT_DOUBLE_EQ(s.disk_read_mb_s, step.read_mb_s) << step.sda_sectors;
    }
    // A disk that disappears lowers the totals: no negative rate, and the
    // next rate is measured from the lower total.
    tree.write("proc/diskstats", "   8       0 sda 1 0 3048 10 50 0 4096 5 0 10 15 0 0 0 0 0 0\n"
                                 "   8      16 sdb 1 0 100 10 50 0 4096 5 0 10 15 0 0 0 0 0 0\n");
    tree.make_dir("sys/block/sdb");
    clock->advance(1.0);
    engine->get_system_snapshot();
    tree.write("proc/diskstats", "   8      16 sdb 1 0 2148 10 50 0 4096 5 0 10 15 0 0 0 0 0 0\n");
    clock->advance(1.0);
    EXPECT_DOUBLE_EQ(engine->get_system_snapshot().disk_read_mb_s, 0.0);
    tree.write("proc/diskstats", "   8      16 sdb 1 0 4196 10 50 0 4096 5 0 10 15 0 0 0 0 0 0\n");
    clock->advance(1.0);
    EXPECT_DOUBLE_EQ(engine->get_system_snapshot().disk_read_mb_s, 2048 * 512 / MB);
}

// The disks of each list of devices are its whole devices (the ones under
// /sys/block), whatever the list before held at the same places.
TEST_F(SnapshotTest, DiskCountersOfTheWholeDevicesOfEachList) {
    tree.make_dir("sys/block/sdb");
    const struct {
        std::vector<std::pair<const char*, int>> devices;  // name, sectors read
        std::uint64_t read_sectors;
    } lists[] = {
        {{{"sda", 100}, {"sda1", 10}, {"loop0", 1}}, 101},
        {{{"sda", 100}, {"loop0", 1}, {"sda1", 10}}, 101},
        {{{"sdb", 100}, {"sda", 200}, {"loop0", 1}}, 301},
        {{{"sdb", 100}, {"sda", 200}, {"sda1", 20}}, 300},
    };
    for (const auto& list : lists) {
        std::string stats;
        for (const auto& [name, sectors] : list.devices)
            stats += std::string("   8       0 ") + name + " 1 0 " + numfmt::integer(sectors) +
                     " 10 50 0 0 5 0 10 15 0 0 0 0 0 0\n";
        tree.write("proc/diskstats", stats);
        const auto totals = platform->disk_io_counters();
        ASSERT_TRUE(totals) << stats;
        EXPECT_EQ(totals->read_bytes, list.read_sectors * 512) << stats;
    }
}

TEST_F(SnapshotTest, DiskCountersMissingAtConstruction) {
    tree.remove("proc/diskstats");
    auto engine = make_engine();
    write_reads(2048);
    clock->advance(1.0);
    EXPECT_DOUBLE_EQ(engine->get_system_snapshot().disk_read_mb_s, 0.0);
    write_reads(4096);
    clock->advance(1.0);
    EXPECT_DOUBLE_EQ(engine->get_system_snapshot().disk_read_mb_s, 2048 * 512 / MB);
    // Unreadable counters later: rates 0.0, the baseline stays.
    tree.write("proc/diskstats", "garbage line\n");
    clock->advance(1.0);
    EXPECT_DOUBLE_EQ(engine->get_system_snapshot().disk_read_mb_s, 0.0);
    write_reads(4096 + 2048);
    clock->advance(1.0);
    EXPECT_DOUBLE_EQ(engine->get_system_snapshot().disk_read_mb_s, 2048 * 512 / MB / 2.0);
}

// Counts the platform's readings of the machine.
class CountingPlatform : public FixturePlatform {
public:
    using FixturePlatform::FixturePlatform;
    CpuTimesSample cpu_times() override {
        ++counts["processor times"];
        return FixturePlatform::cpu_times();
    }
    double boot_time() override {
        ++counts["boot time"];
        return FixturePlatform::boot_time();
    }
    MemoryFigures memory() override {
        ++counts["memory"];
        return FixturePlatform::memory();
    }
    MemoryTotals memory_totals() override {
        ++counts["memory totals"];
        return FixturePlatform::memory_totals();
    }
    std::vector<Partition> disk_partitions(bool all) override {
        ++counts[all ? "all mounts" : "partitions"];
        return FixturePlatform::disk_partitions(all);
    }
    std::map<std::string, int> counts;
};

TEST_F(SnapshotTest, EachReadingOncePerSnapshotAndProcessList) {
    write_process(tree, {101, "editor", {"editor", "notes.txt"}, 'S', 0, 0, 100, 204800});
    write_process(tree, {102, "player", {"player"}, 'S', 0, 0, 100, 51200});
    auto counting = std::make_shared<CountingPlatform>(tree.root());
    counting->usage = platform->usage;
    platform = counting;
    auto engine = make_engine();
    counting->counts.clear();
    const auto s = engine->get_system_snapshot();
    EXPECT_EQ(s.uptime_str, "2s 46dk");  // the boot time came with the processor times
    EXPECT_EQ(counting->counts, (std::map<std::string, int>{{"memory", 1}, {"partitions", 1}, {"processor times", 1}}));
    // The list that follows in the same cycle takes the snapshot's memory totals.
    counting->counts.clear();
    const auto after_snapshot = engine->collect_processes("workload", {}, false, 80);
    EXPECT_EQ(counting->counts, (std::map<std::string, int>{}));
    // A list on its own, or a second one, reads them.
    clock->advance(0.1);
    const auto second = engine->collect_processes("workload", {}, false, 80);
    EXPECT_EQ(counting->counts, (std::map<std::string, int>{{"memory totals", 1}}));
    clock->advance(1.5);
    engine->get_system_snapshot();
    clock->advance(0.6);
    counting->counts.clear();
    engine->collect_processes("workload", {}, false, 80);
    EXPECT_EQ(counting->counts, (std::map<std::string, int>{{"memory totals", 1}}));
    // Either way the memory shares are the same.
    ASSERT_FALSE(after_snapshot.empty());
    ASSERT_EQ(after_snapshot.size(), second.size());
    for (std::size_t i = 0; i < second.size(); ++i) {
        EXPECT_EQ(after_snapshot[i].pid, second[i].pid);
        EXPECT_GT(second[i].ram_percent, 0.0);
        EXPECT_EQ(after_snapshot[i].ram_percent, second[i].ram_percent) << second[i].pid;
    }
}

TEST_F(SnapshotTest, GuardedReadingsFallBackAndAreTraced) {
    auto engine = make_engine();
    TraceLines trace;
    tree.write("proc/diskstats", "garbage line\n");
    tree.write("proc/cpuinfo", "processor\t: 0\ncpu MHz\t\t: fast\n");
    tree.write("proc/stat", "cpu  200 0 100 700 0 0 0 0 0 0\ncpu0 100 0 50 350 0 0 0 0 0 0\n"
                            "cpu1 100 0 50 350 0 0 0 0 0 0\n");  // no boot time
    clock->advance(1.0);
    const auto s = engine->get_system_snapshot();
    EXPECT_EQ(s.disk_read_mb_s, 0.0);
    EXPECT_EQ(s.cpu_freq_mhz, 0.0);
    EXPECT_EQ(s.uptime_str, "-");
    EXPECT_EQ(trace.lines, (std::vector<std::string>{
                               "vyr.engine: processor frequency: could not convert string to float",
                               "vyr.engine: disk throughput: not sure how to interpret a disk statistics line",
                               "vyr.engine: uptime: line 'btime' not found in " + tree.root() + "/proc/stat",
                           }));
    // Failing again within the minute: held back.
    engine->get_system_snapshot();
    EXPECT_EQ(trace.lines.size(), 3u);
}

TEST_F(SnapshotTest, WorkloadLevels) {
    struct Case {
        int busy;      // ticks of 100 on both processors
        double load;   // 1-minute load on 2 processors
        double ram, swap;
        double overall;
        const char* label;
        const char* color;
    } cases[] = {
        {0, 0.0, 99.9, 0, 34.965, "DÜŞÜK / RAHAT", "#99D5C9"},
        {0, 0.0, 100, 0, 35.0, "NORMAL / DENGELİ", "#9CC5E3"},
        {60, 0.0, 100, 0, 65.0, "YOĞUN YÜK", "#E6C79C"},
        {100, 0.0, 100, 0, 85.0, "KRİTİK YÜK", "#E5989B"},
        {100, 0.0, 100, 100, 100.0, "KRİTİK YÜK", "#E5989B"},
        {0, 3.0, 0, 0, 50.0, "NORMAL / DENGELİ", "#9CC5E3"},   // load above the processor count is capped
        {20, 0.5, 0, 0, 12.5, "DÜŞÜK / RAHAT", "#99D5C9"},     // the larger of load share (25) and cpu (20)
    };
    for (const auto& c : cases) {
        write_stat("cpu0 0 0 0 0 0 0 0 0 0 0\ncpu1 0 0 0 0 0 0 0 0 0 0\n");
        write_memory(c.ram, c.swap);
        tree.write("proc/loadavg", numfmt::fixed(c.load, 2) + " 0.00 0.00 1/1 1\n");
        auto engine = make_engine();
        const std::string b = numfmt::integer(c.busy), i = numfmt::integer(100 - c.busy);
        write_stat("cpu0 " + b + " 0 0 " + i + " 0 0 0 0 0 0\ncpu1 " + b + " 0 0 " + i + " 0 0 0 0 0 0\n");
        const auto s = engine->get_system_snapshot();
        EXPECT_DOUBLE_EQ(s.overall_workload_percent, c.overall) << c.busy << " " << c.ram;
        EXPECT_EQ(s.workload_label, c.label) << c.overall;
        EXPECT_EQ(s.workload_color, c.color) << c.overall;
    }
}

TEST_F(SnapshotTest, ProcessorSharesFollowTheSystemLibrary) {
    // iowait counts as idle; guest time is already inside user time; a
    // falling field counts as zero; no time passed gives 0.0.
    write_stat("cpu0 100 0 0 100 100 0 0 0 50 0\ncpu1 100 0 0 100 0 0 0 0 0 0\n");
    auto engine = make_engine();
    write_stat("cpu0 200 0 0 150 150 0 0 0 100 0\ncpu1 90 0 0 100 0 0 0 0 0 0\n");
    const auto s = engine->get_system_snapshot();
    // cpu0: user 100 (50 of them guest), idle 50, iowait 50: busy 100 of 250 - 50
    EXPECT_EQ(s.cpu_per_core, (std::vector<double>{50.0, 0.0}));
    EXPECT_DOUBLE_EQ(s.cpu_percent, 25.0);

    // Without per-processor lines the system-wide reading stands in.
    tree.write("proc/stat", "cpu  100 0 0 100 0 0 0 0 0 0\nbtime 1699990000\n");
    engine->get_system_snapshot();
    tree.write("proc/stat", "cpu  130 0 0 170 0 0 0 0 0 0\nbtime 1699990000\n");
    const auto t = engine->get_system_snapshot();
    EXPECT_TRUE(t.cpu_per_core.empty());
    EXPECT_DOUBLE_EQ(t.cpu_percent, 30.0);
}

TEST_F(SnapshotTest, UptimeText) {
    auto engine = make_engine();
    struct Case {
        double seconds_since_boot;
        const char* text;
    } cases[] = {
        {86400, "1g 0s 0dk"}, {59, "0s 0dk"}, {90061, "1g 1s 1dk"}, {3 * 86400 + 4 * 3600 + 5 * 60 + 9, "3g 4s 5dk"},
        {-30.5, "23s 59dk"},  // boot time in the future: -30 s, days -1
    };
    for (const auto& c : cases) {
        clock->wall_now = 1699990000 + c.seconds_since_boot;
        EXPECT_EQ(engine->format_uptime(), c.text) << c.seconds_since_boot;
    }
    tree.write("proc/stat", "cpu  0 0 0 0 0 0 0 0 0 0\n");
    EXPECT_EQ(engine->format_uptime(), "-");
}

TEST_F(SnapshotTest, ProcessorCounts) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> files;  // written after the machine
        std::vector<std::string> removed;
        long logical, physical;
    } cases[] = {
        {"two threads of one core", {{"sys/devices/system/cpu/cpu0/topology/core_cpus_list", "0-1\n"},
                                     {"sys/devices/system/cpu/cpu1/topology/core_cpus_list", "0-1\n"}}, {}, 2, 1},
        {"older kernels name the siblings", {{"sys/devices/system/cpu/cpu0/topology/thread_siblings_list", "0\n"},
                                              {"sys/devices/system/cpu/cpu1/topology/thread_siblings_list", "1\n"}},
         {"sys/devices/system/cpu/cpu0/topology/core_cpus_list", "sys/devices/system/cpu/cpu1/topology/core_cpus_list"},
         2, 2},
        {"cores from the processor list", {}, {"sys/devices/system/cpu/cpu0", "sys/devices/system/cpu/cpu1"}, 2, 2},
        {"nothing known about cores",
         {{"proc/cpuinfo", "processor\t: 0\n\nprocessor\t: 1\n\n"}},
         {"sys/devices/system/cpu/cpu0", "sys/devices/system/cpu/cpu1"}, 2, 2},
        {"online list missing: processor lines of the statistics", {{"sys/devices/system/cpu/online", "garbage"}},
         {}, 2, 2},
        // Absurd figures stop at the end of the range instead of wrapping round.
        {"a range past the 64-bit end", {{"sys/devices/system/cpu/online", "0-9223372036854775807,4\n"}}, {},
         LONG_MAX, 2},
        {"cores past the 64-bit end",
         {{"proc/cpuinfo", "physical id\t: 0\ncpu cores\t: 9223372036854775807\n\n"
                           "physical id\t: 1\ncpu cores\t: 99999999999999999999\n\n"}},
         {"sys/devices/system/cpu/cpu0", "sys/devices/system/cpu/cpu1"}, 2, LONG_MAX},
    };
    for (const auto& c : cases) {
        TempTree t;
        write_machine(t);
        for (const auto& f : c.files) t.write(f.first, f.second);
        for (const auto& r : c.removed) t.remove(r);
        auto p = std::make_shared<FixturePlatform>(t.root());
        p->usage["/"] = make_usage(100 * GiB, 40 * GiB);
        EngineOptions o;
        o.start_folder_scan = false;
        Engine e(p, clock, o);
        EXPECT_EQ(e.cpu_count_logical(), c.logical) << c.name;
        EXPECT_EQ(e.cpu_count_physical(), c.physical) << c.name;
    }
}

TEST_F(SnapshotTest, FiguresIgnoreTheCLocale) {
    // The GUI switches the C locale to the user's; Turkish writes a decimal
    // comma and lower-cases "I" to a dotless letter.
    if (!std::setlocale(LC_ALL, "tr_TR.UTF-8")) GTEST_SKIP() << "no Turkish locale installed";
    tree.write("proc/cpuinfo", "PROCESSOR\t: 0\nPHYSICAL ID\t: 0\nCPU MHZ\t\t: 2400.500\nCPU CORES\t: 4\n\n");
    for (int i = 0; i < 2; ++i) tree.remove("sys/devices/system/cpu/cpu" + numfmt::integer(i));
    tree.write("proc/loadavg", "1.25 0.40 0.30 1/100 1234\n");
    auto engine = make_engine();
    const auto s = engine->get_system_snapshot();
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(s.cpu_count_physical, 4);
    EXPECT_DOUBLE_EQ(s.cpu_freq_mhz, 2400.5);
    EXPECT_DOUBLE_EQ(s.load_1m, 1.25);
}

TEST_F(SnapshotTest, WindowsSteps) {
    platform = std::make_shared<WindowsStepsPlatform>(tree.root());
    platform->usage["C:\\"] = make_usage(500 * GiB, 100 * GiB);
    auto engine = make_engine();
    const auto s = engine->get_system_snapshot();
    EXPECT_EQ(s.load_1m, 0.0);
    EXPECT_EQ(s.load_5m, 0.0);
    EXPECT_EQ(s.load_15m, 0.0);
    EXPECT_EQ(s.ram_cached_gb, 0.0);
    EXPECT_EQ(s.disk_mount, "/");
    EXPECT_EQ(s.disk_device, "C:\\");
    EXPECT_DOUBLE_EQ(s.disk_total_gb, 500.0);
}

}  // namespace
}  // namespace vyr::engine::testing
