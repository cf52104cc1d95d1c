#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "bytes_util.hpp"
#include "engine_internal.hpp"
#include "pymath.hpp"
#include "vyr/numfmt.hpp"
#include "vyr/settings_defaults.hpp"

namespace vyr::engine {

namespace {

constexpr double kMB = 1048576.0;
constexpr std::size_t kCmdlineChars = 120;
constexpr const char* kExcluded[] = {"claude", "antigravity", "language_server"};

const char* status_name(char letter) {
    switch (letter) {
        case 'R': return "running";
        case 'S': return "sleeping";
        case 'D': return "disk-sleep";
        case 'T': return "stopped";
        case 't': return "tracing-stop";
        case 'Z': return "zombie";
        case 'X':
        case 'x': return "dead";
        case 'K': return "wake-kill";
        case 'W': return "waking";
        case 'I': return "idle";
        case 'P': return "parked";
        default: return "?";
    }
}

// (key components) compared as the runtime compares tuples.
bool tuple_less(const double* a, const double* b, int n) {
    for (int i = 0; i < n; ++i) {
        if (a[i] == b[i]) continue;
        return a[i] < b[i];
    }
    return false;
}

// Processor use since the previous list, in percent of the whole machine;
// moves the record's reference to this reading.
double measure_cpu(ProcessRecord& rec, const StatFields& stat, const ListFrame& frame) {
    const double user = stat.utime / frame.ticks;
    const double system = stat.stime / frame.ticks;
    double raw_cpu = 0.0;  // percent of one processor
    if (rec.cpu_ref) {
        const double delta_proc = (user - rec.cpu_user) + (system - rec.cpu_system);
        const double delta_time = frame.timer - rec.cpu_timer;
        if (delta_time != 0.0) raw_cpu = py::round(((delta_proc / delta_time) * 100) * frame.timer_cpus, 1);
        if (!(raw_cpu >= 0.0)) raw_cpu = 0.0;  // a share is never negative
    }
    rec.cpu_ref = true;
    rec.cpu_timer = frame.timer;
    rec.cpu_user = user;
    rec.cpu_system = system;
    return py::min(raw_cpu / frame.share_divisor, 100.0);
}

const text::Folded& folded_cmdline(const ProcessRecord& rec) {
    return rec.args.empty() ? rec.name_folded : rec.joined_folded;
}

// Whether an exclusion word occurs in the name or the command line.
bool has_excluded_word(const ProcessRecord& rec) {
    const text::Folded& cmd = folded_cmdline(rec);
    for (const char* word : kExcluded)
        if (rec.name_folded.contains_ascii(word) || cmd.contains_ascii(word)) return true;
    return false;
}

// Whether a failed read or call wanted a descriptor that was not to be had.
bool out_of_descriptors(int error_number) { return error_number == EMFILE || error_number == ENFILE; }

// A listed file of process `pid`: 0 or an errno. A read that found no free
// descriptor fails the whole list: the process is there, and a list without
// it would look complete.
int read_listed(Platform& p, long long pid, const char* name, std::string& buf) {
    const int rc = p.read_listed_process_file(pid, name, buf);
    if (out_of_descriptors(rc)) {
        const std::string path = "/proc/" + numfmt::integer(pid) + "/" + name;
        throw SystemError(rc, "no descriptor to read " + path + " with: " + vyr::trace::errno_cause(rc), path);
    }
    return rc;
}

// The arguments from a command-line file that changed (or was first read).
void take_command_line(ProcessRecord& rec, int rc, const std::string& data) {
    rec.cmdline_denied = rc != 0;
    if (rc == 0) rec.cmdline_raw = data;
    else rec.cmdline_raw.clear();
    rec.args = rc == 0 ? parse_cmdline(data) : std::vector<std::string>{};
    rec.joined.clear();
    rec.joined_folded = text::Folded();
    rec.name_known = false;
    if (!rec.args.empty()) {
        std::string joined;
        for (std::size_t i = 0; i < rec.args.size(); ++i) {
            if (i) joined += ' ';
            joined += rec.args[i];
        }
        rec.joined.assign(text::first_code_points(joined, kCmdlineChars));
        rec.joined_folded = text::Folded(rec.joined);
    }
    rec.cmdline_known = true;
}

// Reads the command line of every list: a process may rewrite its argument
// area or run another program (exec) in place. A kernel thread has none to
// read. Then the name, from the kernel's short name and the command line.
// False when the process ended meanwhile.
bool read_names(Platform& p, long long pid, const StatFields& stat, ProcessRecord& rec, std::string& buf) {
    int rc = 0;
    if (stat.kernel_thread) buf.clear();
    else rc = read_listed(p, pid, "cmdline", buf);
    if (process_gone(rc)) return false;
    if (rc != 0) trace_read_failure("process command line", pid, rc);
    if (!rec.cmdline_known || rec.cmdline_denied != (rc != 0) || (rc == 0 && rec.cmdline_raw != buf))
        take_command_line(rec, rc, buf);
    if (!rec.name_known || rec.comm != stat.comm) {
        rec.comm.assign(stat.comm);
        rec.name = process_name(stat.comm, rec.cmdline_denied, rec.args);
        if (rec.name.empty()) rec.name = "pid-" + numfmt::integer(pid);
        rec.name_folded = text::Folded(rec.name);
        rec.name_known = true;
        rec.excluded = has_excluded_word(rec);
    }
    return true;
}

// The exclusion words, then the search.
bool passes_filters(const ProcessRecord& rec, const SearchQuery& query, long long pid) {
    return !rec.excluded && (query.empty() || query.matches(rec.name_folded, folded_cmdline(rec), pid));
}

// Owner, memory, swap and lifetime I/O of one process.
struct Counters {
    std::string username;
    long long rss = 0;  // bytes
    double swap_mb = 0.0;
    long long total_io = 0;  // bytes read plus written
};

// The platform's own I/O counters of a process (the Windows step); 0 when
// they cannot be read.
long long platform_io_total(Platform& p, long long pid) {
    try {
        if (const auto io = p.process_io_counters(pid))
            return static_cast<long long>(io->read_bytes + io->write_bytes);
    } catch (const SystemError& e) {
        trace_failure("process io counters", "pid " + numfmt::integer(pid) + ": " + e.what());
    }
    return 0;
}

// Bytes read plus written since the process started: the platform's own
// counters on Windows, else the io file; 0 when they cannot be read.
long long read_io_total(Platform& p, long long pid, bool windows, bool listed, std::string& buf) {
    if (windows) return platform_io_total(p, pid);
    const int rc = listed ? read_listed(p, pid, "io", buf) : p.read_process_file(pid, "io", buf);
    if (rc != 0) {
        trace_read_failure("process io", pid, rc);
        return 0;
    }
    if (const auto total = parse_io_total(buf)) return *total;
    trace_failure("process io", "pid " + numfmt::integer(pid) + ": a count that is not a number");
    return 0;
}

// The status file gives owner, memory and swap (the statm file the memory
// when status cannot be read), the io file the lifetime I/O. None when the
// process ended meanwhile.
std::optional<Counters> read_counters(Platform& p, long long pid, bool windows, std::string& buf) {
    Counters c;
    const int src = read_listed(p, pid, "status", buf);
    if (process_gone(src)) return std::nullopt;
    if (src == 0) {
        const StatusFigures status = parse_status(buf);
        if (status.uid) c.username = p.user_name(*status.uid);
        c.rss = status.rss;
        if (!windows) c.swap_mb = status.swap_mb;
    } else {
        trace_read_failure("process status", pid, src);
        if (p.read_process_file(pid, "statm", buf) == 0) {
            const auto f = bytes::split(buf);
            if (f.size() > 1)
                if (const auto pages = bytes::to_int(f[1])) c.rss = py::sat_mul(*pages, sysconf(_SC_PAGESIZE));
        }
    }
    c.total_io = read_io_total(p, pid, windows, true, buf);
    return c;
}

// Disk rate in KB/s since the last stored lifetime total; a total above zero
// becomes the next reference.
double measure_disk_rate(ProcessRecord& rec, long long total_io, double now) {
    double rate = 0.0;
    if (rec.io_ref && total_io > 0) {
        const double dt = py::max(now - rec.io_time, 0.1);
        if (total_io >= rec.io_bytes) rate = static_cast<double>(total_io - rec.io_bytes) / dt / 1024.0;
    }
    if (total_io > 0) {
        rec.io_ref = true;
        rec.io_bytes = total_io;
        rec.io_time = now;
    }
    return rate;
}

// The workload score: weighted processor, memory and swap shares plus the
// disk part, added in this order and not capped. The disk part gives one
// point per `rate_per_point` KB/s up to `rate_cap`, and one per
// `total_per_point` MB read and written since start up to `total_cap`.
struct ScoreWeights {
    double cpu, ram, swap, io;
    double rate_per_point, rate_cap;
    double total_per_point, total_cap;
};
constexpr ScoreWeights kScore = {1.4, 1.1, 1.2, 1.0, 512.0, 25.0, 500.0, 10.0};

double workload_score(const ProcessEntry& row, double swap_share) {
    const double io_score = py::min(row.disk_rw_kb_s / kScore.rate_per_point, kScore.rate_cap) +
                            py::min(row.disk_total_mb / kScore.total_per_point, kScore.total_cap);
    return row.cpu_percent * kScore.cpu + row.ram_percent * kScore.ram + swap_share * kScore.swap +
           io_score * kScore.io;
}

// Rows of one program (same name, ignoring capitals) in one row: sums, the
// member count, and the id of a member busier than the group's mean so far.
std::vector<ProcessEntry> group_by_program(std::vector<ProcessEntry>& rows) {
    std::vector<ProcessEntry> groups;
    std::unordered_map<std::string, std::size_t> index;
    for (auto& e : rows) {
        auto [found, fresh] = index.try_emplace(text::Folded(e.name).key(), groups.size());
        if (fresh) {
            groups.push_back(std::move(e));
            groups.back().process_count = 1;
            continue;
        }
        ProcessEntry& g = groups[found->second];
        g.cpu_percent += e.cpu_percent;
        g.ram_percent += e.ram_percent;
        g.ram_mb += e.ram_mb;
        g.swap_mb += e.swap_mb;
        g.disk_rw_kb_s += e.disk_rw_kb_s;
        g.disk_total_mb += e.disk_total_mb;
        g.workload_score += e.workload_score;
        g.process_count += 1;
        if (e.cpu_percent > g.cpu_percent / static_cast<double>(g.process_count)) g.pid = e.pid;
    }
    for (auto& g : groups)
        if (g.process_count > 1) g.display_name = g.name + " (" + numfmt::integer(g.process_count) + " işlem)";
    return groups;
}

// The sort keys by the text of `sort_by`: components compared left to right.
struct SortKey {
    std::string_view sort_by;
    int size;
    double ProcessEntry::*fields[3];
};
constexpr SortKey kSortKeys[] = {
    {"cpu", 2, {&ProcessEntry::cpu_percent, &ProcessEntry::ram_mb, nullptr}},
    {"ram", 2, {&ProcessEntry::ram_mb, &ProcessEntry::cpu_percent, nullptr}},
    {"swap", 2, {&ProcessEntry::swap_mb, &ProcessEntry::ram_mb, nullptr}},
    {"disk", 3, {&ProcessEntry::disk_rw_kb_s, &ProcessEntry::disk_total_mb, &ProcessEntry::ram_mb}},
};
// Any other text, "workload" included.
constexpr SortKey kWorkloadKey = {
    "workload", 3, {&ProcessEntry::workload_score, &ProcessEntry::cpu_percent, &ProcessEntry::ram_mb}};

const SortKey& sort_key_for(std::string_view sort_by) {
    for (const SortKey& k : kSortKeys)
        if (k.sort_by == sort_by) return k;
    return kWorkloadKey;
}

// The positions of `rows` largest first; equal keys keep their order.
std::vector<std::size_t> order_rows(const std::vector<ProcessEntry>& rows, const SortKey& key) {
    std::vector<std::array<double, 3>> keys(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i)
        for (int k = 0; k < key.size; ++k) keys[i][k] = rows[i].*key.fields[k];
    std::vector<std::size_t> order(rows.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return tuple_less(keys[b].data(), keys[a].data(), key.size);
    });
    return order;
}

// How many rows of `count` a limit keeps; a negative limit drops the last -limit.
std::size_t kept_rows(std::size_t count, long long limit) {
    const long long n = static_cast<long long>(count);
    return static_cast<std::size_t>(limit >= 0 ? std::min(limit, n) : std::max(0LL, n + limit));
}

// The figures of the machine that every process of one list shares.
ListFrame list_frame(Platform& p, Clock& clock, long cpu_count_logical,
                     const std::optional<MemoryTotals>& snapshot_totals) {
    ListFrame f;
    f.now = clock.wall();
    const double mono = clock.monotonic();
    const MemoryTotals totals = snapshot_totals ? *snapshot_totals : p.memory_totals();
    f.total_swap_mb = static_cast<double>(totals.swap) / kMB;
    if (!(f.total_swap_mb > 1.0)) f.total_swap_mb = 1.0;
    f.total_memory = static_cast<double>(totals.ram);
    // The platform's processor count times the monotonic clock is the timer
    // processor shares are measured against.
    const auto counted = p.cpu_count_logical();
    f.timer_cpus = static_cast<double>(counted && *counted > 0 ? *counted : 1);
    f.timer = mono * f.timer_cpus;
    f.ticks = static_cast<double>(p.clock_ticks());
    f.share_divisor = static_cast<double>(std::max<long>(cpu_count_logical, 1));
    f.windows = p.windows();
    return f;
}

}  // namespace

