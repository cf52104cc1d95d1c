// State shared by the engine's source files.
#pragma once

#include <cerrno>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "vyr/engine/engine.hpp"
#include "vyr/numfmt.hpp"
#include "vyr/trace.hpp"

namespace vyr::engine {

// What the engine keeps about one process from one list to the next. A new
// start time at the same pid means a new process and a fresh record.
struct ProcessRecord {
    unsigned long long start = 0;  // start time, clock ticks after boot

    // processor reference: timer value and the process's times at the last reading
    bool cpu_ref = false;
    double cpu_timer = 0.0;
    double cpu_user = 0.0;
    double cpu_system = 0.0;

    // disk reference: the last lifetime I/O total above zero and its time
    bool io_ref = false;
    long long io_bytes = 0;
    double io_time = 0.0;

    // the command line of the last list, and what was derived from it; it
    // is read again in every list and parsed again only when it changed
    bool cmdline_known = false;
    bool cmdline_denied = false;
    std::string cmdline_raw;
    std::vector<std::string> args;
    std::string joined;  // args joined by blanks, cut to 120 characters
    text::Folded joined_folded;

    // derived from the last name read, with the command line
    bool name_known = false;
    std::string comm;
    std::string name;
    text::Folded name_folded;
    bool excluded = false;  // an exclusion word in the name or the command line
};

// The figures of one list call that every process shares.
struct ListFrame {
    double now = 0.0;            // wall clock, seconds: the time of every disk reading
    double timer = 0.0;          // processor timer: monotonic seconds times `timer_cpus`
    double timer_cpus = 1.0;     // the platform's processor count
    double ticks = 100.0;        // clock ticks per second
    double share_divisor = 1.0;  // the engine's processor count: shares of the whole machine
    double total_swap_mb = 1.0;  // never below 1.0
    double total_memory = 0.0;   // bytes, for memory shares
    bool windows = false;
};

// What the engine keeps about the processes from one list to the next, and
// the stages of one list: read each process, filter, measure, score; then
// forget the processes that are gone.
struct Engine::ProcTable {
    std::unordered_map<long long, ProcessRecord> map;
    std::vector<long long> present;  // the ids of this list, ascending
    std::string buffer;  // file contents, reused
    std::string buffer2;

    // The rows of every process that passes the filters, in the listing's order.
    std::vector<ProcessEntry> walk(Platform& platform, const ListFrame& frame, const SearchQuery& query);
    // Appends the row of one process to `rows`, unless it is left out (gone,
    // excluded, not found by the search).
    void list_one(Platform& platform, const ListFrame& frame, const SearchQuery& query, long long pid,
                  std::vector<ProcessEntry>& rows);
    // Drops the records of the processes this list did not see.
    void forget_gone();
};

struct Engine::FolderState {
    mutable std::mutex list_mutex;  // guards `list` and `published`
    std::vector<FolderUsageInfo> list;
    std::size_t published = 0;

    mutable std::mutex stamp_mutex;  // guards `last_scan`
    double last_scan = 0.0;
};

// A failure the engine contains and runs on after (a default figure, a row
// left out), written to the engine's trace: off unless turned on, and each
// stage at most once a minute.
inline void trace_failure(std::string_view stage, std::string_view cause) {
    vyr::trace::report("vyr.engine", stage, cause);
}
// Whether a process file could not be read because the process has ended.
inline bool process_gone(int error_number) { return error_number == ENOENT || error_number == ESRCH; }
// A failed read of a process file, with the process id and the system's
// error; a process that has ended is no failure.
inline void trace_read_failure(std::string_view stage, long long pid, int error_number) {
    if (process_gone(error_number) || !vyr::trace::enabled("vyr.engine")) return;
    trace_failure(stage, "pid " + numfmt::integer(pid) + ": " + vyr::trace::errno_cause(error_number));
}

// --- a process's files (process_files.cpp)

// The fields of a process's stat file that the list uses.
struct StatFields {
    std::string_view comm;  // into the file's text
    char state = '\0';      // '\0' when the state is not one letter
    bool kernel_thread = false;
    double utime = 0.0;  // clock ticks
    double stime = 0.0;
    unsigned long long start = 0;  // clock ticks after boot
};
// None for a text that is not a process's stat line.
std::optional<StatFields> parse_stat(std::string_view stat);

// What the process list takes from a status file, in one scan.
struct StatusFigures {
    std::optional<long long> uid;  // see status_uid
    long long rss = 0;             // see status_rss
    double swap_mb = 0.0;          // see parse_status_swap
};
StatusFigures parse_status(std::string_view status);
// The real uid of a status file (its first "Uid:" entry with three numbers).
std::optional<long long> status_uid(std::string_view status);
// Resident memory in bytes from the "VmRSS:" line of a status file (the same
// pages the statm file counts); 0 when the process has no memory map.
long long status_rss(std::string_view status);
// Swap in MB from a status file read as text: its first "VmSwap:" line
// decides (0.0 when it has none or a bad one).
double parse_status_swap(std::string_view status);
// Bytes read plus written from a process io file; none when it cannot be read.
std::optional<long long> parse_io_total(std::string_view io);
// int() of the second field of a line split as str.split() splits it; none
// when it is missing or not a number, `missing` set when there is no such field.
std::optional<long long> second_int_field(std::string_view line, bool* missing);
// The arguments of a process command-line file, as the system library splits them.
std::vector<std::string> parse_cmdline(std::string_view data);
// The process name: the kernel's short name, or the program name of the
// command line when the short name is its cut beginning.
std::string process_name(std::string_view comm, bool cmdline_denied, const std::vector<std::string>& args);

}  // namespace vyr::engine
