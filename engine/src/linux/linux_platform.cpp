#include "vyr/engine/linux_platform.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>  // pidfd_open and pidfd_send_signal
#include <sys/sysinfo.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>
#include <thread>

#include "../bytes_util.hpp"
#include "../pymath.hpp"
#include "proc_file_cache.hpp"
#include "proc_text.hpp"
#include "vyr/numfmt.hpp"

extern char** environ;

namespace vyr::engine {

namespace {

bool all_digits(const char* s) {
    if (!*s) return false;
    for (; *s; ++s)
        if (*s < '0' || *s > '9') return false;
    return true;
}

std::string errno_text(int err) {
    const char* d = strerrordesc_np(err);
    return d ? d : "Unknown error";
}

[[noreturn]] void raise_errno(int err, const std::string& path) {
    throw SystemError(err, "[Errno " + numfmt::integer(err) + "] " + errno_text(err) + ": '" + path + "'",
                      path);
}

int read_fd(int fd, std::string& out) { return read_whole(fd, out, false, false); }

// The files of processes kept open: VYR_PROC_FILES_KEPT when it is a whole
// number (0 keeps none), else the cache's own bound.
std::size_t kept_files_bound() {
    const char* v = std::getenv("VYR_PROC_FILES_KEPT");
    if (v && all_digits(v))
        if (const auto n = numfmt::parse_integer(v); n && *n >= 0) return static_cast<std::size_t>(*n);
    return ProcFileCache::kDefaultBound;
}


// Swap size and free swap in bytes: the meminfo lines, else (on the running
// system only) the kernel's own figures.
std::pair<long long, long long> swap_sizes(const proc_text::MemInfo& mems, bool running_system) {
    auto t = mems.find("SwapTotal:"), f = mems.find("SwapFree:");
    if (t != mems.end() && f != mems.end()) return {t->second, f->second};
    struct sysinfo si{};
    if (!running_system || ::sysinfo(&si) != 0) throw SystemError(EINVAL, "no swap figures");
    return {static_cast<long long>(si.totalswap) * si.mem_unit, static_cast<long long>(si.freeswap) * si.mem_unit};
}

long pidfd_open_call(long long pid) {
#ifdef SYS_pidfd_open
    return syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0);
#else
    errno = ENOSYS;
    return -1;
#endif
}

long pidfd_signal_call(int fd, int sig) {
#ifdef SYS_pidfd_send_signal
    return syscall(SYS_pidfd_send_signal, fd, sig, nullptr, 0);
#else
    (void)fd;
    (void)sig;
    errno = ENOSYS;
    return -1;
#endif
}

}  // namespace

std::shared_ptr<Platform> make_system_platform() { return std::make_shared<LinuxPlatform>(""); }

