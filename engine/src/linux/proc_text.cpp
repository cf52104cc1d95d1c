#include "proc_text.hpp"

#include <cerrno>
#include <cmath>

#include "../bytes_util.hpp"
#include "../pymath.hpp"
#include "vyr/numfmt.hpp"

namespace vyr::engine::proc_text {

namespace {

std::string lowered(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = bytes::lower(c);
    return out;
}

// Whether `line` begins with `prefix` (lower case) in any mix of capitals.
bool starts_with_lowered(std::string_view line, std::string_view prefix) {
    if (line.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (bytes::lower(line[i]) != prefix[i]) return false;
    return true;
}

long long get_or(const MemInfo& m, const char* k, long long d) {
    auto it = m.find(k);
    return it == m.end() ? d : it->second;
}

}  // namespace

double usage_percent(double used, double total) {
    if (total == 0.0) return 0.0;
    return py::round(used / total * 100, 1);
}

// --- processors ---------------------------------------------------------

std::optional<long> online_cpu_count(std::string_view data) {
    long long count = 0;
    for (auto part : bytes::split_on(bytes::strip(data), ',')) {
        if (part.empty()) continue;
        const auto dash = part.find('-');
        const auto a = bytes::to_int(part.substr(0, dash));
        const auto b = dash == std::string_view::npos ? a : bytes::to_int(part.substr(dash + 1));
        if (!a || !b || *b < *a) return std::nullopt;
        count = py::sat_add(count, py::sat_add(py::sat_sub(*b, *a), 1));
    }
    if (count > 0) return static_cast<long>(count);
    return std::nullopt;
}

long stat_cpu_lines(std::string_view data) {
    long count = 0;
    for (auto line : bytes::lines(data))
        if (line.size() > 3 && line.substr(0, 3) == "cpu" && line[3] >= '0' && line[3] <= '9') ++count;
    return count;
}

long cpuinfo_processor_lines(std::string_view data) {
    long count = 0;
    for (auto line : bytes::lines(data))
        if (lowered(line.substr(0, 9)) == "processor") ++count;
    return count;
}

std::optional<long> cpuinfo_physical_cores(std::string_view data) {
    std::map<std::string, long long> mapping;
    std::map<std::string, long long> current;
    for (auto raw : bytes::lines(data)) {
        const std::string line = lowered(bytes::strip(raw));
        if (line.empty()) {
            auto pid = current.find("physical id");
            auto cores = current.find("cpu cores");
            if (pid != current.end() && cores != current.end())
                mapping[numfmt::integer(pid->second)] = cores->second;
            current.clear();
        } else if (line.rfind("physical id", 0) == 0 || line.rfind("cpu cores", 0) == 0) {
            const auto sep = line.find("\t:");
            if (sep == std::string::npos) throw SystemError(EINVAL, "not enough values to unpack");
            const auto value = bytes::to_int(std::string_view(line).substr(sep + 2));
            if (!value) throw SystemError(EINVAL, "invalid literal for int()");
            current[line.substr(0, sep)] = *value;
        }
    }
    long long total = 0;
    for (const auto& kv : mapping) total = py::sat_add(total, kv.second);
    if (total > 0) return static_cast<long>(total);
    return std::nullopt;
}

std::vector<double> cpuinfo_mhz(std::string_view data) {
    std::vector<double> out;
    bytes::for_each_line(data, [&](std::string_view line) {
        if (!starts_with_lowered(line, "cpu mhz")) return true;
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) throw SystemError(EINVAL, "list index out of range");
        const auto v = bytes::to_float(line.substr(colon + 1));
        if (!v) throw SystemError(EINVAL, "could not convert string to float");
        out.push_back(*v);
        return true;
    });
    return out;
}

CpuTimesSample cpu_times_from_stat(std::string_view data, double ticks) {
    constexpr std::size_t kMost = 10;  // user to guest_nice
    std::size_t nfields = 0;           // fixed by the first line
    auto parse = [&](std::string_view line) {
        std::string_view values[kMost + 1];
        if (bytes::split_into(line, values, nfields + 1) < nfields + 1)
            throw SystemError(EINVAL, "too few processor time fields");
        CpuTimes t;
        t.reserve(nfields);
        for (std::size_t i = 1; i <= nfields; ++i) {
            const auto v = bytes::to_float(values[i]);
            if (!v) throw SystemError(EINVAL, "could not convert processor time to float");
            t.push_back(*v / ticks);
        }
        return t;
    };
    CpuTimesSample sample;
    bool first = true;
    bytes::for_each_line(data, [&](std::string_view line) {
        if (first) {
            first = false;
            std::string_view fields[kMost + 1];
            const std::size_t count = bytes::split_into(line, fields, kMost + 1);
            const std::size_t vlen = count == 0 ? 0 : count - 1;
            nfields = vlen >= 10 ? 10 : vlen >= 9 ? 9 : vlen >= 8 ? 8 : 7;
            sample.total = parse(line);
        } else if (line.substr(0, 3) == "cpu") {
            sample.per_cpu.push_back(parse(line));
        }
        return true;
    });
    if (first) throw SystemError(EINVAL, "empty processor statistics");
    return sample;
}

std::optional<double> boot_time_from_stat(std::string_view data) {
    std::optional<double> btime;
    bytes::for_each_line(data, [&](std::string_view line) {
        if (line.substr(0, 5) != "btime") return true;
        std::string_view f[2];
        const auto v = bytes::split_into(line, f, 2) > 1 ? bytes::to_float(f[1]) : std::nullopt;
        if (!v) throw SystemError(EINVAL, "could not convert boot time");
        btime = *v;
        return false;
    });
    return btime;
}

std::optional<LoadAverage> parse_loadavg(std::string_view data) {
    const auto f = bytes::split(data);
    if (f.size() < 3) return std::nullopt;
    const auto a = bytes::to_float(f[0]), b = bytes::to_float(f[1]), c = bytes::to_float(f[2]);
    if (!a || !b || !c) return std::nullopt;
    return LoadAverage{*a, *b, *c};
}

// --- memory ----------------------------------------------------------------

MemInfo parse_meminfo(std::string_view data) {
    MemInfo mems;
    bytes::for_each_line(data, [&](std::string_view line) {
        std::string_view fields[2];
        if (bytes::split_into(line, fields, 2) < 2) throw SystemError(EINVAL, "list index out of range");
        const auto v = bytes::to_int(fields[1]);
        if (!v) throw SystemError(EINVAL, "invalid literal for int()");
        mems.add(fields[0], py::sat_mul(*v, 1024));
        return true;
    });
    return mems;
}

long long zoneinfo_low_pages(std::string_view data) {
    long long low = 0;
    for (auto raw : bytes::lines(data)) {
        const auto line = bytes::strip(raw);
        if (line.substr(0, 3) == "low") {
            const auto f = bytes::split(line);
            const auto v = f.size() > 1 ? bytes::to_int(f[1]) : std::nullopt;
            if (!v) throw SystemError(EINVAL, "invalid literal for int()");
            low = py::sat_add(low, *v);
        }
    }
    return low;
}

VirtualMemory virtual_memory_from(const MemInfo& mems,
                                  const std::function<std::optional<std::string>()>& zoneinfo,
                                  long page_size) {
    auto need = [&](const char* k) {
        auto it = mems.find(k);
        if (it == mems.end()) throw SystemError(EINVAL, std::string("missing ") + k);
        return it->second;
    };
    const long long total = need("MemTotal:");
    const long long free = need("MemFree:");
    const long long buffers = get_or(mems, "Buffers:", 0);
    const auto cached_it = mems.find("Cached:");
    long long cached = 0;
    if (cached_it != mems.end()) cached = py::sat_add(cached_it->second, get_or(mems, "SReclaimable:", 0));

    long long avail;
    auto avail_it = mems.find("MemAvailable:");
    if (avail_it != mems.end()) {
        avail = avail_it->second;
    } else {
        // Older kernels: the kernel's own estimate, recomputed.
        const long long fallback = py::sat_add(free, get_or(mems, "Cached:", 0));
        auto a = mems.find("Active(file):"), i = mems.find("Inactive(file):"), s = mems.find("SReclaimable:");
        std::optional<std::string> zone;
        if (a != mems.end() && i != mems.end() && s != mems.end()) zone = zoneinfo();
        if (!zone) {
            avail = fallback;
        } else {
            const long long low = py::sat_mul(zoneinfo_low_pages(*zone), page_size);
            double avail_f = static_cast<double>(py::sat_sub(free, low));
            double pagecache = static_cast<double>(py::sat_add(a->second, i->second));
            pagecache -= py::min(pagecache / 2, static_cast<double>(low));
            avail_f += pagecache;
            const double slab = static_cast<double>(s->second);
            avail_f += slab - py::min(slab / 2.0, static_cast<double>(low));
            avail = py::sat_int(avail_f);
        }
    }
    if (avail < 0) avail = 0;
    if (avail > total) avail = free;

    VirtualMemory vm;
    vm.total = static_cast<std::uint64_t>(total);
    vm.available = static_cast<std::uint64_t>(avail);
    vm.percent = usage_percent(static_cast<double>(py::sat_sub(total, avail)), static_cast<double>(total));
    vm.cached = static_cast<std::uint64_t>(cached);
    vm.buffers = static_cast<std::uint64_t>(buffers);
    return vm;
}

SwapTraffic vmstat_swap_bytes(std::string_view data) {
    std::optional<long long> in, out;
    bytes::for_each_line(data, [&](std::string_view line) {
        auto value = [&]() {
            const auto parts = bytes::split_on(line, ' ');
            const auto v = parts.size() > 1 ? bytes::to_int(parts[1]) : std::nullopt;
            if (!v) throw SystemError(EINVAL, "invalid literal for int()");
            return py::sat_mul(*v, 4 * 1024);
        };
        if (line.substr(0, 6) == "pswpin") in = value();
        else if (line.substr(0, 7) == "pswpout") out = value();
        return !(in && out);
    });
    if (in && out) return SwapTraffic{*in, *out};
    return {};
}

SwapMemory swap_memory_from(long long total, long long free, SwapTraffic traffic) {
    const long long used = py::sat_sub(total, free);
    SwapMemory sw;
    sw.total = static_cast<std::uint64_t>(total);
    sw.free = static_cast<std::uint64_t>(free);
    sw.used = static_cast<std::uint64_t>(used);
    sw.percent = usage_percent(static_cast<double>(used), static_cast<double>(total));
    sw.sin = static_cast<std::uint64_t>(traffic.in);
    sw.sout = static_cast<std::uint64_t>(traffic.out);
    return sw;
}

// --- disks -------------------------------------------------------------------

std::set<std::string> device_filesystems(std::string_view data) {
    std::set<std::string> fstypes;
    for (auto raw : bytes::lines(data)) {
        const auto line = bytes::strip(raw);
        if (line.substr(0, 5) != "nodev") {
            fstypes.insert(std::string(line));
        } else {
            const auto parts = bytes::split_on(line, '\t');
            if (parts.size() < 2) throw SystemError(EINVAL, "list index out of range");
            if (parts[1] == "zfs") fstypes.insert("zfs");
        }
    }
    return fstypes;
}

// getmntent's unescaping of a mount-table field.
std::string unescape_mount_field(std::string_view s) {
    if (s.find('\\') == std::string_view::npos) return std::string(s);
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && s.size() - i >= 4) {
            const std::string_view code = s.substr(i + 1, 3);
            char c = 0;
            if (code == "040") c = ' ';
            else if (code == "011") c = '\t';
            else if (code == "012") c = '\n';
            else if (code == "134") c = '\\';
            if (c) {
                out += c;
                i += 3;
                continue;
            }
        }
        if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == '\\') {
            out += '\\';
            ++i;
            continue;
        }
        out += s[i];
    }
    return out;
}

