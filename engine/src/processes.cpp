#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "bytes_util.hpp"
#include "engine_internal.hpp"
#include "pymath.hpp"
#include "vyr/numfmt.hpp"

namespace vyr::engine {

namespace {

constexpr double kMB = 1048576.0;
constexpr std::size_t kCmdlineChars = 120;
constexpr const char* kExcluded[] = {"claude", "antigravity", "language_server"};
constexpr long long kKernelThread = 0x00200000;  // PF_KTHREAD in a stat file's flags

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

// Text-mode lines: a line ends at "\n", "\r\n" or "\r".
template <typename F>
void for_each_line(std::string_view data, F f) {
    std::size_t start = 0;
    while (start < data.size()) {
        std::size_t end = start;  // a plain scan: find_first_of searches the set for every byte
        while (end < data.size() && data[end] != '\n' && data[end] != '\r') ++end;
        if (end == data.size()) {
            f(data.substr(start));
            return;
        }
        if (!f(data.substr(start, end - start))) return;
        start = end + ((data[end] == '\r' && end + 1 < data.size() && data[end + 1] == '\n') ? 2 : 1);
    }
}

// A process file read as text with undecodable bytes dropped.
std::string_view as_text(std::string_view data, std::string& scratch) {
    if (text::is_ascii(data)) return data;
    scratch = text::encode_escaped(text::decode_ignore(data));
    return scratch;
}

// int() of the second blank-separated field of a line; none when it is
// missing or not a number, `missing` set when there is no second field.
std::optional<long long> second_field(std::string_view line, bool* missing) {
    const std::u32string wide = text::decode_escaped(line);
    const auto parts = text::split(wide);
    *missing = parts.size() < 2;
    if (*missing) return std::nullopt;
    return text::parse_int(parts[1]);
}

bool starts_with(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// The real uid of a status file (its first "Uid:" line with three numbers).
std::optional<long long> status_uid(std::string_view data) {
    std::size_t pos = 0;
    while ((pos = data.find("Uid:\t", pos)) != std::string_view::npos) {
        std::size_t i = pos + 5;
        auto digits = [&](std::size_t& k) {
            const std::size_t b = k;
            while (k < data.size() && data[k] >= '0' && data[k] <= '9') ++k;
            return k > b;
        };
        std::size_t k = i;
        const std::size_t first_begin = k;
        if (digits(k)) {
            const std::size_t first_end = k;
            if (k < data.size() && data[k] == '\t' && digits(++k) && k < data.size() && data[k] == '\t' &&
                digits(++k)) {
                return numfmt::parse_integer(data.substr(first_begin, first_end - first_begin));
            }
        }
        pos = i;
    }
    return std::nullopt;
}

std::string_view basename(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool starts_with_code_points(std::string_view s, std::string_view prefix) {
    if (text::is_ascii(s) && text::is_ascii(prefix)) return starts_with(s, prefix);
    const auto a = text::decode_escaped(s), b = text::decode_escaped(prefix);
    return a.size() >= b.size() && a.compare(0, b.size(), b) == 0;
}

// (key components) compared as the runtime compares tuples.
bool tuple_less(const double* a, const double* b, int n) {
    for (int i = 0; i < n; ++i) {
        if (a[i] == b[i]) continue;
        return a[i] < b[i];
    }
    return false;
}

}  // namespace

long long status_rss(std::string_view data) {
    long long rss = 0;
    for_each_line(data, [&](std::string_view line) {
        if (!starts_with(line, "VmRSS:")) return true;
        const auto f = bytes::split(line);
        if (f.size() > 1)
            if (auto v = bytes::to_int(f[1])) rss = py::sat_mul(*v, 1024);
        return false;
    });
    return rss;
}

double parse_status_swap(std::string_view raw) {
    std::string scratch;
    const std::string_view data = as_text(raw, scratch);
    double swap = 0.0;
    for_each_line(data, [&](std::string_view line) {
        if (!starts_with(line, "VmSwap:")) return true;
        bool missing = false;
        if (const auto v = second_field(line, &missing)) swap = static_cast<double>(*v) / 1024.0;
        return false;  // the first such line decides
    });
    return swap;
}

std::optional<long long> parse_io_total(std::string_view raw) {
    std::string scratch;
    const std::string_view data = as_text(raw, scratch);
    long long read = 0, write = 0;
    bool failed = false;
    for_each_line(data, [&](std::string_view line) {
        long long* target = nullptr;
        if (starts_with(line, "read_bytes:")) target = &read;
        else if (starts_with(line, "write_bytes:")) target = &write;
        if (!target) return true;
        bool missing = false;
        const auto v = second_field(line, &missing);
        if (!v) {
            failed = true;
            return false;
        }
        *target = *v;
        return true;
    });
    if (failed) return std::nullopt;
    long long total;
    if (__builtin_add_overflow(read, write, &total))
        total = read > 0 ? std::numeric_limits<long long>::max() : std::numeric_limits<long long>::min();
    return total;
}

std::vector<std::string> parse_cmdline(std::string_view data) {
    std::vector<std::string> out;
    if (data.empty()) return out;  // a zombie or a kernel thread
    const char sep = data.back() == '\0' ? '\0' : ' ';
    if (data.back() == sep) data.remove_suffix(1);
    for (auto part : bytes::split_on(data, sep)) out.emplace_back(part);
    if (sep == '\0' && out.size() == 1 && data.find(' ') != std::string_view::npos) {
        out.clear();
        for (auto part : bytes::split_on(data, ' ')) out.emplace_back(part);
    }
    return out;
}

std::string process_name(std::string_view comm, bool cmdline_denied, const std::vector<std::string>& args) {
    std::string name(comm);
    if (text::code_point_count(comm) >= 15 && !cmdline_denied && !args.empty()) {
        const std::string_view extended = basename(args[0]);
        if (starts_with_code_points(extended, comm)) name.assign(extended);
    }
    return name;
}

SwapAndIo Engine::read_proc_swap_and_io(Platform& platform, long long pid) {
    SwapAndIo r;
    if (platform.windows()) {
        try {
            if (const auto io = platform.process_io_counters(pid))
                r.total_io_bytes = static_cast<long long>(io->read_bytes + io->write_bytes);
        } catch (...) {
            r.total_io_bytes = 0;
        }
        return r;
    }
    std::string data;
    if (platform.read_process_file(pid, "status", data) == 0) r.swap_mb = parse_status_swap(data);
    if (platform.read_process_file(pid, "io", data) == 0) r.total_io_bytes = parse_io_total(data).value_or(0);
    return r;
}

std::vector<ProcessEntry> Engine::collect_processes(std::string_view sort_by, const SearchQuery& query,
                                                    bool group_by_app, long long limit) {
    std::lock_guard<std::mutex> lock(sample_mutex_);
    Platform& p = *platform_;
    auto& table = *procs_;
    const double now = clock_->wall();
    const double mono = clock_->monotonic();

    double total_swap_mb = static_cast<double>(p.swap_memory().total) / kMB;
    if (!(total_swap_mb > 1.0)) total_swap_mb = 1.0;
    const double total_phymem = static_cast<double>(p.memory_total());
    // The system library's processor count for per-process shares.
    const auto counted = p.cpu_count_logical();
    const double timer_cpus = static_cast<double>(counted && *counted > 0 ? *counted : 1);
    const double ticks = static_cast<double>(p.clock_ticks());
    const double share_divisor = static_cast<double>(std::max<long>(cpu_count_logical_, 1));
    const bool windows = p.windows();

    std::vector<ProcessEntry> entries;
    const std::vector<long long> pids = p.pids();
    std::vector<long long> present;
    present.reserve(pids.size());
    std::string& buf = table.buffer;
    std::string& buf2 = table.buffer2;

    for (const long long pid : pids) {
        try {
            if (p.read_process_file(pid, "stat", buf) != 0) continue;  // ended before it was read
            const auto lpar = buf.find('(');
            const auto rpar = buf.rfind(')');
            if (lpar == std::string::npos || rpar == std::string::npos || rpar < lpar) continue;
            const std::string_view stat(buf);
            const std::string_view comm = stat.substr(lpar + 1, rpar - lpar - 1);
            const auto fields = bytes::split(stat.substr(std::min(stat.size(), rpar + 2)));
            if (fields.size() < 20 || fields[0].empty()) continue;
            const auto start = bytes::to_int(fields[19]);
            const auto utime = bytes::to_float(fields[11]);
            const auto stime = bytes::to_float(fields[12]);
            if (!start || !utime || !stime) continue;
            present.push_back(pid);

            auto [it, fresh] = table.map.try_emplace(pid);
            ProcessRecord& rec = it->second;
            if (!fresh && rec.start != static_cast<unsigned long long>(*start)) rec = ProcessRecord{};
            rec.start = static_cast<unsigned long long>(*start);

            // Processor use since the previous list, in percent of one processor.
            const double timer = mono * timer_cpus;
            const double user = *utime / ticks;
            const double system = *stime / ticks;
            double raw_cpu = 0.0;
            if (rec.cpu_ref) {
                const double delta_proc = (user - rec.cpu_user) + (system - rec.cpu_system);
                const double delta_time = timer - rec.cpu_timer;
                if (delta_time != 0.0) raw_cpu = py::round(((delta_proc / delta_time) * 100) * timer_cpus, 1);
                if (!(raw_cpu >= 0.0)) raw_cpu = 0.0;  // a share is never negative
            }
            rec.cpu_ref = true;
            rec.cpu_timer = timer;
            rec.cpu_user = user;
            rec.cpu_system = system;
            const double cpu_pct = py::min(raw_cpu / share_divisor, 100.0);

            // The command line of every list: a process may rewrite its
            // argument area or run another program (exec) in place. A kernel
            // thread has none to read.
            const auto flags = bytes::to_int(fields[6]);
            int rc = 0;
            if (flags && (*flags & kKernelThread)) buf2.clear();
            else rc = p.read_process_file(pid, "cmdline", buf2);
            if (rc == ENOENT || rc == ESRCH) continue;  // ended meanwhile
            if (!rec.cmdline_known || rec.cmdline_denied != (rc != 0) || (rc == 0 && rec.cmdline_raw != buf2)) {
                rec.cmdline_denied = rc != 0;
                if (rc == 0) rec.cmdline_raw = buf2;
                else rec.cmdline_raw.clear();
                rec.args = rc == 0 ? parse_cmdline(buf2) : std::vector<std::string>{};
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
            if (!rec.name_known || rec.comm != comm) {
                rec.comm.assign(comm);
                rec.name = process_name(comm, rec.cmdline_denied, rec.args);
                if (rec.name.empty()) rec.name = "pid-" + numfmt::integer(pid);
                rec.name_folded = text::Folded(rec.name);
                rec.name_known = true;
            }
            const bool has_args = !rec.args.empty();
            const text::Folded& cmd_folded = has_args ? rec.joined_folded : rec.name_folded;

            bool excluded = false;
            for (const char* word : kExcluded) {
                if (rec.name_folded.contains_ascii(word) || cmd_folded.contains_ascii(word)) {
                    excluded = true;
                    break;
                }
            }
            if (excluded) continue;
            if (!query.empty() && !query.matches(rec.name_folded, cmd_folded, pid)) continue;

            // Owner, memory and swap from the status file.
            double swap_mb = 0.0;
            long long rss = 0;
            bool have_rss = false;
            const int src = p.read_process_file(pid, "status", buf2);
            if (src == ENOENT || src == ESRCH) continue;
            std::string username;
            if (src == 0) {
                if (const auto uid = status_uid(buf2)) username = p.user_name(*uid);
                rss = status_rss(buf2);
                have_rss = true;
                if (!windows) swap_mb = parse_status_swap(buf2);
            }
            if (!have_rss && p.read_process_file(pid, "statm", buf2) == 0) {
                const auto f = bytes::split(buf2);
                if (f.size() > 1)
                    if (const auto pages = bytes::to_int(f[1])) rss = py::sat_mul(*pages, sysconf(_SC_PAGESIZE));
            }

            long long total_io = 0;
            if (windows) {
                try {
                    if (const auto io = p.process_io_counters(pid))
                        total_io = static_cast<long long>(io->read_bytes + io->write_bytes);
                } catch (...) {
                }
            } else if (p.read_process_file(pid, "io", buf2) == 0) {
                total_io = parse_io_total(buf2).value_or(0);
            }

            const double ram_mb = static_cast<double>(rss) / kMB;
            const double ram_pct = total_phymem > 0 ? (static_cast<double>(rss) / total_phymem) * 100 : 0.0;
            const double disk_total_mb = static_cast<double>(total_io) / kMB;
            double disk_rate = 0.0;
            if (rec.io_ref && total_io > 0) {
                const double dt = py::max(now - rec.io_time, 0.1);
                if (total_io >= rec.io_bytes)
                    disk_rate = static_cast<double>(total_io - rec.io_bytes) / dt / 1024.0;
            }
            if (total_io > 0) {
                rec.io_ref = true;
                rec.io_bytes = total_io;
                rec.io_time = now;
            }
            const double swap_share = swap_mb / total_swap_mb * 100.0;
            const double io_score = py::min(disk_rate / 512.0, 25.0) + py::min(disk_total_mb / 500.0, 10.0);
            const double score = cpu_pct * 1.4 + ram_pct * 1.1 + swap_share * 1.2 + io_score;

            ProcessEntry e;
            e.pid = pid;
            e.name = rec.name;
            e.display_name = rec.name;
            e.username = username.empty() ? "-" : std::move(username);
            e.status = status_name(fields[0].size() == 1 ? fields[0][0] : '\0');
            e.cpu_percent = cpu_pct;
            e.ram_percent = ram_pct;
            e.ram_mb = ram_mb;
            e.swap_mb = swap_mb;
            e.disk_rw_kb_s = disk_rate;
            e.disk_total_mb = disk_total_mb;
            e.workload_score = score;
            e.process_count = 1;
            e.cmdline = has_args ? rec.joined : rec.name;
            entries.push_back(std::move(e));
        } catch (...) {
            // a process that cannot be read is left out
        }
    }

    // Forget the processes that are gone.
    for (auto it = table.map.begin(); it != table.map.end();) {
        if (std::binary_search(present.begin(), present.end(), it->first)) ++it;
        else it = table.map.erase(it);
    }

    if (group_by_app) {
        std::vector<ProcessEntry> groups;
        std::unordered_map<std::string, std::size_t> index;
        for (auto& e : entries) {
            const std::string key = text::Folded(e.name).key();
            auto found = index.find(key);
            if (found == index.end()) {
                index.emplace(key, groups.size());
                groups.push_back(e);
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
            if (g.process_count > 1)
                g.display_name = g.name + " (" + numfmt::integer(g.process_count) + " işlem)";
        entries = std::move(groups);
    }

    int n = 3;
    auto key = [&](const ProcessEntry& e, double* k) {
        if (sort_by == "cpu") {
            k[0] = e.cpu_percent, k[1] = e.ram_mb, n = 2;
        } else if (sort_by == "ram") {
            k[0] = e.ram_mb, k[1] = e.cpu_percent, n = 2;
        } else if (sort_by == "swap") {
            k[0] = e.swap_mb, k[1] = e.ram_mb, n = 2;
        } else if (sort_by == "disk") {
            k[0] = e.disk_rw_kb_s, k[1] = e.disk_total_mb, k[2] = e.ram_mb, n = 3;
        } else {
            k[0] = e.workload_score, k[1] = e.cpu_percent, k[2] = e.ram_mb, n = 3;
        }
    };
    std::vector<std::array<double, 3>> keys(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) key(entries[i], keys[i].data());
    std::vector<std::size_t> order(entries.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    // Largest first; equal keys keep their order.
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return tuple_less(keys[b].data(), keys[a].data(), n);
    });

    const long long count = static_cast<long long>(entries.size());
    long long keep = limit >= 0 ? std::min(limit, count) : std::max(0LL, count + limit);
    std::vector<ProcessEntry> out;
    out.reserve(static_cast<std::size_t>(keep));
    for (long long i = 0; i < keep; ++i) out.push_back(std::move(entries[order[static_cast<std::size_t>(i)]]));
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