SwapAndIo Engine::read_proc_swap_and_io(Platform& platform, long long pid) {
    SwapAndIo r;
    std::string data;
    const bool windows = platform.windows();
    if (!windows) {  // no swap per process on Windows
        if (const int rc = platform.read_process_file(pid, "status", data); rc == 0)
            r.swap_mb = parse_status_swap(data);
        else
            trace_read_failure("process swap", pid, rc);
    }
    r.total_io_bytes = read_io_total(platform, pid, windows, false, data);
    return r;
}

void Engine::ProcTable::list_one(Platform& p, const ListFrame& frame, const SearchQuery& query, long long pid,
                                 std::vector<ProcessEntry>& rows) {
    if (read_listed(p, pid, "stat", buffer) != 0) return;  // ended before it was read
    const std::optional<StatFields> stat = parse_stat(buffer);
    if (!stat) return;
    present.push_back(pid);

    auto [it, fresh] = map.try_emplace(pid);
    ProcessRecord& rec = it->second;
    if (!fresh && rec.start != stat->start) rec = ProcessRecord{};  // a new process at a reused pid
    rec.start = stat->start;

    const double cpu_pct = measure_cpu(rec, *stat, frame);
    if (!read_names(p, pid, *stat, rec, buffer2)) return;
    if (!passes_filters(rec, query, pid)) return;
    std::optional<Counters> counters = read_counters(p, pid, frame.windows, buffer2);
    if (!counters) return;

    ProcessEntry& e = rows.emplace_back();
    e.pid = pid;
    e.name = rec.name;
    e.display_name = rec.name;
    e.username = counters->username.empty() ? "-" : std::move(counters->username);
    e.status = status_name(stat->state);
    e.cpu_percent = cpu_pct;
    e.ram_percent = frame.total_memory > 0 ? (static_cast<double>(counters->rss) / frame.total_memory) * 100 : 0.0;
    e.ram_mb = static_cast<double>(counters->rss) / kMB;
    e.swap_mb = counters->swap_mb;
    e.disk_rw_kb_s = measure_disk_rate(rec, counters->total_io, frame.now);
    e.disk_total_mb = static_cast<double>(counters->total_io) / kMB;
    e.workload_score = workload_score(e, counters->swap_mb / frame.total_swap_mb * 100.0);
    e.process_count = 1;
    e.cmdline = rec.args.empty() ? rec.name : rec.joined;
}

