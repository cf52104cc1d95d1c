// Readers of one process's files (stat, status, io, cmdline), as functions
// of the text alone. Each file is scanned once; line ends are found with
// memchr, and the common case (ASCII text, plain decimal figures) takes no
// detour through code points.
#include <string.h>  // memrchr

#include <cstring>

#include "bytes_util.hpp"
#include "engine_internal.hpp"
#include "pymath.hpp"
#include "vyr/numfmt.hpp"

namespace vyr::engine {

namespace {

constexpr long long kKernelThread = 0x00200000;  // PF_KTHREAD in a stat file's flags

// Text-mode lines: a line ends at "\n", "\r\n" or "\r". Line feeds are found
// with memchr; carriage returns (rare in the kernel's files) with another
// memchr each time the last one found has been passed.
template <typename F>
void for_each_line(std::string_view data, F f) {
    const char* const begin = data.data();
    const std::size_t size = data.size();
    std::size_t start = 0;
    std::size_t cr = 0;  // the next '\r' at or after `start`, or `size`
    bool cr_found = false;
    while (start < size) {
        if (!cr_found || cr < start) {
            const void* q = std::memchr(begin + start, '\r', size - start);
            cr = q ? static_cast<std::size_t>(static_cast<const char*>(q) - begin) : size;
            cr_found = true;
        }
        const void* nl = std::memchr(begin + start, '\n', cr - start);
        const std::size_t end = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - begin) : cr;
        if (end == size) {
            f(data.substr(start));
            return;
        }
        if (!f(data.substr(start, end - start))) return;
        start = end + ((begin[end] == '\r' && end + 1 < size && begin[end + 1] == '\n') ? 2 : 1);
    }
}

// A process file read as text with undecodable bytes dropped.
std::string_view as_text(std::string_view data, std::string& scratch) {
    if (text::is_ascii(data)) return data;
    scratch = text::encode_escaped(text::decode_ignore(data));
    return scratch;
}

// str.isspace() of an ASCII character: tab to carriage return, the four
// separators 0x1C to 0x1F, and the blank.
bool ascii_space(char c) { return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20); }

// The field at `index` of `line` split at runs of the characters `space`
// names; none when the line has fewer fields.
template <typename Space>
std::optional<std::string_view> field(std::string_view line, int index, Space space) {
    std::size_t i = 0;
    for (int n = 0;; ++n) {
        while (i < line.size() && space(line[i])) ++i;
        if (i >= line.size()) return std::nullopt;
        std::size_t j = i;
        while (j < line.size() && !space(line[j])) ++j;
        if (n == index) return line.substr(i, j - i);
        i = j;
    }
}

bool starts_with(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && std::memcmp(s.data(), prefix.data(), prefix.size()) == 0;
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

// Resident memory of a "VmRSS:" line: its second blank-separated field, in kB.
long long rss_of(std::string_view line) {
    if (const auto f = field(line, 1, bytes::is_space))
        if (const auto v = bytes::to_int(*f)) return py::sat_mul(*v, 1024);
    return 0;
}

// Swap in MB of a "VmSwap:" line: int() of its second field, in kB.
double swap_of(std::string_view line) {
    bool missing = false;
    if (const auto v = second_int_field(line, &missing)) return static_cast<double>(*v) / 1024.0;
    return 0.0;
}

// Whether `data` is ASCII without carriage returns: then its lines are
// those that line feeds end, and reading it as text changes nothing.
bool plain_lines(std::string_view data) {
    return !std::memchr(data.data(), '\r', data.size()) && text::is_ascii(data);
}

// Lines ended by line feeds, one call of `f` each while it returns true.
template <typename F>
void for_each_plain_line(std::string_view data, F f) {
    const char* p = data.data();
    const char* const end = p + data.size();
    while (p < end) {
        const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
        const char* line_end = nl ? static_cast<const char*>(nl) : end;
        if (!f(std::string_view(p, static_cast<std::size_t>(line_end - p)))) return;
        p = line_end + 1;
    }
}

// The memory and swap lines of a status text, lines ending at line feeds:
// the first line that begins with "VmRSS:" before the first that begins
// with "VmSwap:", where the search stops. Lines are found by their first
// letter, so only the lines that begin with it are compared.
struct VmLines {
    std::optional<std::string_view> rss, swap;
};
VmLines vm_lines(std::string_view data) {
    VmLines found;
    const char* const begin = data.data();
    const char* const end = begin + data.size();
    for (const char* p = begin; p < end && !found.swap; ++p) {
        p = static_cast<const char*>(std::memchr(p, 'V', static_cast<std::size_t>(end - p)));
        if (!p) break;
        if (p != begin && p[-1] != '\n') continue;
        const std::string_view rest(p, static_cast<std::size_t>(end - p));
        const bool rss = !found.rss && starts_with(rest, "VmRSS:");
        if (!rss && !starts_with(rest, "VmSwap:")) continue;
        const void* nl = std::memchr(p, '\n', rest.size());
        const std::string_view line(p, static_cast<std::size_t>((nl ? static_cast<const char*>(nl) : end) - p));
        (rss ? found.rss : found.swap) = line;
    }
    return found;
}

}  // namespace

std::optional<long long> second_int_field(std::string_view line, bool* missing) {
    if (text::is_ascii(line)) {
        const auto f = field(line, 1, ascii_space);
        *missing = !f;
        // The field holds no blank of any kind, so int(bytes) reads it as int(str) does.
        return f ? bytes::to_int(*f) : std::nullopt;
    }
    const std::u32string wide = text::decode_escaped(line);
    const auto parts = text::split(wide);
    *missing = parts.size() < 2;
    if (*missing) return std::nullopt;
    return text::parse_int(parts[1]);
}

