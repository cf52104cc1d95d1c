#include "proc_file_cache.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace vyr::engine {

namespace {

constexpr const char* kNames[] = {"stat", "status", "io", "cmdline"};
constexpr int kCmdline = 3;  // empty for a zombie: no sign of a failed read

bool out_of_descriptors(int error_number) { return error_number == EMFILE || error_number == ENFILE; }

// The soft descriptor limit as descriptor numbers can reach it.
rlim_t numbers_below(rlim_t soft) { return std::min<rlim_t>(soft, INT_MAX); }

// The soft limit the program started with, and what descriptor_room raised
// it to: process-wide, as the limit is.
struct LimitRecord {
    std::mutex mutex;
    bool known = false;
    rlim_t started = 0;
    rlim_t raised_to = 0;
};
LimitRecord& limit_record() {
    static LimitRecord record;
    return record;
}

// The reserve below `soft` for a program that started with `started`.
rlim_t reserve_for(rlim_t soft, rlim_t started) {
    const rlim_t low = ProcFileCache::kLowestDescriptor;
    const rlim_t n = numbers_below(soft), s = numbers_below(started);
    const rlim_t quarter = n > low ? (n - low) / 4 : 0;
    const rlim_t half_at_start = s > low ? (s - low) / 2 : 0;
    return std::max({ProcFileCache::kLeastReserve, quarter, half_at_start});
}

// The files that fit below `soft`: the numbers from 1 024 up less the reserve.
rlim_t files_below(rlim_t soft, rlim_t started) {
    const rlim_t n = numbers_below(soft), used = ProcFileCache::kLowestDescriptor + reserve_for(soft, started);
    return n > used ? n - used : 0;
}

}  // namespace

int read_whole(int fd, std::string& out, bool short_read_ends, bool at_offsets) {
    out.clear();
    char buf[8192];
    for (;;) {
        const ssize_t n = at_offsets ? ::pread(fd, buf, sizeof buf, static_cast<off_t>(out.size()))
                                     : ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return 0;
        out.append(buf, static_cast<std::size_t>(n));
        if (short_read_ends && static_cast<std::size_t>(n) < sizeof buf) return 0;
    }
}

rlim_t ProcFileCache::reserve(rlim_t soft) {
    LimitRecord& r = limit_record();
    std::lock_guard<std::mutex> lock(r.mutex);
    return reserve_for(soft, r.known ? r.started : soft);
}

std::size_t ProcFileCache::descriptor_room(std::size_t bound) {
    rlimit lim{};
    if (bound == 0 || ::getrlimit(RLIMIT_NOFILE, &lim) != 0) return 0;
    LimitRecord& r = limit_record();
    std::lock_guard<std::mutex> lock(r.mutex);
    // A limit someone else set since the last raise is the program's own.
    if (!r.known || lim.rlim_cur != r.raised_to) r.started = lim.rlim_cur;
    r.known = true;
    // The least soft limit that leaves `bound` files above the reserve.
    rlim_t wanted = kLowestDescriptor + bound;
    while (files_below(wanted, r.started) < bound && wanted < INT_MAX)
        wanted += bound - files_below(wanted, r.started);
    if (lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur < wanted) {
        rlimit raised = lim;
        raised.rlim_cur = lim.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, lim.rlim_max);
        // Raised only where that gives room for a file.
        if (raised.rlim_cur > lim.rlim_cur && files_below(raised.rlim_cur, r.started) > 0 &&
            ::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            lim = raised;
    }
    r.raised_to = lim.rlim_cur;
    return static_cast<std::size_t>(std::min<rlim_t>(bound, files_below(lim.rlim_cur, r.started)));
}

std::optional<rlim_t> ProcFileCache::child_soft_limit() {
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return std::nullopt;
    LimitRecord& r = limit_record();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!r.known || lim.rlim_cur != r.raised_to || r.started == lim.rlim_cur) return std::nullopt;
    return std::min(r.started, lim.rlim_max);
}

ProcFileCache::ProcFileCache(int proc_dir, std::size_t bound) : proc_dir_(proc_dir) {
    bound_ = descriptor_room(bound);
    std::lock_guard<std::mutex> lock(mutex_);
    measure_room();
}

