#include "proc_file_cache.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vyr::engine {

namespace {

constexpr const char* kNames[] = {"stat", "status", "io", "cmdline"};
constexpr int kCmdline = 3;  // empty for a zombie: no sign of a failed read

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

ProcFileCache::Room ProcFileCache::descriptor_room(std::size_t bound) {
    Room room;
    rlimit lim{};
    if (bound == 0 || ::getrlimit(RLIMIT_NOFILE, &lim) != 0) return room;
    const rlim_t own = std::min<rlim_t>(lim.rlim_cur, kProgramDescriptors);
    const rlim_t wanted = own + bound;
    if (lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur < wanted) {
        rlimit raised = lim;
        raised.rlim_cur = lim.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, lim.rlim_max);
        if (raised.rlim_cur > lim.rlim_cur && ::setrlimit(RLIMIT_NOFILE, &raised) == 0) lim = raised;
    }
    room.lowest_fd = static_cast<int>(own);
    if (lim.rlim_cur > own) room.files = static_cast<std::size_t>(std::min<rlim_t>(bound, lim.rlim_cur - own));
    return room;
}

ProcFileCache::ProcFileCache(int proc_dir, std::size_t bound) : proc_dir_(proc_dir) {
    const Room room = descriptor_room(bound);
    bound_ = room.files;
    lowest_fd_ = room.lowest_fd;
}

ProcFileCache::~ProcFileCache() {
    for (auto& entry : files_) close_files(entry.second);
}

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
    const int fd = ::openat(proc_dir_, rel, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int rc = read_whole(fd, out, true, true);
    int kept = -1;
    if (rc == 0 && kept_ < bound_) {
        // Out of the program's own range, close-on-exec as opened.
        kept = fd >= lowest_fd_ ? fd : ::fcntl(fd, F_DUPFD_CLOEXEC, lowest_fd_);
        if (kept != fd) ::close(fd);
    } else {
        ::close(fd);
    }
    if (kept >= 0) {
        if (it == files_.end()) it = files_.try_emplace(pid, Files{-1, -1, -1, -1}).first;
        it->second[slot] = kept;
        ++kept_;
    }
    return rc;
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
}

std::size_t ProcFileCache::kept() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return kept_;
}

}  // namespace vyr::engine