LinuxPlatform::LinuxPlatform(std::string root) : root_(std::move(root)) {
    proc_fd_ = ::open((root_ + "/proc").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // Only the kernel's own files give their text afresh at every read of a
    // kept file; a fixture tree's files are read the plain way.
    if (root_.empty() && proc_fd_ >= 0) files_ = std::make_unique<ProcFileCache>(proc_fd_, kept_files_bound());
    clock_ticks_ = sysconf(_SC_CLK_TCK);
    if (clock_ticks_ <= 0) clock_ticks_ = 100;
}

LinuxPlatform::~LinuxPlatform() {
    files_.reset();
    if (proc_fd_ >= 0) ::close(proc_fd_);
}

int LinuxPlatform::read_file(const std::string& path, std::string& out) const {
    const int fd = ::open((root_ + path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int rc = read_fd(fd, out);
    ::close(fd);
    return rc;
}

std::string LinuxPlatform::read_required(const std::string& path) const {
    std::string data;
    const int rc = read_file(path, data);
    if (rc != 0) raise_errno(rc, root_ + path);
    return data;
}

// --- processors ---------------------------------------------------------

std::optional<long> LinuxPlatform::cpu_count_logical() {
    // What sysconf(_SC_NPROCESSORS_ONLN) reads: the online list, then /proc/stat.
    std::string data;
    if (read_file("/sys/devices/system/cpu/online", data) == 0)
        if (const auto count = proc_text::online_cpu_count(data)) return count;
    if (read_file("/proc/stat", data) == 0)
        if (const long count = proc_text::stat_cpu_lines(data); count > 0) return count;
    if (read_file("/proc/cpuinfo", data) == 0)
        if (const long count = proc_text::cpuinfo_processor_lines(data); count > 0) return count;
    return std::nullopt;
}

std::optional<long> LinuxPlatform::cpu_count_physical() {
    const std::string base = "/sys/devices/system/cpu";
    std::vector<std::string> cpus;
    if (DIR* d = ::opendir((root_ + base).c_str())) {
        while (dirent* e = ::readdir(d)) {
            const std::string n = e->d_name;
            if (n.size() > 3 && n.compare(0, 3, "cpu") == 0 && n[3] >= '0' && n[3] <= '9') cpus.push_back(n);
        }
        ::closedir(d);
    }
    for (const char* file : {"core_cpus_list", "thread_siblings_list"}) {
        std::set<std::string> lists;
        bool any = false;
        for (const auto& cpu : cpus) {
            const std::string path = base + "/" + cpu + "/topology/" + file;
            struct stat st{};
            if (::stat((root_ + path).c_str(), &st) != 0) continue;
            any = true;
            lists.insert(std::string(bytes::strip(read_required(path))));
        }
        if (any) {
            if (!lists.empty()) return static_cast<long>(lists.size());
            break;
        }
    }
    // Sockets times cores from /proc/cpuinfo.
    return proc_text::cpuinfo_physical_cores(read_required("/proc/cpuinfo"));
}

CpuTimesSample LinuxPlatform::cpu_times() {
    const std::string data = read_required("/proc/stat");
    CpuTimesSample sample = proc_text::cpu_times_from_stat(data, static_cast<double>(clock_ticks_));
    try {
        sample.boot_time = proc_text::boot_time_from_stat(data);
    } catch (const SystemError&) {
        // left out: boot_time() reads the file again and reports the failure
    }
    return sample;
}

std::optional<double> LinuxPlatform::cpu_freq_current() {
    const std::string data = read_required("/proc/cpuinfo");
    const std::vector<double> cpuinfo = proc_text::cpuinfo_mhz(data);
    const std::string base = "/sys/devices/system/cpu";
    struct stat st{};
    const bool use_sys = ::stat((root_ + base + "/cpufreq/policy0").c_str(), &st) == 0 ||
                         ::stat((root_ + base + "/cpu0/cpufreq").c_str(), &st) == 0;
    std::vector<double> currents;
    if (use_sys) {
        auto list = [&](const std::string& dir, const std::string& prefix, const std::string& suffix) {
            std::vector<std::pair<long long, std::string>> found;
            if (DIR* d = ::opendir((root_ + dir).c_str())) {
                while (dirent* e = ::readdir(d)) {
                    const std::string n = e->d_name;
                    if (n.size() > prefix.size() && n.compare(0, prefix.size(), prefix) == 0 &&
                        n[prefix.size()] >= '0' && n[prefix.size()] <= '9') {
                        const std::string path = dir + "/" + n + suffix;
                        if (!suffix.empty() && ::stat((root_ + path).c_str(), &st) != 0) continue;
                        std::size_t k = prefix.size();
                        long long num = 0;
                        while (k < n.size() && n[k] >= '0' && n[k] <= '9')
                            num = py::sat_add(py::sat_mul(num, 10), n[k++] - '0');
                        found.emplace_back(num, path);
                    }
                }
                ::closedir(d);
            }
            std::stable_sort(found.begin(), found.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; });
            std::vector<std::string> out;
            for (auto& f : found) out.push_back(f.second);
            return out;
        };
        auto paths = list(base + "/cpufreq", "policy", "");
        if (paths.empty()) paths = list(base, "cpu", "/cpufreq");
        for (std::size_t i = 0; i < paths.size(); ++i) {
            double curr_khz;
            if (paths.size() == cpuinfo.size()) {
                curr_khz = std::trunc(cpuinfo[i] * 1000);  // int(mhz * 1000)
            } else {
                std::string v;
                if (read_file(paths[i] + "/scaling_cur_freq", v) != 0 &&
                    read_file(paths[i] + "/cpuinfo_cur_freq", v) != 0)
                    throw SystemError(ENOENT, "can't find current frequency file");
                const auto n = bytes::to_int(v);
                if (!n) throw SystemError(EINVAL, "invalid literal for int()");
                curr_khz = static_cast<double>(*n);
            }
            for (const char* f : {"/scaling_max_freq", "/scaling_min_freq"}) {
                std::string v;
                const int e = read_file(paths[i] + f, v);
                if (e != 0) raise_errno(e, root_ + paths[i] + f);
                if (!bytes::to_int(v)) throw SystemError(EINVAL, "invalid literal for int()");
            }
            currents.push_back(curr_khz / 1000);
        }
    } else {
        currents = cpuinfo;
    }
    if (currents.empty()) return std::nullopt;
    if (currents.size() == 1) return currents[0];
    double total = 0.0;
    for (double c : currents) total += c;
    return total / static_cast<double>(currents.size());
}

// --- memory ----------------------------------------------------------------

MemoryFigures LinuxPlatform::memory() {
    const proc_text::MemInfo mems = proc_text::parse_meminfo(read_required("/proc/meminfo"));
    const auto zoneinfo = [&]() -> std::optional<std::string> {
        std::string zone;
        if (read_file("/proc/zoneinfo", zone) != 0) return std::nullopt;
        return zone;
    };
    MemoryFigures m;
    m.ram = proc_text::virtual_memory_from(mems, zoneinfo, sysconf(_SC_PAGESIZE));
    const auto [total, free] = swap_sizes(mems, root_.empty());
    std::string vmstat;
    proc_text::SwapTraffic traffic;
    if (read_file("/proc/vmstat", vmstat) == 0) traffic = proc_text::vmstat_swap_bytes(vmstat);
    m.swap = proc_text::swap_memory_from(total, free, traffic);
    return m;
}

MemoryTotals LinuxPlatform::memory_totals() {
    const proc_text::MemInfo mems = proc_text::parse_meminfo(read_required("/proc/meminfo"));
    const auto ram = mems.find("MemTotal:");
    if (ram == mems.end()) throw SystemError(EINVAL, "missing MemTotal:");
    return {static_cast<std::uint64_t>(ram->second),
            static_cast<std::uint64_t>(swap_sizes(mems, root_.empty()).first)};
}

// --- disks -------------------------------------------------------------------

DiskUsage LinuxPlatform::disk_usage(const std::string& path) {
    struct statvfs st{};
    if (::statvfs(path.c_str(), &st) != 0) raise_errno(errno, path);
    const std::uint64_t total = std::uint64_t(st.f_blocks) * st.f_frsize;
    const std::uint64_t avail_to_root = std::uint64_t(st.f_bfree) * st.f_frsize;
    const std::uint64_t avail_to_user = std::uint64_t(st.f_bavail) * st.f_frsize;
    const std::uint64_t used = total - avail_to_root;
    const std::uint64_t total_user = used + avail_to_user;
    DiskUsage u;
    u.total = total;
    u.used = used;
    u.free = avail_to_user;
    u.percent = proc_text::usage_percent(static_cast<double>(used), static_cast<double>(total_user));
    return u;
}

std::string LinuxPlatform::root_fs_device() {
    if (!root_.empty()) return {};
    struct stat st{};
    if (::stat("/", &st) != 0) return {};
    const unsigned maj = major(st.st_dev), min = minor(st.st_dev);
    std::string found;
    std::string data;
    if (read_file("/proc/partitions", data) == 0) {
        const auto ls = bytes::lines(data);
        for (std::size_t i = 2; i < ls.size() && found.empty(); ++i) {
            const auto f = bytes::split(ls[i]);
            if (f.size() < 4) continue;
            const auto a = bytes::to_int(f[0]), b = bytes::to_int(f[1]);
            if (a && b && *a == maj && *b == min && !f[3].empty()) found = "/dev/" + std::string(f[3]);
        }
    }
    if (found.empty() &&
        read_file("/sys/dev/block/" + numfmt::integer(maj) + ":" + numfmt::integer(min) + "/uevent", data) == 0) {
        for (auto line : bytes::lines(data)) {
            if (line.substr(0, 8) == "DEVNAME=") {
                const auto name = bytes::strip(line).substr(8);
                if (!name.empty()) found = "/dev/" + std::string(name);
                break;
            }
        }
    }
    if (found.empty() || ::stat(found.c_str(), &st) != 0) return {};
    return found;
}

std::vector<Partition> LinuxPlatform::disk_partitions(bool all) {
    const std::set<std::string> fstypes = proc_text::device_filesystems(read_required("/proc/filesystems"));
    std::string mounts_path = "/proc/self/mounts";
    if (root_.empty()) {
        struct stat st{};
        if (::stat("/etc/mtab", &st) == 0 && S_ISREG(st.st_mode)) mounts_path = "/etc/mtab";
    }
    const std::string data = read_required(mounts_path);
    std::vector<Partition> out;
    std::string rootfs;
    bool rootfs_done = false;
    for (auto raw : bytes::lines(data)) {
        const auto fields = proc_text::mount_fields(raw);
        if (!fields) continue;
        // Mounts of other file systems are passed over before anything else.
        if (!all && !fstypes.count(proc_text::unescape_mount_field((*fields)[2]))) continue;
        std::optional<Partition> line = proc_text::parse_mount_line(raw);
        Partition& part = *line;
        if (part.device == "/dev/root" || part.device == "rootfs") {
            if (!rootfs_done) {
                rootfs = root_fs_device();
                rootfs_done = true;
            }
            if (!rootfs.empty()) part.device = rootfs;
        }
        if (!all && (part.device.empty() || !fstypes.count(part.fstype))) continue;
        out.push_back(std::move(part));
    }
    return out;
}

std::optional<IoTotals> LinuxPlatform::disk_io_counters() {
    const std::string data = read_required("/proc/diskstats");
    const std::vector<proc_text::DiskCounters> devices = proc_text::parse_diskstats(data);
    std::lock_guard<std::mutex> lock(io_mutex_);
    if (!std::equal(devices.begin(), devices.end(), io_devices_.begin(), io_devices_.end(),
                    [](const auto& d, const std::string& name) { return d.name == name; })) {
        io_devices_.clear();
        io_disks_.clear();
        std::string block = root_ + "/sys/block/";
        const std::size_t base = block.size();
        for (const auto& d : devices) {
            block.resize(base);
            block.append(d.name);
            std::replace(block.begin() + static_cast<std::ptrdiff_t>(base), block.end(), '/', '!');
            io_devices_.emplace_back(d.name);
            io_disks_.push_back(::access(block.c_str(), F_OK) == 0);
        }
    }
    std::map<std::string, DiskBytes> now;  // the disks
    for (std::size_t i = 0; i < devices.size(); ++i)
        if (io_disks_[i]) now[io_devices_[i]] = {devices[i].read_bytes, devices[i].write_bytes};
    if (now.empty()) return std::nullopt;

    // Counters that fall (a wrap or a reset of one disk) are carried on, so
    // totals only grow while the disk stays listed.
    if (io_seen_)
        for (auto it = io_carry_.begin(); it != io_carry_.end();)
            it = now.count(it->first) ? std::next(it) : io_carry_.erase(it);
    IoTotals t;
    for (const auto& [name, bytes] : now) {
        DiskBytes total = bytes;
        const auto old = io_seen_ ? io_last_.find(name) : io_last_.end();
        if (old != io_last_.end()) {
            DiskBytes& carry = io_carry_[name];
            if (bytes.read < old->second.read) carry.read += old->second.read;
            if (bytes.write < old->second.write) carry.write += old->second.write;
            total.read += carry.read;
            total.write += carry.write;
        }
        t.read_bytes += total.read;
        t.write_bytes += total.write;
    }
    io_seen_ = true;
    io_last_ = std::move(now);
    return t;
}

double LinuxPlatform::boot_time() {
    const std::string data = read_required("/proc/stat");
    if (const auto btime = proc_text::boot_time_from_stat(data)) return *btime;
    throw SystemError(EINVAL, "line 'btime' not found in " + root_ + "/proc/stat");
}

std::optional<LoadAverage> LinuxPlatform::load_average() {
    if (root_.empty()) {
        // The C library's query, as the runtime's os.getloadavg(): the
        // kernel's fixed-point figures in full, not the two decimals of the
        // text file.
        double l[3];
        if (::getloadavg(l, 3) != 3) return std::nullopt;
        return LoadAverage{l[0], l[1], l[2]};
    }
    std::string data;
    if (read_file("/proc/loadavg", data) != 0) return std::nullopt;
    return proc_text::parse_loadavg(data);
}

std::optional<std::string> LinuxPlatform::env(const std::string& name) {
    const char* v = std::getenv(name.c_str());
    if (!v) return std::nullopt;
    return std::string(v);
}

// --- processes -------------------------------------------------------------

std::vector<long long> LinuxPlatform::pids() {
    std::vector<long long> out;
    DIR* d = ::opendir((root_ + "/proc").c_str());
    if (!d) raise_errno(errno, root_ + "/proc");
    while (dirent* e = ::readdir(d)) {
        if (!all_digits(e->d_name)) continue;
        const auto v = numfmt::parse_integer(e->d_name);
        if (v) out.push_back(*v);
    }
    ::closedir(d);
    if (!std::is_sorted(out.begin(), out.end())) std::sort(out.begin(), out.end());  // /proc lists them in order
    if (files_) files_->keep_only(out);  // the processes that have left
    return out;
}

namespace {

// "<pid>/<name>" into `rel`; false when it does not fit.
bool process_path(long long pid, const char* name, char (&rel)[64]) {
    const auto number = std::to_chars(rel, rel + 24, pid);
    const std::size_t nlen = std::strlen(name);
    if (number.ec != std::errc() || static_cast<std::size_t>(number.ptr - rel) + 1 + nlen + 1 > sizeof rel)
        return false;
    *number.ptr = '/';
    std::memcpy(number.ptr + 1, name, nlen + 1);
    return true;
}

}  // namespace

int LinuxPlatform::read_listed_process_file(long long pid, const char* name, std::string& out) {
    const int slot = files_ ? ProcFileCache::slot_of(name) : -1;
    if (slot < 0) return read_process_file(pid, name, out);
    char rel[64];
    if (!process_path(pid, name, rel)) return ENAMETOOLONG;
    return files_->read(pid, slot, rel, out);
}

int LinuxPlatform::read_process_file(long long pid, const char* name, std::string& out) {
    char rel[64];
    if (!process_path(pid, name, rel)) return ENAMETOOLONG;
    const int fd = proc_fd_ >= 0 ? ::openat(proc_fd_, rel, O_RDONLY | O_CLOEXEC)
                                 : ::open((root_ + "/proc/" + rel).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int rc = read_whole(fd, out, true, false);
    ::close(fd);
    return rc;
}

std::optional<IoTotals> LinuxPlatform::process_io_counters(long long pid) {
    std::string data;
    if (read_process_file(pid, "io", data) != 0) return std::nullopt;
    return proc_text::parse_io_counters(data);
}

std::string LinuxPlatform::user_name(long long uid) {
    std::lock_guard<std::mutex> lock(users_mutex_);
    auto it = users_.find(uid);
    if (it != users_.end()) return it->second;
    std::string name = numfmt::integer(uid);
    bool found = false;
    if (root_.empty()) {
        struct passwd pw{};
        struct passwd* result = nullptr;
        std::vector<char> buf(16384);
        if (getpwuid_r(static_cast<uid_t>(uid), &pw, buf.data(), buf.size(), &result) == 0 && result) {
            name = result->pw_name;
            found = true;
        }
    } else {
        std::string data;
        if (read_file("/etc/passwd", data) == 0) {
            for (auto line : bytes::lines(data)) {
                const auto f = bytes::split_on(line, ':');
                if (f.size() >= 3 && bytes::to_int(f[2]) == uid) {
                    name = std::string(f[0]);
                    found = true;
                    break;
                }
            }
        }
    }
    if (!found) unnamed_uids_.insert(uid);
    users_[uid] = name;
    return name;
}

void LinuxPlatform::refresh_user_names() {
    std::array<long long, 7> file{};
    struct stat st{};
    if (::stat((root_ + "/etc/passwd").c_str(), &st) == 0)
        file = {static_cast<long long>(st.st_dev),         static_cast<long long>(st.st_ino),
                static_cast<long long>(st.st_size),        static_cast<long long>(st.st_mtim.tv_sec),
                static_cast<long long>(st.st_mtim.tv_nsec), static_cast<long long>(st.st_ctim.tv_sec),
                static_cast<long long>(st.st_ctim.tv_nsec)};
    std::lock_guard<std::mutex> lock(users_mutex_);
    if (file != users_file_) {
        users_.clear();
        users_file_ = file;
    } else {
        for (const long long uid : unnamed_uids_) users_.erase(uid);
    }
    unnamed_uids_.clear();
}

long LinuxPlatform::clock_ticks() { return clock_ticks_; }

std::size_t LinuxPlatform::kept_process_files() const { return files_ ? files_->kept() : 0; }

void LinuxPlatform::close_listed_files() {
    if (files_) files_->close_all();
}

// --- signals -----------------------------------------------------------------

ProcessStatus LinuxPlatform::open_process(long long pid, ProcessHandle& handle) {
    handle = ProcessHandle();
    const long fd = pidfd_open_call(pid);
    if (fd >= 0) {
        handle = ProcessHandle(pid, static_cast<int>(fd));  // pidfds are close-on-exec
        return {};
    }
    if (errno == ENOSYS || errno == EINVAL) {
        // No process handles on this kernel: fall back to the pid itself.
        handle = ProcessHandle(pid, -1);
        if (::kill(static_cast<pid_t>(pid), 0) == 0) return {};
        return errno == EPERM ? ProcessStatus{} : ProcessStatus::from_errno(errno);
    }
    return ProcessStatus::from_errno(errno);
}

ProcessStatus LinuxPlatform::process_alive(const ProcessHandle& handle) {
    return signal_process(handle, 0);
}

ProcessStatus LinuxPlatform::signal_process(const ProcessHandle& handle, int sig) {
    const long rc = handle.native() >= 0 ? pidfd_signal_call(handle.native(), sig)
                                         : ::kill(static_cast<pid_t>(handle.pid()), sig);
    return ProcessStatus::from_errno(rc == 0 ? 0 : errno);
}

void ProcessHandle::close() noexcept {
    if (native_ >= 0) ::close(native_);
    native_ = -1;
}

// --- files and programs ------------------------------------------------------

std::string LinuxPlatform::home_dir() {
    if (const char* h = std::getenv("HOME")) return h;
    struct passwd pw{};
    struct passwd* result = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &result) == 0 && result) return result->pw_dir;
    throw SystemError(ENOENT, "Could not determine home directory.");
}

PathState LinuxPlatform::path_state(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0) return PathState::exists;
    const int err = errno;
    if (err == ENOENT || err == ENOTDIR || err == EBADF || err == ELOOP) return PathState::missing;
    return PathState::error;
}