ProcFileCache::~ProcFileCache() { close_every_file(); }

int ProcFileCache::slot_of(const char* name) {
    for (int i = 0; i < kSlots; ++i)
        if (std::strcmp(name, kNames[i]) == 0) return i;
    return -1;
}

void ProcFileCache::close_files(Files& files) {
    for (int& fd : files) {
        if (fd < 0) continue;
        ::close(fd);
        fd = -1;
        --kept_;
    }
}

void ProcFileCache::close_every_file() {
    for (auto& entry : files_) close_files(entry.second);
    files_.clear();
}

void ProcFileCache::measure_room() {
    full_ = true;
    ceiling_ = kLowestDescriptor;
    rlimit lim{};
    if (bound_ == 0 || ::getrlimit(RLIMIT_NOFILE, &lim) != 0) return;
    const rlim_t n = numbers_below(lim.rlim_cur), r = reserve(lim.rlim_cur);
    if (n <= static_cast<rlim_t>(kLowestDescriptor) + r) {
        close_every_file();
        return;
    }
    ceiling_ = static_cast<int>(n - r);
    // The lowest free number from the ceiling up is the ceiling itself
    // unless descriptors of the rest of the program already reach into the
    // reserve: then the program needs the room more than the list does.
    const int probe = ::fcntl(proc_dir_, F_DUPFD_CLOEXEC, ceiling_);
    if (probe >= 0) ::close(probe);
    if (probe != ceiling_) {
        close_every_file();
        return;
    }
    // Files above a ceiling that a lowered limit brought down go.
    for (auto it = files_.begin(); it != files_.end();) {
        if (*std::max_element(it->second.begin(), it->second.end()) < ceiling_) {
            ++it;
            continue;
        }
        close_files(it->second);
        it = files_.erase(it);
    }
    full_ = false;
}

int ProcFileCache::keepable(int fd) {
    if (full_ || kept_ >= bound_) {
        ::close(fd);
        return -1;
    }
    int kept = fd;
    if (fd < kLowestDescriptor) {
        // Out of the program's own range, close-on-exec as opened.
        kept = ::fcntl(fd, F_DUPFD_CLOEXEC, kLowestDescriptor);
        ::close(fd);
    }
    if (kept >= ceiling_) {
        ::close(kept);
        return -1;
    }
    return kept;
}

int ProcFileCache::read(long long pid, int slot, const char* rel, std::string& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(pid);
    if (it != files_.end() && it->second[slot] >= 0) {
        const int rc = read_whole(it->second[slot], out, true, true);
        if (rc == 0 && (!out.empty() || slot == kCmdline)) return 0;
        // The process has ended, its pid went to another, or this program
        // may no longer read it: its other files are no better.
        close_files(it->second);
        files_.erase(it);
        it = files_.end();
    }
    int fd = ::openat(proc_dir_, rel, O_RDONLY | O_CLOEXEC);
    if (fd < 0 && out_of_descriptors(errno)) {
        // The kept files give their descriptors back, to this read and to
        // the rest of the program, for the rest of this list.
        close_every_file();
        full_ = true;
        it = files_.end();
        fd = ::openat(proc_dir_, rel, O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0) return errno;
    const int rc = read_whole(fd, out, true, true);
    if (rc != 0) {
        ::close(fd);
        return rc;
    }
    const int kept = keepable(fd);
    if (kept >= 0) {
        if (it == files_.end()) it = files_.try_emplace(pid, Files{-1, -1, -1, -1}).first;
        it->second[slot] = kept;
        ++kept_;
    }
    return 0;
}

void ProcFileCache::keep_only(const std::vector<long long>& pids) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = files_.begin(); it != files_.end();) {
        if (std::binary_search(pids.begin(), pids.end(), it->first)) {
            ++it;
            continue;
        }
        close_files(it->second);
        it = files_.erase(it);
    }
    measure_room();
}

void ProcFileCache::close_all() {
    std::lock_guard<std::mutex> lock(mutex_);
    close_every_file();
}

std::size_t ProcFileCache::kept() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return kept_;
}

}  // namespace vyr::engine