std::optional<std::array<std::string_view, 3>> mount_fields(std::string_view raw) {
    std::size_t p = 0;
    while (p < raw.size() && (raw[p] == ' ' || raw[p] == '\t')) ++p;
    if (p >= raw.size() || raw[p] == '#') return std::nullopt;
    std::array<std::string_view, 3> f;  // device, mount point, type; the rest is not needed
    std::size_t n = 0;
    while (p < raw.size() && n < 3) {
        std::size_t q = p;
        while (q < raw.size() && raw[q] != ' ' && raw[q] != '\t') ++q;
        f[n++] = raw.substr(p, q - p);
        while (q < raw.size() && (raw[q] == ' ' || raw[q] == '\t')) ++q;
        p = q;
    }
    if (n < 3) return std::nullopt;
    return f;
}

std::optional<Partition> parse_mount_line(std::string_view raw) {
    const auto f = mount_fields(raw);
    if (!f) return std::nullopt;
    Partition part{unescape_mount_field((*f)[0]), unescape_mount_field((*f)[1]), unescape_mount_field((*f)[2])};
    if (part.device == "none") part.device.clear();
    return part;
}

std::vector<DiskCounters> parse_diskstats(std::string_view data) {
    std::vector<DiskCounters> out;
    bytes::for_each_line(data, [&](std::string_view line) {
        std::string_view f[18];
        const std::size_t count = bytes::split_into(line, f, 18);  // 19: more than 18
        std::string_view name;
        std::optional<long long> r, w;
        if (count == 15) {
            name = f[3];
            r = bytes::to_int(f[5]);
            w = bytes::to_int(f[9]);
        } else if (count == 14 || count >= 18) {
            name = f[2];
            r = bytes::to_int(f[5]);
            w = bytes::to_int(f[9]);
        } else if (count == 7) {
            name = f[2];
            r = bytes::to_int(f[4]);
            w = bytes::to_int(f[6]);
        } else {
            throw SystemError(EINVAL, "not sure how to interpret a disk statistics line");
        }
        if (!r || !w) throw SystemError(EINVAL, "invalid literal for int()");
        out.push_back({name, static_cast<std::uint64_t>(*r) * 512, static_cast<std::uint64_t>(*w) * 512});
        return true;
    });
    return out;
}

// --- processes -------------------------------------------------------------

std::optional<IoTotals> parse_io_counters(std::string_view data) {
    std::map<std::string, long long> fields;
    for (auto raw : bytes::lines(data)) {
        const auto line = bytes::strip(raw);
        if (line.empty()) continue;
        const auto sep = line.find(": ");
        if (sep == std::string_view::npos || line.find(": ", sep + 2) != std::string_view::npos) continue;
        const auto v = bytes::to_int(line.substr(sep + 2));
        if (!v) return std::nullopt;
        fields[std::string(line.substr(0, sep))] = *v;
    }
    auto r = fields.find("read_bytes"), w = fields.find("write_bytes");
    if (r == fields.end() || w == fields.end()) return std::nullopt;
    return IoTotals{static_cast<std::uint64_t>(r->second), static_cast<std::uint64_t>(w->second)};
}

}  // namespace vyr::engine::proc_text
