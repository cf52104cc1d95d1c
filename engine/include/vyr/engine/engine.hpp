// The metrics engine: one snapshot of the machine per call, the scored and
// grouped process list, the background folder scan and process termination.
// Plain C++ on the platform layer; the `engine` module wraps it.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vyr/engine/clock.hpp"
#include "vyr/engine/platform.hpp"
#include "vyr/engine/text.hpp"
#include "vyr/records.hpp"

namespace vyr::engine {

struct EngineOptions {
    // Text form of the folder that holds the engine module (the third choice
    // of primary disk).
    std::string app_dir;
    // Start the first folder scan at construction.
    bool start_folder_scan = true;
    // The files the platform keeps open for the process list are given back
    // at the first snapshot after no list has run for this many seconds of
    // the monotonic clock (the telemetry worker takes a snapshot at every
    // refresh and a list only while the inspector shows one).
    double listed_files_idle_s = 10.0;
};

struct PrimaryDisk {
    std::string mount;
    std::string device;
    std::string fstype;  // of the mount that holds the measured folder; "" when unknown
    DiskUsage usage;
};

// The prepared search text of the process list: stripped and lower-cased.
class SearchQuery {
public:
    SearchQuery() = default;
    // From the text as typed (UTF-8): strips and lower-cases it.
    static SearchQuery from_text(std::string_view utf8);
    // From code points that are already stripped and lower-cased.
    static SearchQuery from_prepared(std::u32string_view prepared);

    bool empty() const { return empty_; }
    bool matches(const text::Folded& name, const text::Folded& cmdline, long long pid) const;

private:
    bool empty_ = true;
    text::Folded folded_;
    bool ascii_ = true;
    std::string ascii_text_;
};

struct SwapAndIo {
    double swap_mb = 0.0;
    long long total_io_bytes = 0;
};

class PartitionList;  // one listing of the partitions, shared by the steps of a snapshot

// The name a caller expects the process to have before it is signalled: any
// name, one name (byte for byte), or a name no process can have (one that the
// caller could not put into bytes), which keeps every process from the signal.
class ExpectedName {
public:
    ExpectedName() = default;
    ExpectedName(std::nullopt_t) {}
    ExpectedName(std::string name) : kind_(Kind::exactly), name_(std::move(name)) {}
    static ExpectedName no_process() {
        ExpectedName none;
        none.kind_ = Kind::no_process;
        return none;
    }
    bool accepts(const std::string& name) const {
        return kind_ == Kind::any || (kind_ == Kind::exactly && name == name_);
    }

private:
    enum class Kind { any, exactly, no_process };
    Kind kind_ = Kind::any;
    std::string name_;
};

struct TerminateResult {
    bool ok = false;
    std::string message;
    ProcessError error = ProcessError::none;  // what failed, when not ok
};

class Engine {
public:
    Engine(std::shared_ptr<Platform> platform, std::shared_ptr<Clock> clock, EngineOptions options = {});
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // --- snapshot
    SystemMetricsSnapshot get_system_snapshot();
    std::string format_uptime();
    PrimaryDisk resolve_primary_disk();
    std::vector<DiskPartitionInfo> get_partitions();
    // The entry that stands in for the partition list when no partition can
    // be listed: the primary disk, under "/" when that is where it is
    // mounted, else under "/ (Ana Disk)".
    static DiskPartitionInfo primary_disk_entry(const PrimaryDisk& disk);

    // --- process list. `limit` follows slicing: n >= 0 keeps the first n
    // rows, a negative n drops the last -n rows.
    std::vector<ProcessEntry> collect_processes(std::string_view sort_by, const SearchQuery& query,
                                                bool group_by_app, long long limit);
    // The same list in its stages, for a caller that makes each row into an
    // object of its own before the rows are grouped and sorted, and leaves
    // out the rows it could not make: the rows of the listed processes that
    // pass the filters, in listing order (the per-process state moves on as
    // in collect_processes); the rows of one program merged into one; the
    // places of the rows to return, sorted by `sort_by` and cut to `limit`.
    std::vector<ProcessEntry> list_processes(const SearchQuery& query);
    static std::vector<ProcessEntry> group_processes(std::vector<ProcessEntry> rows);
    static std::vector<std::size_t> arrange_processes(const std::vector<ProcessEntry>& rows, std::string_view sort_by,
                                                      long long limit);

