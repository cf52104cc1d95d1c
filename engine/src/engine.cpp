#include <algorithm>
#include <cmath>
#include <set>

#include "engine_internal.hpp"
#include "pymath.hpp"
#include "vyr/numfmt.hpp"

namespace vyr::engine {

namespace {

constexpr double kGB = 1073741824.0;
constexpr double kMB = 1048576.0;
constexpr std::uint64_t kRootAcceptBytes = 10737418240ULL;
constexpr std::uint64_t kPartitionFloorBytes = 524288000ULL;

struct Level {
    double below;
    const char* label;
    const char* color;
};
// Shares of processor, memory and swap in the overall workload.
struct WorkloadWeights {
    double cpu, ram, swap;
};
constexpr WorkloadWeights kWorkloadWeights = {0.5, 0.35, 0.15};

constexpr Level kLevels[] = {
    {35.0, "DÜŞÜK / RAHAT", "#99D5C9"},
    {65.0, "NORMAL / DENGELİ", "#9CC5E3"},
    {85.0, "YOĞUN YÜK", "#E6C79C"},
};

// Device and file-system type of the mount that holds `path` (the longest
// mount point above it; a later mount over the same point wins).
Partition mount_holding(Platform& platform, const std::string& path) {
    Partition best;
    std::size_t best_len = 0;
    bool found = false;
    for (const auto& m : platform.disk_partitions(true)) {
        const std::string& mp = m.mountpoint;
        bool holds;
        if (mp == "/") holds = !path.empty() && path[0] == '/';
        else holds = path == mp || (path.size() > mp.size() && path.compare(0, mp.size(), mp) == 0 &&
                                    path[mp.size()] == '/');
        if (holds && (!found || mp.size() >= best_len)) {
            best = m;
            best_len = mp.size();
            found = true;
        }
    }
    return best;
}

std::string fstype_holding(Platform& platform, const std::string& path) {
    try {
        return mount_holding(platform, path).fstype;
    } catch (const SystemError& e) {
        trace_failure("file system type", e.what());
        return {};
    }
}

}  // namespace

// The physical partitions, listed when first needed and then handed to every
// step that asks; a failed listing fails each of them alike.
class PartitionList {
public:
    explicit PartitionList(Platform& platform) : platform_(platform) {}
    const std::vector<Partition>& get() {
        if (!listed_) {
            listed_ = true;
            try {
                list_ = platform_.disk_partitions(false);
            } catch (const SystemError& e) {
                error_ = e;
            }
        }
        if (error_) throw *error_;
        return list_;
    }

private:
    Platform& platform_;
    bool listed_ = false;
    std::vector<Partition> list_;
    std::optional<SystemError> error_;
};

Engine::Engine(std::shared_ptr<Platform> platform, std::shared_ptr<Clock> clock, EngineOptions options)
    : platform_(std::move(platform)),
      clock_(std::move(clock)),
      options_(std::move(options)),
      procs_(std::make_unique<ProcTable>()),
      folders_(std::make_shared<FolderState>()) {
    const auto logical = platform_->cpu_count_logical();
    cpu_count_logical_ = (logical && *logical > 0) ? *logical : 1;
    const auto physical = platform_->cpu_count_physical();
    cpu_count_physical_ = (physical && *physical > 0) ? *physical : cpu_count_logical_;

    // The processor reference points: the first snapshot covers the time
    // since construction.
    const CpuTimesSample sample = platform_->cpu_times();
    last_cpu_total_ = sample.total;
    last_cpu_per_ = sample.per_cpu;

    last_disk_io_.reset();
    last_disk_io_time_ = clock_->wall();
    try {
        last_disk_io_ = platform_->disk_io_counters();
    } catch (const SystemError& e) {
        last_disk_io_.reset();
        trace_failure("disk counters at start", e.what());
    }

    if (options_.start_folder_scan) trigger_folder_scan_async();
}

Engine::~Engine() = default;

// The share of busy time between two readings of one processor, as the
// system library computes it.
double Engine::percent_of(const CpuTimes& t1, const CpuTimes& t2) const {
    const std::size_t n = std::min(t1.size(), t2.size());
    std::vector<double> deltas(n, 0.0), positive;
    for (std::size_t i = 0; i < n; ++i) {
        const double d = t2[i] - t1[i];
        deltas[i] = d > 0 ? d : 0.0;  // a falling field counts as zero
        if (d > 0) positive.push_back(d);
    }
    double all = py::sum(positive);
    if (n > 8) all -= deltas[8];  // guest time is already in user time
    if (n > 9) all -= deltas[9];
    double busy = all;
    if (n > 3) busy -= deltas[3];
    if (n > 4) busy -= deltas[4];
    if (all == 0.0) return 0.0;
    return py::round((busy / all) * 100, 1);
}

namespace {

// Memory figures in GB.
void fill_memory(SystemMetricsSnapshot& s, const VirtualMemory& vm) {
    s.ram_percent = vm.percent;
    s.ram_used_gb =
        static_cast<double>(py::sat_sub(static_cast<long long>(vm.total), static_cast<long long>(vm.available))) / kGB;
    s.ram_total_gb = static_cast<double>(vm.total) / kGB;
    s.ram_avail_gb = static_cast<double>(vm.available) / kGB;
    s.ram_cached_gb = static_cast<double>(vm.cached.value_or(0) + vm.buffers.value_or(0)) / kGB;
}

// Swap figures in GB and MB.
void fill_swap(SystemMetricsSnapshot& s, const SwapMemory& sw) {
    s.swap_percent = sw.percent;
    s.swap_used_gb = static_cast<double>(sw.used) / kGB;
    s.swap_total_gb = static_cast<double>(sw.total) / kGB;
    s.swap_free_gb = static_cast<double>(sw.free) / kGB;
    s.swap_used_mb = static_cast<double>(sw.used) / kMB;
    s.swap_total_mb = static_cast<double>(sw.total) / kMB;
    s.swap_sin_mb = static_cast<double>(sw.sin.value_or(0)) / kMB;
    s.swap_sout_mb = static_cast<double>(sw.sout.value_or(0)) / kMB;
}

// Size and use of the primary disk in GB; the mount is always shown as "/".
void fill_disk(SystemMetricsSnapshot& s, const PrimaryDisk& disk) {
    s.disk_percent = disk.usage.percent;
    s.disk_used_gb = static_cast<double>(disk.usage.used) / kGB;
    s.disk_total_gb = static_cast<double>(disk.usage.total) / kGB;
    s.disk_free_gb = static_cast<double>(disk.usage.free) / kGB;
    s.disk_device = disk.device;
    s.disk_mount = "/";
}

// The overall workload from the larger of processor load and load average,
// memory and swap, with its level.
void fill_workload(SystemMetricsSnapshot& s, long cpu_count_logical) {
    const double load_pct =
        py::min(s.load_1m / static_cast<double>(std::max<long>(1, cpu_count_logical)) * 100.0, 100.0);
    const double processor = py::max(s.cpu_percent, load_pct);
    s.overall_workload_percent = py::min(kWorkloadWeights.cpu * processor + kWorkloadWeights.ram * s.ram_percent +
                                             kWorkloadWeights.swap * s.swap_percent,
                                         100.0);
    s.workload_label = "KRİTİK YÜK";
    s.workload_color = "#E5989B";
    for (const auto& level : kLevels) {
        if (s.overall_workload_percent < level.below) {
            s.workload_label = level.label;
            s.workload_color = level.color;
            break;
        }
    }
}

}  // namespace

// Processor load since the previous snapshot: the mean over the processors,
// the whole machine's reading when there are none.
std::optional<double> Engine::measure_processors(SystemMetricsSnapshot& s) {
    const CpuTimesSample sample = platform_->cpu_times();
    const std::size_t cores = std::min(last_cpu_per_.size(), sample.per_cpu.size());
    for (std::size_t i = 0; i < cores; ++i)
        s.cpu_per_core.push_back(percent_of(last_cpu_per_[i], sample.per_cpu[i]));
    last_cpu_per_ = sample.per_cpu;
    if (!s.cpu_per_core.empty()) {
        s.cpu_percent = py::sum(s.cpu_per_core) / static_cast<double>(s.cpu_per_core.size());
    } else {
        s.cpu_percent = percent_of(last_cpu_total_ ? *last_cpu_total_ : sample.total, sample.total);
        last_cpu_total_ = sample.total;
    }
    s.cpu_freq_mhz = 0.0;
    try {
        if (const auto f = platform_->cpu_freq_current()) s.cpu_freq_mhz = *f;
    } catch (const SystemError& e) {
        trace_failure("processor frequency", e.what());
    }
    return sample.boot_time;
}

// Read and write rates of all disks since the last counters read; a failed
// read leaves 0.0 and the baseline as it was.
void Engine::measure_disk_rates(SystemMetricsSnapshot& s, double now) {
    s.disk_read_mb_s = 0.0;
    s.disk_write_mb_s = 0.0;
    try {
        const std::optional<IoTotals> current = platform_->disk_io_counters();
        double elapsed = now - last_disk_io_time_;
        if (!(elapsed > 0.1)) elapsed = 0.1;
        if (current && last_disk_io_) {
            const long long rd = static_cast<long long>(current->read_bytes - last_disk_io_->read_bytes);
            const long long wr = static_cast<long long>(current->write_bytes - last_disk_io_->write_bytes);
            const double read_delta = current->read_bytes > last_disk_io_->read_bytes ? static_cast<double>(rd) : 0.0;
            const double write_delta =
                current->write_bytes > last_disk_io_->write_bytes ? static_cast<double>(wr) : 0.0;
            s.disk_read_mb_s = read_delta / elapsed / kMB;
            s.disk_write_mb_s = write_delta / elapsed / kMB;
        }
        last_disk_io_ = current;
        last_disk_io_time_ = now;
    } catch (const SystemError& e) {
        trace_failure("disk throughput", e.what());
    }
}

// The 1-, 5- and 15-minute load averages; 0.0 each where there are none.
void Engine::measure_load(SystemMetricsSnapshot& s) {
    try {
        if (const auto l = platform_->load_average()) {
            s.load_1m = l->one;
            s.load_5m = l->five;
            s.load_15m = l->fifteen;
        }
    } catch (const SystemError& e) {
        s.load_1m = s.load_5m = s.load_15m = 0.0;
        trace_failure("load average", e.what());
    }
}

void Engine::close_idle_listed_files() {
    if (!listed_files_open_ || clock_->monotonic() - last_list_at_ < options_.listed_files_idle_s) return;
    platform_->close_listed_files();
    listed_files_open_ = false;
}

SystemMetricsSnapshot Engine::get_system_snapshot() {
    std::lock_guard<std::mutex> lock(sample_mutex_);
    close_idle_listed_files();
    SystemMetricsSnapshot s;
    const double now = clock_->wall();
    s.timestamp = now;
    const std::optional<double> boot_time = measure_processors(s);
    const MemoryFigures memory = platform_->memory();
    snapshot_totals_ = MemoryTotals{memory.ram.total, memory.swap.total};
    snapshot_totals_at_ = clock_->monotonic();
    fill_memory(s, memory.ram);
    fill_swap(s, memory.swap);
    PartitionList partitions(*platform_);
    fill_disk(s, resolve_primary_disk(partitions));
    measure_disk_rates(s, now);
    measure_load(s);
    fill_workload(s, cpu_count_logical_);
    s.uptime_str = format_uptime(boot_time);
    s.cpu_count_logical = cpu_count_logical_;
    s.cpu_count_physical = cpu_count_physical_;
    s.partitions = get_partitions(partitions);
    return s;
}

std::string Engine::format_uptime() { return format_uptime(std::nullopt); }

// The boot time is read from the system unless it is given.
std::string Engine::format_uptime(std::optional<double> boot_time) {
    try {
        const double now = clock_->wall();
        const double diff = now - (boot_time ? *boot_time : platform_->boot_time());
        if (!std::isfinite(diff) || std::fabs(diff) > 9.0e18) return "-";
        const long long up = static_cast<long long>(std::trunc(diff));
        const long long days = py::floordiv(up, 86400);
        const long long rem = py::floormod(up, 86400);
        const long long hours = py::floordiv(rem, 3600);
        const long long minutes = py::floordiv(py::floormod(rem, 3600), 60);
        std::string out;
        if (days > 0) out = numfmt::integer(days) + "g ";
        out += numfmt::integer(hours) + "s " + numfmt::integer(minutes) + "dk";
        return out;
    } catch (const SystemError& e) {
        trace_failure("uptime", e.what());
        return "-";
    }
}

namespace {

// The system drive's root ("C:\\" unless the environment names another),
// with the file system of the partition mounted there.
std::optional<PrimaryDisk> system_drive(Platform& p, PartitionList& partitions) {
    try {
        const std::string drive = p.env("SystemDrive").value_or("C:") + "\\";
        PrimaryDisk d{drive, drive, {}, p.disk_usage(drive)};
        try {
            for (const auto& part : partitions.get()) {
                if (part.mountpoint == drive) {
                    d.fstype = part.fstype;
                    break;
                }
            }
        } catch (const SystemError& e) {
            trace_failure("system drive's file system", e.what());
        }
        return d;
    } catch (const SystemError& e) {
        trace_failure("system drive", e.what());
        return std::nullopt;
    }
}

// The root file system when it is in use and large enough to be the primary disk.
std::optional<PrimaryDisk> root_disk(Platform& p, PartitionList& partitions) {
    try {
        const DiskUsage root = p.disk_usage("/");
        if (!(root.used > 0 && root.total > kRootAcceptBytes)) return std::nullopt;
        PrimaryDisk d{"/", "/", {}, root};
        for (const auto& part : partitions.get()) {
            if (part.mountpoint == "/") {
                d.device = part.device;
                d.fstype = part.fstype;
                return d;
            }
        }
        d.fstype = fstype_holding(p, "/");
        return d;
    } catch (const SystemError& e) {
        trace_failure("root disk", e.what());
        return std::nullopt;
    }
}

// The disk that holds the program's folder, when it has a size.
std::optional<PrimaryDisk> program_disk(Platform& p, const std::string& app_dir) {
    try {
        const DiskUsage app = p.disk_usage(app_dir);
        if (!(app.total > 0)) return std::nullopt;
        PrimaryDisk d{app_dir, {}, {}, app};
        try {
            const Partition holder = mount_holding(p, app_dir);
            d.device = holder.device;
            d.fstype = holder.fstype;
        } catch (const SystemError& e) {
            trace_failure("program folder's mount", e.what());
        }
        return d;
    } catch (const SystemError& e) {
        trace_failure("program folder's disk", e.what());
        return std::nullopt;
    }
}

}  // namespace

PrimaryDisk Engine::resolve_primary_disk() {
    PartitionList partitions(*platform_);
    return resolve_primary_disk(partitions);
}

PrimaryDisk Engine::resolve_primary_disk(PartitionList& partitions) {
    Platform& p = *platform_;
    if (p.windows())
        if (auto d = system_drive(p, partitions)) return *d;
    if (auto d = root_disk(p, partitions)) return *d;
    if (auto d = program_disk(p, options_.app_dir)) return *d;
    PrimaryDisk d{"/", "/", {}, p.disk_usage("/")};
    d.fstype = fstype_holding(p, "/");
    return d;
}

std::vector<DiskPartitionInfo> Engine::get_partitions() {
    PartitionList partitions(*platform_);
    return get_partitions(partitions);
}

namespace {

DiskPartitionInfo partition_record(const std::string& device, const std::string& mount, const std::string& fstype,
                                   const DiskUsage& u) {
    return DiskPartitionInfo{device,
                             mount,
                             fstype,
                             static_cast<double>(u.total) / kGB,
                             static_cast<double>(u.used) / kGB,
                             static_cast<double>(u.free) / kGB,
                             u.percent};
}

}  // namespace

std::vector<DiskPartitionInfo> Engine::get_partitions(PartitionList& partitions) {
    static const std::set<std::string> kSkipped = {"squashfs", "tmpfs", "devtmpfs", "overlay"};
    std::vector<DiskPartitionInfo> out;
    std::set<std::string> seen;
    try {
        for (const auto& part : partitions.get()) {
            if (kSkipped.count(part.fstype) || seen.count(part.device)) continue;
            try {
                const DiskUsage u = platform_->disk_usage(part.mountpoint);
                if (u.total < kPartitionFloorBytes) continue;
                seen.insert(part.device);
                out.push_back(partition_record(part.device, part.mountpoint, part.fstype, u));
            } catch (const SystemError& e) {
                trace_failure("partition usage", e.what());
            }
        }
    } catch (const SystemError& e) {
        trace_failure("partition list", e.what());
    }
    if (out.empty()) out.push_back(primary_disk_entry(resolve_primary_disk(partitions)));
    return out;
}

DiskPartitionInfo Engine::primary_disk_entry(const PrimaryDisk& disk) {
    return partition_record(disk.device, disk.mount == "/" ? "/" : "/ (Ana Disk)", disk.fstype, disk.usage);
}

}  // namespace vyr::engine
