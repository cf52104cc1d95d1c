// What the engine reads from the operating system, with the meaning the
// classic Python system-information library gives each figure. One neutral
// interface; the Linux implementation reads /proc and /sys below a root path
// that tests point at a fixture tree.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vyr::engine {

// A failed system read that the engine does not guard (it ends a snapshot).
class SystemError : public std::runtime_error {
public:
    SystemError(int err, const std::string& what, std::string filename = {})
        : std::runtime_error(what), err_(err), filename_(std::move(filename)) {}
    int error_number() const { return err_; }
    const std::string& filename() const { return filename_; }

private:
    int err_;
    std::string filename_;
};

// Processor times in seconds, in the order of the kernel's fields (user,
// nice, system, idle, iowait, irq, softirq, steal, guest, guest_nice; older
// kernels give fewer).
using CpuTimes = std::vector<double>;

struct CpuTimesSample {
    CpuTimes total;
    std::vector<CpuTimes> per_cpu;
    // The boot time where the same reading gives it (seconds since the epoch).
    std::optional<double> boot_time;
};

struct VirtualMemory {
    std::uint64_t total = 0;
    std::uint64_t available = 0;
    double percent = 0.0;
    std::optional<std::uint64_t> cached;   // absent where the system has none
    std::optional<std::uint64_t> buffers;
};

struct SwapMemory {
    std::uint64_t total = 0;
    std::uint64_t used = 0;
    std::uint64_t free = 0;
    double percent = 0.0;
    std::optional<std::uint64_t> sin;      // bytes swapped in since boot
    std::optional<std::uint64_t> sout;
};

// Memory and swap from one reading of the memory figures.
struct MemoryFigures {
    VirtualMemory ram;
    SwapMemory swap;
};

// Physical memory and swap space in bytes.
struct MemoryTotals {
    std::uint64_t ram = 0;
    std::uint64_t swap = 0;
};

struct DiskUsage {
    std::uint64_t total = 0;
    std::uint64_t used = 0;
    std::uint64_t free = 0;
    double percent = 0.0;
};

struct Partition {
    std::string device;
    std::string mountpoint;
    std::string fstype;
};

struct IoTotals {
    std::uint64_t read_bytes = 0;
    std::uint64_t write_bytes = 0;
};

struct LoadAverage {
    double one = 0.0, five = 0.0, fifteen = 0.0;
};

enum class PathState { exists, missing, error };

// How a call on a process failed, from the system's error number: the process
// is gone (no such process), the caller lacks the right (permission denied),
// the request was refused as malformed (invalid argument), or anything else.
enum class ProcessError { none, gone, denied, invalid, other };

struct ProcessStatus {
    ProcessError error = ProcessError::none;
    int error_number = 0;  // the system's code, for the text of the failure

    bool ok() const { return error == ProcessError::none; }
    static ProcessStatus from_errno(int err);  // 0 is success
};

// An open process. Where the system has process handles it pins the process,
// so a pid that was reused meanwhile is never hit; it closes itself.
class ProcessHandle {
public:
    ProcessHandle() = default;
    // Takes over `native` (a pidfd; -1 when the pid itself is used).
    ProcessHandle(long long pid, int native) noexcept : pid_(pid), native_(native) {}
    ~ProcessHandle();
    ProcessHandle(ProcessHandle&& other) noexcept;
    ProcessHandle& operator=(ProcessHandle&& other) noexcept;
    ProcessHandle(const ProcessHandle&) = delete;
    ProcessHandle& operator=(const ProcessHandle&) = delete;

    long long pid() const { return pid_; }
    int native() const { return native_; }

private:
    void close() noexcept;  // defined by the platform layer the build picks

    long long pid_ = 0;
    int native_ = -1;
};

struct CommandResult {
    enum Status { ok, timed_out, not_found, failed };
    Status status = failed;
    std::string out;  // standard output
};

class Platform {
public:
    virtual ~Platform() = default;

    // True on Windows: the engine then takes its Windows steps (system drive,
    // I/O counters from the platform, no swap per process).
    virtual bool windows() const = 0;

    // --- the machine
    virtual std::optional<long> cpu_count_logical() = 0;
    virtual std::optional<long> cpu_count_physical() = 0;
    virtual CpuTimesSample cpu_times() = 0;
    virtual std::optional<double> cpu_freq_current() = 0;  // MHz
    virtual MemoryFigures memory() = 0;
    // The sizes alone (for the shares of the process list), read more cheaply.
    virtual MemoryTotals memory_totals() = 0;
    virtual DiskUsage disk_usage(const std::string& path) = 0;
    // Physical partitions only when `all` is false; every mount otherwise.
    virtual std::vector<Partition> disk_partitions(bool all) = 0;
    // Totals over all disks; none when the machine has no disk counters.
    virtual std::optional<IoTotals> disk_io_counters() = 0;
    virtual double boot_time() = 0;
    virtual std::optional<LoadAverage> load_average() = 0;
    virtual std::optional<std::string> env(const std::string& name) = 0;

    // --- processes
    virtual std::vector<long long> pids() = 0;
    // Reads the process file `name` ("stat", "status", "io", "cmdline") into
    // `out`. Returns 0 or the errno of the failure.
    virtual int read_process_file(long long pid, const char* name, std::string& out) = 0;
    // The same read for the process list, which reads the files of every
    // process at every list: the platform may keep them open from one list
    // to the next.
    virtual int read_listed_process_file(long long pid, const char* name, std::string& out) {
        return read_process_file(pid, name, out);
    }
    // Gives back whatever the platform keeps open for the process list; the
    // next list opens its files again.
    virtual void close_listed_files() {}
    // The platform's own I/O counters of a process (the Windows step).
    virtual std::optional<IoTotals> process_io_counters(long long pid) = 0;
    virtual std::string user_name(long long uid) = 0;
    // Called once at the start of each process listing: names kept by
    // user_name() are dropped when the user database has changed since,
    // and the uids that had none are looked up again.
    virtual void refresh_user_names() {}
    virtual long clock_ticks() = 0;

    // --- signals
    virtual ProcessStatus open_process(long long pid, ProcessHandle& handle) = 0;
    virtual ProcessStatus process_alive(const ProcessHandle& handle) = 0;
    virtual ProcessStatus signal_process(const ProcessHandle& handle, int sig) = 0;

    // --- files and programs
    virtual std::string home_dir() = 0;
    virtual PathState path_state(const std::string& path) = 0;
    // Runs argv[0] from the program search path, without a shell, capturing
    // standard output; killed when `timeout_s` runs out.
    virtual CommandResult run_command(const std::vector<std::string>& argv, double timeout_s) = 0;
};

// The running system's platform layer; the build picks the implementation.
std::shared_ptr<Platform> make_system_platform();

}  // namespace vyr::engine
