// The records that cross between the engine and the application: one C++
// definition that both sides include. Only the engine builds them as Python
// objects; only the app reads them back into these structs.
#pragma once

#include <string>
#include <vector>

namespace vyr {

struct DiskPartitionInfo {
    std::string device;
    std::string mountpoint;
    std::string fstype;
    double total_gb = 0.0;
    double used_gb = 0.0;
    double free_gb = 0.0;
    double percent = 0.0;
};

struct FolderUsageInfo {
    std::string label;
    std::string path;
    double size_mb = 0.0;
    std::string size_str;
};

struct SystemMetricsSnapshot {
    double timestamp = 0.0;
    double load_1m = 0.0;
    double load_5m = 0.0;
    double load_15m = 0.0;
    double overall_workload_percent = 0.0;
    std::string workload_label;
    std::string workload_color;
    std::string uptime_str;
    double cpu_percent = 0.0;
    std::vector<double> cpu_per_core;
    double cpu_freq_mhz = 0.0;
    long long cpu_count_logical = 1;
    long long cpu_count_physical = 1;
    double ram_percent = 0.0;
    double ram_used_gb = 0.0;
    double ram_total_gb = 0.0;
    double ram_avail_gb = 0.0;
    double ram_cached_gb = 0.0;
    double disk_percent = 0.0;
    double disk_used_gb = 0.0;
    double disk_total_gb = 0.0;
    double disk_free_gb = 0.0;
    double disk_read_mb_s = 0.0;
    double disk_write_mb_s = 0.0;
    std::string disk_mount;
    std::string disk_device;
    std::vector<DiskPartitionInfo> partitions;
    double swap_percent = 0.0;
    double swap_used_gb = 0.0;
    double swap_total_gb = 0.0;
    double swap_free_gb = 0.0;
    double swap_used_mb = 0.0;
    double swap_total_mb = 0.0;
    double swap_sin_mb = 0.0;
    double swap_sout_mb = 0.0;
};

struct ProcessEntry {
    long long pid = 0;
    std::string name;
    std::string display_name;
    std::string username;
    std::string status;
    double cpu_percent = 0.0;
    double ram_percent = 0.0;
    double ram_mb = 0.0;
    double swap_mb = 0.0;
    double disk_rw_kb_s = 0.0;
    double disk_total_mb = 0.0;
    double workload_score = 0.0;
    long long process_count = 1;
    std::string cmdline;
};

}  // namespace vyr