std::vector<ProcessEntry> Engine::ProcTable::walk(Platform& p, const ListFrame& frame, const SearchQuery& query) {
    p.refresh_user_names();
    const std::vector<long long> pids = p.pids();
    present.clear();
    present.reserve(pids.size());
    std::vector<ProcessEntry> rows;
    rows.reserve(pids.size());
    for (const long long pid : pids) {
        try {
            list_one(p, frame, query, pid, rows);
        } catch (const SystemError& e) {
            trace_failure("process list", "pid " + numfmt::integer(pid) + ": " + e.what());
            // With no descriptor to read the next process with, the list fails.
            if (out_of_descriptors(e.error_number())) throw;
            // Any other process that cannot be read is left out.
        }
    }
    return rows;
}

void Engine::ProcTable::forget_gone() {
    for (auto it = map.begin(); it != map.end();) {
        if (std::binary_search(present.begin(), present.end(), it->first)) ++it;
        else it = map.erase(it);
    }
}

std::vector<ProcessEntry> Engine::list_processes(const SearchQuery& query) {
    std::lock_guard<std::mutex> lock(sample_mutex_);
    // A list that follows its cycle's snapshot takes the memory totals the
    // snapshot has just read. The window is shorter than the telemetry
    // worker's shortest period, so a list never takes the totals of an
    // earlier cycle's snapshot.
    constexpr double kCycleReuse = 0.5;
    static_assert(kCycleReuse * 1000 < vyr::settings::kRefreshMsFloor,
                  "the memory totals of one cycle would reach into the next");
    std::optional<MemoryTotals> snapshot_totals = std::exchange(snapshot_totals_, std::nullopt);
    if (snapshot_totals && !(clock_->monotonic() - snapshot_totals_at_ < kCycleReuse)) snapshot_totals.reset();
    const ListFrame frame = list_frame(*platform_, *clock_, cpu_count_logical_, snapshot_totals);
    last_list_at_ = clock_->monotonic();
    listed_files_open_ = true;
    std::vector<ProcessEntry> rows = procs_->walk(*platform_, frame, query);
    procs_->forget_gone();
    return rows;
}

