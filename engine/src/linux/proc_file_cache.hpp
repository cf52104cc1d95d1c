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
// read by opening, reading and closing each file.
//
// The descriptors are the program's, lent: the cache keeps a file only
// where it leaves the rest of the program room to go on.
// - Kept descriptors are close-on-exec and numbered from 1 024 up, so none
//   of them reaches the program's children or any code that waits on
//   descriptors with select(). Where the soft limit cannot reach above
//   1 024 plus the reserve, no file is kept.
// - The reserve: a kept descriptor never takes a number within the top
//   `reserve` numbers below the soft limit, the reserve being the largest
//   of 256, a quarter of the numbers from 1 024 to the soft limit, and half
//   of those the program had when it started (so with soft = hard the program
//   keeps at least half its room above 1 024). The limit is read again at
//   the start of every list; when descriptors of the program's own already
//   reach into the reserve, every kept file is closed and none is kept in
//   that list.
// - An open that fails for want of descriptors (EMFILE, ENFILE) closes every
//   kept file and is tried once more; what that gives is the answer, and no
//   file is kept for the rest of that list.
// - close_all() gives every descriptor back (the engine calls it when no
//   list has run for a while); the next list opens the files again.
#pragma once

#include <sys/resource.h>

#include <array>
#include <cstddef>
#include <mutex>
#include <optional>
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
    static constexpr int kLowestDescriptor = 1024;
    // The fewest descriptors kept free for the rest of the program.
    static constexpr rlim_t kLeastReserve = 256;

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
    // Starts a list: closes the files of every process that is not in
    // `pids` (ascending) and measures the room the list may keep files in.
    void keep_only(const std::vector<long long>& pids);
    // Closes every kept file.
    void close_all();

    std::size_t kept() const;
    std::size_t bound() const { return bound_; }

    // Makes room for `bound` more descriptors above 1 024 and the reserve:
    // raises the soft RLIMIT_NOFILE toward the hard limit as far as needed,
    // and never further. Gives the files that fit (0 where none does).
    static std::size_t descriptor_room(std::size_t bound);
    // The reserve below soft limit `soft` (see above).
    static rlim_t reserve(rlim_t soft);
    // The soft limit for a program this one starts: the one this program
    // started with when descriptor_room raised it (and nothing changed it
    // since); none when the current one is that.
    static std::optional<rlim_t> child_soft_limit();

private:
    static constexpr int kSlots = 4;
    using Files = std::array<int, kSlots>;

    void close_files(Files& files);
    void close_every_file();
    // A just opened descriptor moved to a number the cache may keep, or -1
    // (then `fd` is closed).
    int keepable(int fd);
    // Measures the room of this list (mutex held).
    void measure_room();

    const int proc_dir_;
    std::size_t bound_ = 0;
    mutable std::mutex mutex_;  // everything below
    std::unordered_map<long long, Files> files_;
    std::size_t kept_ = 0;
    int ceiling_ = 0;     // kept descriptors stay below this number
    bool full_ = false;   // no more files kept in this list
};

}  // namespace vyr::engine