std::optional<long long> status_uid(std::string_view data) {
    std::size_t pos = 0;
    auto digits = [&](std::size_t& k) {
        const std::size_t b = k;
        while (k < data.size() && data[k] >= '0' && data[k] <= '9') ++k;
        return k > b;
    };
    while ((pos = data.find("Uid:\t", pos)) != std::string_view::npos) {
        const std::size_t first_begin = pos + 5;
        std::size_t k = first_begin;
        if (digits(k)) {
            const std::size_t first_end = k;
            if (k < data.size() && data[k] == '\t' && digits(++k) && k < data.size() && data[k] == '\t' &&
                digits(++k)) {
                return numfmt::parse_integer(data.substr(first_begin, first_end - first_begin));
            }
        }
        pos = first_begin;
    }
    return std::nullopt;
}

long long status_rss(std::string_view data) {
    long long rss = 0;
    for_each_line(data, [&](std::string_view line) {
        if (!starts_with(line, "VmRSS:")) return true;
        rss = rss_of(line);
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
        swap = swap_of(line);
        return false;  // the first such line decides
    });
    return swap;
}

StatusFigures parse_status(std::string_view data) {
    StatusFigures s;
    s.uid = status_uid(data);
    // Where the text up to the swap line (the whole text when there is none)
    // is ASCII without carriage returns, its lines are the ones the readers
    // one by one would see.
    const VmLines lines = vm_lines(data);
    const std::string_view head =
        lines.swap ? data.substr(0, static_cast<std::size_t>(lines.swap->data() + lines.swap->size() - data.data()))
                   : data;
    if (plain_lines(head)) {
        if (lines.swap) s.swap_mb = swap_of(*lines.swap);
        if (lines.rss) s.rss = rss_of(*lines.rss);
        else if (lines.swap) s.rss = status_rss(data);  // after the swap line, if anywhere
        return s;
    }
    // Carriage returns end lines too, and dropping undecodable bytes changes
    // what the swap reader sees: the readers one by one.
    s.rss = status_rss(data);
    s.swap_mb = parse_status_swap(data);
    return s;
}

std::optional<long long> parse_io_total(std::string_view raw) {
    std::string scratch;
    const bool plain = plain_lines(raw);
    const std::string_view data = plain ? raw : as_text(raw, scratch);
    long long read = 0, write = 0;
    bool failed = false;
    auto take = [&](std::string_view line) {
        long long* target = nullptr;
        if (line.empty() || (line[0] != 'r' && line[0] != 'w')) return true;
        if (starts_with(line, "read_bytes:")) target = &read;
        else if (starts_with(line, "write_bytes:")) target = &write;
        if (!target) return true;
        bool missing = false;
        const auto v = second_int_field(line, &missing);
        if (!v) {
            failed = true;
            return false;
        }
        *target = *v;
        return true;
    };
    if (plain) for_each_plain_line(data, take);
    else for_each_line(data, take);
    if (failed) return std::nullopt;
    return py::sat_add(read, write);
}

std::optional<StatFields> parse_stat(std::string_view stat) {
    const auto lpar = stat.find('(');
    const void* last = memrchr(stat.data(), ')', stat.size());
    if (lpar == std::string_view::npos || !last) return std::nullopt;
    const auto rpar = static_cast<std::size_t>(static_cast<const char*>(last) - stat.data());
    if (rpar < lpar) return std::nullopt;
    // The fields after the name: the state is the first, the start time the twentieth.
    std::string_view fields[20];
    const std::string_view rest = stat.substr(std::min(stat.size(), rpar + 2));
    // Bytes above the blank are never blanks: only the others are looked at closely.
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' ' && bytes::is_space(c); };
    std::size_t i = 0;
    for (std::string_view& f : fields) {
        while (i < rest.size() && blank(rest[i])) ++i;
        if (i >= rest.size()) return std::nullopt;
        std::size_t j = i;
        while (j < rest.size() && !blank(rest[j])) ++j;
        f = rest.substr(i, j - i);
        i = j;
    }
    const auto start = bytes::to_int(fields[19]);
    const auto utime = bytes::to_float(fields[11]);
    const auto stime = bytes::to_float(fields[12]);
    if (!start || !utime || !stime) return std::nullopt;
    StatFields f;
    f.comm = stat.substr(lpar + 1, rpar - lpar - 1);
    f.state = fields[0].size() == 1 ? fields[0][0] : '\0';
    const auto flags = bytes::to_int(fields[6]);
    f.kernel_thread = flags && (*flags & kKernelThread);
    f.utime = *utime;
    f.stime = *stime;
    f.start = static_cast<unsigned long long>(*start);
    return f;
}

namespace {

// The command line as a text-mode read gives it: "\r\n" and a lone "\r"
// read as "\n". Copies only when there is a carriage return.
std::string_view with_text_line_ends(std::string_view data, std::string& scratch) {
    std::size_t cr = data.find('\r');
    if (cr == std::string_view::npos) return data;
    scratch.assign(data.data(), cr);
    for (; cr < data.size(); ++cr) {
        if (data[cr] != '\r') {
            scratch += data[cr];
            continue;
        }
        scratch += '\n';
        if (cr + 1 < data.size() && data[cr + 1] == '\n') ++cr;
    }
    return scratch;
}

}  // namespace

std::vector<std::string> parse_cmdline(std::string_view raw) {
    std::vector<std::string> out;
    if (raw.empty()) return out;  // a zombie or a kernel thread
    std::string scratch;
    std::string_view data = with_text_line_ends(raw, scratch);
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

}  // namespace vyr::engine