namespace {

// The paths run_command tries for `program`, in the order execvp tries them.
std::vector<std::string> program_paths(const std::string& program) {
    if (program.find('/') != std::string::npos) return {program};
    const char* path = std::getenv("PATH");
    const std::string dirs = path ? path : "/bin:/usr/bin";
    std::vector<std::string> out;
    for (std::size_t from = 0;;) {
        const std::size_t colon = dirs.find(':', from);
        const std::string dir = dirs.substr(from, colon == std::string::npos ? std::string::npos : colon - from);
        out.push_back((dir.empty() ? std::string(".") : dir) + "/" + program);
        if (colon == std::string::npos) break;
        from = colon + 1;
    }
    return out;
}

// What the child of run_command is given, all made before the fork: the
// child calls only async-signal-safe functions.
struct ChildPlan {
    std::vector<std::string> paths;
    std::vector<char*> args;
    int out = -1;     // the pipe's writing end: standard output
    int report = -1;  // close-on-exec: the errno of a failed start
    int descriptor_end = 65536;  // above every descriptor of this program
    bool set_limit = false;
    rlimit limit{};
};

// Moves a descriptor of the child above the standard three.
int above_stdio(int fd, int flags) {
    if (fd > 2) return fd;
    return ::fcntl(fd, flags & O_CLOEXEC ? F_DUPFD_CLOEXEC : F_DUPFD, 3);
}

[[noreturn]] void child_fail(int report) {
    const int err = errno;
    (void)!::write(report, &err, sizeof err);
    _exit(127);
}

[[noreturn]] void run_child(const ChildPlan& plan) {
    int report = above_stdio(plan.report, O_CLOEXEC);
    if (report < 0) _exit(127);
    const int out = above_stdio(plan.out, 0);
    const int in_null = above_stdio(::open("/dev/null", O_RDONLY | O_CLOEXEC), O_CLOEXEC);
    const int err_null = above_stdio(::open("/dev/null", O_WRONLY | O_CLOEXEC), O_CLOEXEC);
    if (out < 0 || in_null < 0 || err_null < 0 || ::dup2(in_null, 0) < 0 || ::dup2(out, 1) < 0 ||
        ::dup2(err_null, 2) < 0)
        child_fail(report);
    // Whatever else is open in this program stays out of the child.
    if (report != 3) {
        if (::dup3(report, 3, O_CLOEXEC) < 0) child_fail(report);
        report = 3;
    }
    if (::close_range(4, ~0U, 0) != 0) {
        for (int fd = 4; fd < plan.descriptor_end; ++fd) ::close(fd);
    }
    if (plan.set_limit && ::setrlimit(RLIMIT_NOFILE, &plan.limit) != 0) child_fail(report);
    // Default handling for every signal this program catches, and for the
    // two the runtime ignores; then the empty mask.
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction sa{};
        if (::sigaction(sig, nullptr, &sa) != 0) continue;
        const bool caught = (sa.sa_flags & SA_SIGINFO) || (sa.sa_handler != SIG_DFL && sa.sa_handler != SIG_IGN);
        if (!caught && sig != SIGPIPE && sig != SIGXFSZ) continue;
        struct sigaction dfl{};
        dfl.sa_handler = SIG_DFL;
        ::sigaction(sig, &dfl, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    int last = ENOENT;
    bool denied = false;
    for (const std::string& path : plan.paths) {
        ::execve(path.c_str(), plan.args.data(), environ);
        last = errno;
        if (last == EACCES) denied = true;
        else if (last != ENOENT && last != ENOTDIR) break;
    }
    errno = denied && (last == ENOENT || last == ENOTDIR) ? EACCES : last;
    child_fail(report);
}

// Starts the child of `plan`; 0 with its pid, or the errno of the failure
// (the start failed: nothing is left running).
int start_child(ChildPlan& plan, pid_t& child) {
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return errno;
    plan.report = report[1];
    // No handler of this program runs in the child before it takes the
    // default handling.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    child = ::fork();
    if (child == 0) run_child(plan);
    const int fork_error = errno;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ::close(report[1]);
    if (child < 0) {
        ::close(report[0]);
        return fork_error;
    }
    int err = 0;
    ssize_t got;
    while ((got = ::read(report[0], &err, sizeof err)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (got == static_cast<ssize_t>(sizeof err)) {
        while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
        return err != 0 ? err : ECHILD;
    }
    return 0;
}

}  // namespace

CommandResult LinuxPlatform::run_command(const std::vector<std::string>& argv, double timeout_s) {
    CommandResult result;
    if (argv.empty()) return result;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return result;

    ChildPlan plan;
    plan.paths = program_paths(argv[0]);
    for (const auto& a : argv) plan.args.push_back(const_cast<char*>(a.c_str()));
    plan.args.push_back(nullptr);
    plan.out = fds[1];
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) == 0) {
        if (lim.rlim_cur != RLIM_INFINITY)
            plan.descriptor_end = static_cast<int>(std::min<rlim_t>(lim.rlim_cur, INT_MAX));
        if (const auto soft = ProcFileCache::child_soft_limit()) {
            plan.limit = {*soft, lim.rlim_max};
            plan.set_limit = true;
        }
    }
    pid_t child = -1;
    const int rc = start_child(plan, child);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        result.status = (rc == ENOENT || rc == EACCES || rc == ENOTDIR) ? CommandResult::not_found
                                                                         : CommandResult::failed;
        return result;
    }

    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::duration_cast<clock::duration>(
                                             std::chrono::duration<double>(timeout_s));
    bool timed_out = false;
    bool eof = false;
    char buf[4096];
    while (!eof) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left <= 0) {
            timed_out = true;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        const int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 100)));
        if (n < 0 && errno != EINTR) break;
        if (n <= 0) continue;
        const ssize_t got = ::read(fds[0], buf, sizeof buf);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            break;
        }
        if (got == 0) eof = true;
        else result.out.append(buf, static_cast<std::size_t>(got));
    }
    ::close(fds[0]);
    int status = 0;
    bool reaped = false;
    while (!timed_out) {
        const pid_t w = ::waitpid(child, &status, WNOHANG);
        if (w == child || (w < 0 && errno != EINTR)) {
            reaped = true;
            break;
        }
        if (clock::now() >= deadline) {
            timed_out = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!reaped) {
        ::kill(child, SIGKILL);
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
    result.status = timed_out ? CommandResult::timed_out : (eof ? CommandResult::ok : CommandResult::failed);
    return result;
}

}  // namespace vyr::engine