    // --- folder scan
    void trigger_folder_scan_async();
    std::vector<FolderUsageInfo> get_folder_usages() const;
    // The same list with the number of the scan that published it, read together.
    std::size_t get_folder_usages(std::vector<FolderUsageInfo>& out) const;
    double last_folder_scan() const;
    // Number of scans that have published a list so far.
    std::size_t folder_scans_published() const;
    // One scan, on the calling thread. None when the scan ended early (home
    // folder or an existence test failed): nothing is to be published then.
    static std::optional<std::vector<FolderUsageInfo>> scan_folders(Platform& platform);

    // --- per process and termination (no engine state)
    static SwapAndIo read_proc_swap_and_io(Platform& platform, long long pid);
    // `pid_text` is the id as the caller wrote it, for the messages (the
    // decimal of `pid` when empty); an id beyond the range of `pid` comes
    // saturated, with its own text.
    static TerminateResult terminate_process(Platform& platform, long long pid, bool force,
                                             const ExpectedName& expected_name = {},
                                             const std::string& pid_text = {});
    // The same with the choice of the kill asked for only once the process
    // is open and its name read, right before the signal; what `force`
    // throws leaves the call with no signal sent.
    static TerminateResult terminate_process(Platform& platform, long long pid, const std::function<bool()>& force,
                                             const ExpectedName& expected_name = {},
                                             const std::string& pid_text = {});

    long cpu_count_logical() const { return cpu_count_logical_; }
    long cpu_count_physical() const { return cpu_count_physical_; }
    Platform& platform() { return *platform_; }

private:
    struct ProcTable;
    struct FolderState;

    double percent_of(const CpuTimes& a, const CpuTimes& b) const;
    // Stages of the snapshot. The processor reading gives the boot time
    // where the same reading has it, and one listing of the partitions
    // serves the primary disk and the partition list.
    std::optional<double> measure_processors(SystemMetricsSnapshot& s);
    void measure_disk_rates(SystemMetricsSnapshot& s, double now);
    void measure_load(SystemMetricsSnapshot& s);
    // Gives back the platform's kept files when no list has run for the idle time.
    void close_idle_listed_files();
    std::string format_uptime(std::optional<double> boot_time);
    PrimaryDisk resolve_primary_disk(PartitionList& partitions);
    std::vector<DiskPartitionInfo> get_partitions(PartitionList& partitions);

    std::shared_ptr<Platform> platform_;
    std::shared_ptr<Clock> clock_;
    EngineOptions options_;
    // The memory totals of the last snapshot, for the process list that the
    // same cycle asks for right after it: one reading of the memory file a
    // cycle. Taken once, and only within kCycleReuse seconds of the snapshot.
    std::optional<MemoryTotals> snapshot_totals_;
    double snapshot_totals_at_ = 0.0;

    std::mutex sample_mutex_;  // one measurement at a time
    long cpu_count_logical_ = 1;
    long cpu_count_physical_ = 1;
    std::optional<CpuTimes> last_cpu_total_;
    std::vector<CpuTimes> last_cpu_per_;
    std::optional<IoTotals> last_disk_io_;
    double last_disk_io_time_ = 0.0;
    std::unique_ptr<ProcTable> procs_;
    // When the last list started (monotonic), and whether the platform may
    // keep files open for it since.
    double last_list_at_ = 0.0;
    bool listed_files_open_ = false;

    std::shared_ptr<FolderState> folders_;
};

}  // namespace vyr::engine
