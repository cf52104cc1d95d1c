// The kernel's text files under /proc and /sys, read the way the system
// library reads them, as functions of the text alone: the platform reads the
// files and hands their contents here, and tests and fuzz targets can hand
// in any text. Whole numbers that would grow past 64 bits (the runtime's
// ints never overflow) stop at the ends of the range instead.
#pragma once

#include <algorithm>
#include <array>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "vyr/engine/platform.hpp"

namespace vyr::engine::proc_text {

// used / total in percent, rounded to one place; 0 for a total of 0.
double usage_percent(double used, double total);

// --- processors

// The count of a list of online processors ("0-3,8"); none for a bad or empty list.
std::optional<long> online_cpu_count(std::string_view data);
// The "cpuN" lines of /proc/stat, and the "processor" lines of /proc/cpuinfo.
long stat_cpu_lines(std::string_view data);
long cpuinfo_processor_lines(std::string_view data);
// Sockets times cores from /proc/cpuinfo; none when it gives no positive total.
// Throws SystemError on a line it cannot read.
std::optional<long> cpuinfo_physical_cores(std::string_view data);
// The "cpu MHz" figures of /proc/cpuinfo. Throws SystemError on a bad one.
std::vector<double> cpuinfo_mhz(std::string_view data);
// Processor times in seconds from /proc/stat. Throws SystemError on a bad line.
CpuTimesSample cpu_times_from_stat(std::string_view data, double ticks_per_second);
// The boot time ("btime") of /proc/stat; none without that line. Throws
// SystemError on a bad figure.
std::optional<double> boot_time_from_stat(std::string_view data);
std::optional<LoadAverage> parse_loadavg(std::string_view data);

// --- memory

// /proc/meminfo: each name with its colon, and its figure times 1024.
// Throws SystemError on a line without a whole number in its second field.
// The lines of a meminfo by name, in bytes: a later line of the same name
// stands in for an earlier one.
class MemInfo {
public:
    using Entry = std::pair<std::string, long long>;
    using const_iterator = std::vector<Entry>::const_reverse_iterator;

    MemInfo() { entries_.reserve(64); }  // a meminfo has some 50 lines
    void add(std::string_view name, long long bytes) { entries_.emplace_back(name, bytes); }
    const_iterator find(std::string_view name) const {
        return std::find_if(entries_.rbegin(), entries_.rend(), [&](const Entry& e) { return e.first == name; });
    }
    const_iterator end() const { return entries_.rend(); }
    std::size_t count(std::string_view name) const { return find(name) == end() ? 0 : 1; }

private:
    std::vector<Entry> entries_;
};
MemInfo parse_meminfo(std::string_view data);
// The sum of the "low" watermarks of /proc/zoneinfo, in pages. Throws
// SystemError on a bad figure.
long long zoneinfo_low_pages(std::string_view data);
// The memory figures of a meminfo. `zoneinfo` gives the text of
// /proc/zoneinfo (none when it cannot be read); it is asked for only when
// meminfo has no MemAvailable line (older kernels). Throws SystemError when
// MemTotal or MemFree is missing.
VirtualMemory virtual_memory_from(const MemInfo& mems,
                                  const std::function<std::optional<std::string>()>& zoneinfo,
                                  long page_size);
// Bytes swapped in and out since boot from /proc/vmstat (pages of 4 KiB);
// both 0 unless both lines are there. Throws SystemError on a bad figure.
struct SwapTraffic {
    long long in = 0, out = 0;
};
SwapTraffic vmstat_swap_bytes(std::string_view data);
// Totals and traffic in bytes to the swap record.
SwapMemory swap_memory_from(long long total, long long free, SwapTraffic traffic);

// --- disks

// The file systems of /proc/filesystems that stand on a device (and zfs).
// Throws SystemError on a "nodev" line without a name.
std::set<std::string> device_filesystems(std::string_view data);
// One line of a mount table: device ("" for "none"), mount point and type,
// unescaped as getmntent does; none for a comment or a short line.
std::optional<Partition> parse_mount_line(std::string_view line);
// The same three fields as they stand in the line, and one of them unescaped.
std::optional<std::array<std::string_view, 3>> mount_fields(std::string_view line);
std::string unescape_mount_field(std::string_view field);
// The sectors read and written by each disk of /proc/diskstats, in bytes.
// Throws SystemError on a line of an unknown layout or with a bad figure.
struct DiskCounters {
    std::string_view name;
    std::uint64_t read_bytes = 0, write_bytes = 0;
};
std::vector<DiskCounters> parse_diskstats(std::string_view data);

// --- processes

// read_bytes and write_bytes of a /proc/<pid>/io file; none when a figure is
// bad or either is missing.
std::optional<IoTotals> parse_io_counters(std::string_view data);

}  // namespace vyr::engine::proc_text
