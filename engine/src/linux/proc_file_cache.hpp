// The stat, status, io and cmdline files of each process, kept open from one
// process list to the next.
//
// Opening a /proc/<pid>/ file walks the path, looks the process up and makes
// a new open file every time, which costs more than reading it. A kept file
// read again at offset 0 gives the kernel's text as it is at that read. Once
// its process has ended, a kept file reads ESRCH (or nothing): it belongs to
// the process it was opened for and never shows a newer process that got the
// same pid. A read that fails closes all the files of that pid and the file
// is opened afresh, once; what that read gives is the answer.
//
// The files take descriptors and kernel memory (an open file, about 1 KB,
// and for stat, status and io the page of text the kernel keeps for a file
// it has read), so at most `bound` files are kept; processes beyond it are
// read by opening, reading and closing each file. The descriptors are
// close-on-exec and numbered from where the program's own range ends (see
// descriptor_room), so none of them reaches the program's children or any
// code that waits on descriptors with select().
#pragma once

#include <array>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace vyr::engine {

// Reads the whole of an open file into `out`: 0 or an errno. With
// `short_read_ends`, a read that returns less than asked ends the file (the
// kernel hands out a small process file in one read). With `at_offsets` the
// file is read with pread from offset 0 and its position is left alone.
int read_whole(int fd, std::string& out, bool short_read_ends, bool at_offsets);

class ProcFileCache {
public:
    // The files kept by default: four for each of 4 096 processes, more than
    // a busy desktop runs (some hundreds to a few thousand). At 16 KB of
    // kernel memory per process that is at most some 64 MB, and 16 384
    // descriptors, which a hard limit of the usual 524 288 leaves room for.
    static constexpr std::size_t kDefaultBound = 16384;
    // The descriptors below this number stay the rest of the program's:
    // the usual soft limit, and the numbers select() can wait on.
    static constexpr std::size_t kProgramDescriptors = 1024;

    // `proc_dir` is an open /proc folder, not owned. Keeps at most `bound`
    // files (0: none), fewer where the descriptor limit leaves less room.
    ProcFileCache(int proc_dir, std::size_t bound);
    ~ProcFileCache();
    ProcFileCache(const ProcFileCache&) = delete;
    ProcFileCache& operator=(const ProcFileCache&) = delete;

    // The place of a kept file's name ("stat", "status", "io", "cmdline"),
    // -1 for any other file.
    static int slot_of(const char* name);
    // Reads file `slot` of `pid`, named `rel` ("<pid>/<name>") below the
    // /proc folder, into `out`: 0 or an errno.
    int read(long long pid, int slot, const char* rel, std::string& out);
    // Closes the files of every process that is not in `pids` (ascending).
    void keep_only(const std::vector<long long>& pids);

    std::size_t kept() const;
    std::size_t bound() const { return bound_; }
    int lowest_descriptor() const { return lowest_fd_; }

    // Makes room for `bound` more descriptors above the program's own range:
    // raises the soft RLIMIT_NOFILE toward the hard limit as far as needed,
    // and never further. Gives the files that fit and the lowest number
    // they may take.
    struct Room {
        std::size_t files = 0;
        int lowest_fd = 0;
    };
    static Room descriptor_room(std::size_t bound);

private:
    static constexpr int kSlots = 4;
    using Files = std::array<int, kSlots>;

    void close_files(Files& files);

    const int proc_dir_;
    std::size_t bound_ = 0;
    int lowest_fd_ = 0;
    mutable std::mutex mutex_;  // the map and the count below
    std::unordered_map<long long, Files> files_;
    std::size_t kept_ = 0;
};

}  // namespace vyr::engine
