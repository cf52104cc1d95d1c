// The Linux implementation of the engine's platform layer. Every /proc and
// /sys path is read below `root` ("" for the running system), so tests can
// point it at a fixture tree. Tests may also derive from it to replace the
// calls that do not go through files (disk usage, signals).
#pragma once

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "vyr/engine/platform.hpp"

namespace vyr::engine {

class ProcFileCache;

class LinuxPlatform : public Platform {
public:
    explicit LinuxPlatform(std::string root = "");
    ~LinuxPlatform() override;
    LinuxPlatform(const LinuxPlatform&) = delete;
    LinuxPlatform& operator=(const LinuxPlatform&) = delete;

    const std::string& root() const { return root_; }
    bool windows() const override { return false; }

    std::optional<long> cpu_count_logical() override;
    std::optional<long> cpu_count_physical() override;
    CpuTimesSample cpu_times() override;
    std::optional<double> cpu_freq_current() override;
    MemoryFigures memory() override;
    MemoryTotals memory_totals() override;
    DiskUsage disk_usage(const std::string& path) override;
    std::vector<Partition> disk_partitions(bool all) override;
    std::optional<IoTotals> disk_io_counters() override;
    double boot_time() override;
    // The C library's getloadavg() on the running system; below a fixture
    // root, that tree's /proc/loadavg.
    std::optional<LoadAverage> load_average() override;
    std::optional<std::string> env(const std::string& name) override;

    std::vector<long long> pids() override;
    int read_process_file(long long pid, const char* name, std::string& out) override;
    // Keeps the stat, status, io and cmdline files open between lists (see
    // ProcFileCache); every other file is read as read_process_file reads it.
    int read_listed_process_file(long long pid, const char* name, std::string& out) override;
    void close_listed_files() override;
    std::optional<IoTotals> process_io_counters(long long pid) override;
    std::string user_name(long long uid) override;
    void refresh_user_names() override;
    long clock_ticks() override;
    // The process files kept open between lists (the running system only;
    // VYR_PROC_FILES_KEPT bounds them, 0 keeps none).
    std::size_t kept_process_files() const;

    ProcessStatus open_process(long long pid, ProcessHandle& handle) override;
    ProcessStatus process_alive(const ProcessHandle& handle) override;
    ProcessStatus signal_process(const ProcessHandle& handle, int sig) override;

    std::string home_dir() override;
    PathState path_state(const std::string& path) override;
    // The child has standard input and error on /dev/null, no other
    // descriptor of this program, default signal handling and an empty
    // signal mask, and the soft descriptor limit this program started with
    // (where the kept process files raised it).
    CommandResult run_command(const std::vector<std::string>& argv, double timeout_s) override;

protected:
    // Reads root + path into `out`; 0 or an errno.
    int read_file(const std::string& path, std::string& out) const;
    // The text of root + path; a failed read is a SystemError.
    std::string read_required(const std::string& path) const;
    std::string sys_path(const std::string& path) const { return root_ + path; }
    // The device of the root folder, for mounts listed as "/dev/root".
    virtual std::string root_fs_device();

private:
    std::string root_;
    int proc_fd_ = -1;  // root + "/proc", opened close-on-exec
    std::unique_ptr<ProcFileCache> files_;  // below proc_fd_
    long clock_ticks_;

    struct DiskBytes {
        std::uint64_t read = 0, write = 0;
    };
    std::mutex io_mutex_;  // the counter-wrap memory and the devices below
    bool io_seen_ = false;
    std::map<std::string, DiskBytes> io_last_;   // by disk: the counters last read
    std::map<std::string, DiskBytes> io_carry_;  // by disk: what fallen counters had reached
    // The devices of the counters as last listed, and which of them are
    // disks (whole devices under /sys/block): a device keeps its kind while
    // it is listed, so that is looked up again only when the list changes.
    std::vector<std::string> io_devices_;
    std::vector<bool> io_disks_;

    std::mutex users_mutex_;
    std::map<long long, std::string> users_;
    std::set<long long> unnamed_uids_;  // kept as their numbers until the next listing
    // root + /etc/passwd as its names were taken: device, inode, size,
    // modification and change times; all zero when it could not be read.
    std::array<long long, 7> users_file_{};
};

}  // namespace vyr::engine
