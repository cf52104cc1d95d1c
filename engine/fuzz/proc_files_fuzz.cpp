// Fuzz target of the readers of the kernel's text files: the input is handed
// to every reader as the file it reads. Where a reader needs two files
// (meminfo with zoneinfo, meminfo with vmstat) the input is cut at its first
// blank line. Besides never crashing nor overflowing, the figures must stay
// sound: shares finite and within 0-100 where the totals are, counts above 0.
#include <climits>
#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "bytes_util.hpp"
#include "engine_internal.hpp"
#include "linux/proc_text.hpp"

namespace {

namespace pt = vyr::engine::proc_text;
using vyr::engine::SystemError;

template <typename F>
void tolerating_bad_files(F f) {
    try {
        f();
    } catch (const SystemError&) {
        // a file the system library would refuse as well
    }
}

void memory(std::string_view first, std::string_view second) {
    tolerating_bad_files([&] {
        const pt::MemInfo mems = pt::parse_meminfo(first);
        int asked = 0;
        tolerating_bad_files([&] {
            const auto zoneinfo = [&]() -> std::optional<std::string> {
                ++asked;
                return std::string(second);
            };
            const auto vm = pt::virtual_memory_from(mems, zoneinfo, 4096);
            VYR_FUZZ_CHECK(std::isfinite(vm.percent));
            const auto total = static_cast<long long>(vm.total);
            const auto avail = static_cast<long long>(vm.available);
            if (total > 0 && avail >= 0 && avail <= total) VYR_FUZZ_CHECK(vm.percent >= 0.0 && vm.percent <= 100.0);
            VYR_FUZZ_CHECK(asked <= 1);
            if (mems.count("MemAvailable:")) VYR_FUZZ_CHECK(asked == 0);
        });
        auto t = mems.find("SwapTotal:"), f = mems.find("SwapFree:");
        if (t != mems.end() && f != mems.end()) {
            pt::SwapTraffic traffic;
            tolerating_bad_files([&] { traffic = pt::vmstat_swap_bytes(second); });
            const auto sw = pt::swap_memory_from(t->second, f->second, traffic);
            VYR_FUZZ_CHECK(std::isfinite(sw.percent));
            if (t->second > 0 && f->second >= 0 && f->second <= t->second)
                VYR_FUZZ_CHECK(sw.percent >= 0.0 && sw.percent <= 100.0);
        }
    });
    tolerating_bad_files([&] { pt::zoneinfo_low_pages(first); });
}

void processors(std::string_view s) {
    if (const auto n = pt::online_cpu_count(s)) VYR_FUZZ_CHECK(*n > 0);
    VYR_FUZZ_CHECK(pt::stat_cpu_lines(s) >= 0);
    VYR_FUZZ_CHECK(pt::cpuinfo_processor_lines(s) >= 0);
    tolerating_bad_files([&] {
        if (const auto n = pt::cpuinfo_physical_cores(s)) VYR_FUZZ_CHECK(*n > 0);
    });
    tolerating_bad_files([&] { pt::cpuinfo_mhz(s); });
    tolerating_bad_files([&] {
        const auto sample = pt::cpu_times_from_stat(s, 100.0);
        VYR_FUZZ_CHECK(sample.total.size() >= 7 && sample.total.size() <= 10);
        for (const auto& cpu : sample.per_cpu) VYR_FUZZ_CHECK(cpu.size() == sample.total.size());
    });
    tolerating_bad_files([&] { pt::boot_time_from_stat(s); });
    pt::parse_loadavg(s);
}

// The lines of a text as the runtime's text files give them: ended by "\n",
// "\r\n" or "\r", undecodable bytes dropped.
std::vector<std::u32string> text_lines(std::string_view s) {
    const std::u32string text = vyr::engine::text::decode_ignore(s);
    std::vector<std::u32string> lines;
    std::u32string line;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != U'\n' && text[i] != U'\r') {
            line += text[i];
            continue;
        }
        if (text[i] == U'\r' && i + 1 < text.size() && text[i + 1] == U'\n') ++i;
        lines.push_back(line);
        line.clear();
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

// The io reader as the runtime would run it: every line that starts with one
// of the labels sets its count from int() of its second field, or fails.
std::optional<long long> reference_io_total(std::string_view s) {
    long long counts[2] = {0, 0};
    for (const auto& line : text_lines(s)) {
        const int which = line.rfind(U"read_bytes:", 0) == 0 ? 0 : line.rfind(U"write_bytes:", 0) == 0 ? 1 : -1;
        if (which < 0) continue;
        const auto parts = vyr::engine::text::split(line);
        const auto v = parts.size() > 1 ? vyr::engine::text::parse_int(parts[1]) : std::nullopt;
        if (!v) return std::nullopt;
        counts[which] = *v;
    }
    long long total;
    if (__builtin_add_overflow(counts[0], counts[1], &total)) total = counts[0] > 0 ? LLONG_MAX : LLONG_MIN;
    return total;
}

// The readers of one process's files that scan a file once agree with the
// readers one by one and with the runtime's way of reading.
void check_process_files(std::string_view s) {
    const auto status = vyr::engine::parse_status(s);
    VYR_FUZZ_CHECK(status.uid == vyr::engine::status_uid(s));
    VYR_FUZZ_CHECK(status.rss == vyr::engine::status_rss(s));
    const double swap = vyr::engine::parse_status_swap(s);
    VYR_FUZZ_CHECK(std::isfinite(swap) && status.swap_mb == swap);
    VYR_FUZZ_CHECK(vyr::engine::parse_io_total(s) == reference_io_total(s));

    // The stat line: its fields split at runs of blanks after the last ')'.
    const auto stat = vyr::engine::parse_stat(s);
    const auto lpar = s.find('('), rpar = s.rfind(')');
    std::vector<std::string_view> fields;
    if (lpar != std::string_view::npos && rpar != std::string_view::npos && rpar >= lpar)
        fields = vyr::engine::bytes::split(s.substr(std::min(s.size(), rpar + 2)));
    const bool readable = fields.size() >= 20 && vyr::engine::bytes::to_int(fields[19]) &&
                          vyr::engine::bytes::to_float(fields[11]) && vyr::engine::bytes::to_float(fields[12]);
    VYR_FUZZ_CHECK(stat.has_value() == readable);
    if (stat) {
        VYR_FUZZ_CHECK(stat->comm == s.substr(lpar + 1, rpar - lpar - 1));
        VYR_FUZZ_CHECK(stat->state == (fields[0].size() == 1 ? fields[0][0] : '\0'));
        VYR_FUZZ_CHECK(static_cast<long long>(stat->start) == *vyr::engine::bytes::to_int(fields[19]));
        const double utime = *vyr::engine::bytes::to_float(fields[11]);
        VYR_FUZZ_CHECK(stat->utime == utime || (std::isnan(stat->utime) && std::isnan(utime)));
    }
}

void disks_and_processes(std::string_view s) {
    tolerating_bad_files([&] { pt::device_filesystems(s); });
    std::size_t start = 0;
    while (start <= s.size()) {
        const std::size_t end = std::min(s.find('\n', start), s.size());
        pt::parse_mount_line(s.substr(start, end - start));
        start = end + 1;
    }
    tolerating_bad_files([&] {
        for (const auto& disk : pt::parse_diskstats(s)) VYR_FUZZ_CHECK(!disk.name.empty());
    });
    pt::parse_io_counters(s);

    check_process_files(s);
    const auto args = vyr::engine::parse_cmdline(s);
    const std::string_view comm = s.substr(0, std::min<std::size_t>(s.find('\n'), 16));
    vyr::engine::process_name(comm, false, args);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view s(reinterpret_cast<const char*>(data), size);
    const std::size_t blank = s.find("\n\n");
    const std::string_view first = blank == std::string_view::npos ? s : s.substr(0, blank + 1);
    const std::string_view second = blank == std::string_view::npos ? std::string_view() : s.substr(blank + 2);
    memory(first, second);
    processors(s);
    disks_and_processes(s);
    return 0;
}