std::vector<ProcessEntry> Engine::group_processes(std::vector<ProcessEntry> rows) { return group_by_program(rows); }

std::vector<std::size_t> Engine::arrange_processes(const std::vector<ProcessEntry>& rows, std::string_view sort_by,
                                                   long long limit) {
    std::vector<std::size_t> order = order_rows(rows, sort_key_for(sort_by));
    order.resize(kept_rows(order.size(), limit));
    return order;
}

std::vector<ProcessEntry> Engine::collect_processes(std::string_view sort_by, const SearchQuery& query,
                                                    bool group_by_app, long long limit) {
    std::vector<ProcessEntry> rows = list_processes(query);
    if (group_by_app) rows = group_by_program(rows);
    const std::vector<std::size_t> order = arrange_processes(rows, sort_by, limit);
    std::vector<ProcessEntry> out;
    out.reserve(order.size());
    for (const std::size_t i : order) out.push_back(std::move(rows[i]));
    return out;
}

SearchQuery SearchQuery::from_text(std::string_view utf8) {
    return from_prepared(text::lower(text::strip(text::decode_escaped(utf8))));
}

SearchQuery SearchQuery::from_prepared(std::u32string_view prepared) {
    SearchQuery q;
    q.empty_ = prepared.empty();
    q.folded_ = text::Folded::from_code_points(prepared);
    q.ascii_ = true;
    for (char32_t c : prepared) {
        if (c >= 0x80) {
            q.ascii_ = false;
            break;
        }
        q.ascii_text_ += static_cast<char>(c);
    }
    if (!q.ascii_) q.ascii_text_.clear();
    return q;
}

bool SearchQuery::matches(const text::Folded& name, const text::Folded& cmdline, long long pid) const {
    if (empty_) return true;
    if (name.contains(folded_) || cmdline.contains(folded_)) return true;
    return ascii_ && numfmt::integer(pid).find(ascii_text_) != std::string::npos;
}

}  // namespace vyr::engine
