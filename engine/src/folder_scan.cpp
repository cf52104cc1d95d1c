#include <algorithm>
#include <thread>

#include "bytes_util.hpp"
#include "engine_internal.hpp"
#include "vyr/numfmt.hpp"

namespace vyr::engine {

namespace {

constexpr double kScanInterval = 45.0;
constexpr double kDuLimitSeconds = 2.5;

// The home folder as a path object writes it: no repeated, trailing or "."
// separators.
std::string normalized(const std::string& path) {
    std::string out;
    std::size_t lead = 0;
    while (lead < path.size() && path[lead] == '/') ++lead;
    if (lead == 2) out = "//";
    else if (lead > 0) out = "/";
    std::size_t i = lead;
    bool first = true;
    while (i < path.size()) {
        std::size_t j = path.find('/', i);
        if (j == std::string::npos) j = path.size();
        const std::string part = path.substr(i, j - i);
        if (!part.empty() && part != ".") {
            if (!first) out += '/';
            out += part;
            first = false;
        }
        i = j + 1;
    }
    if (out.empty()) out = ".";
    return out;
}

std::string join(const std::string& base, const std::string& name) {
    if (base == ".") return name;
    if (!base.empty() && base.back() == '/') return base + name;
    return base + "/" + name;
}

bool valid_utf8(const std::string& s) {
    for (char32_t c : text::decode_escaped(s))
        if (c >= 0xDC80 && c <= 0xDCFF) return false;
    return true;
}

// float() of a text field (blanks already split off): digits of any script,
// underscores between digits, "inf" and "nan".
std::optional<double> parse_float_field(std::u32string_view field) {
    std::string ascii;
    for (char32_t c : field) {
        if (c < 0x80) {
            ascii += static_cast<char>(c);
            continue;
        }
        const std::u32string one(1, c);
        const auto digit = text::parse_int(one);
        if (!digit || *digit < 0 || *digit > 9) return std::nullopt;
        ascii += static_cast<char>('0' + *digit);
    }
    return bytes::to_float(ascii);
}

// str.splitlines() boundaries.
bool line_break(char32_t c) {
    return c == '\n' || c == '\r' || c == 0x0B || c == 0x0C || c == 0x1C || c == 0x1D || c == 0x1E ||
           c == 0x85 || c == 0x2028 || c == 0x2029;
}

// Why a measuring run gave no size.
std::string command_failure(const CommandResult& run) {
    switch (run.status) {
        case CommandResult::timed_out: return "du ran out of time";
        case CommandResult::not_found: return "no du program";
        case CommandResult::failed: return "du failed";
        case CommandResult::ok: break;
    }
    return "du wrote text that is not UTF-8";
}

}  // namespace

std::optional<std::vector<FolderUsageInfo>> Engine::scan_folders(Platform& platform) {
    const std::string home = normalized(platform.home_dir());
    const std::pair<const char*, std::string> candidates[] = {
        {"İndirilenler (Downloads)", join(home, "Downloads")},
        {"Belgeler (Documents)", join(home, "Documents")},
        {"Kullanıcı Önbelleği (~/.cache)", join(home, ".cache")},
        {"Uygulama Verileri (~/.local)", join(join(home, ".local"), "share")},
        {"Yapılandırma (~/.config)", join(home, ".config")},
        {"Masaüstü (Desktop)", join(home, "Desktop")},
        {"Ruvivu Günlükleri (/var/log)", "/var/log"},
        {"Ruvivu Önbelleği (/var/cache)", "/var/cache"},
    };
    std::vector<FolderUsageInfo> result;
    for (const auto& [label, path] : candidates) {
        const PathState state = platform.path_state(path);
        if (state == PathState::error) {  // the scan ends here
            trace_failure("folder scan", path + ": whether it exists cannot be told");
            return std::nullopt;
        }
        if (state == PathState::missing) continue;
        try {
            // -H: a folder given as a symbolic link is measured where it points.
            const CommandResult run = platform.run_command({"du", "-H", "-sm", "--", path}, kDuLimitSeconds);
            if (run.status != CommandResult::ok || !valid_utf8(run.out)) {
                trace_failure("folder size", path + ": " + command_failure(run));
                continue;
            }
            const std::u32string out = text::strip(text::decode_escaped(run.out));
            if (out.empty()) {
                trace_failure("folder size", path + ": du printed nothing");
                continue;
            }
            std::size_t start = 0;
            for (std::size_t i = 0; i < out.size(); ++i) {
                if (line_break(out[i])) start = i + 1;
            }
            const std::u32string_view last = std::u32string_view(out).substr(start);
            const auto fields = text::split(last);
            const auto mb = fields.empty() ? std::nullopt : parse_float_field(fields[0]);
            if (!mb) {
                trace_failure("folder size", path + ": du's last line holds no size");
                continue;
            }
            const std::string size_str =
                *mb >= 1024 ? numfmt::fixed(*mb / 1024, 2) + " GB" : numfmt::fixed(*mb, 0) + " MB";
            result.push_back(FolderUsageInfo{label, path, *mb, size_str});
        } catch (const SystemError& e) {
            trace_failure("folder size", path + ": " + e.what());
        }
    }
    std::stable_sort(result.begin(), result.end(),
                     [](const FolderUsageInfo& a, const FolderUsageInfo& b) { return b.size_mb < a.size_mb; });
    return result;
}

void Engine::trigger_folder_scan_async() {
    const double now = clock_->wall();
    {
        std::lock_guard<std::mutex> lock(folders_->stamp_mutex);
        if (now - folders_->last_scan < kScanInterval) return;
        folders_->last_scan = now;
    }
    std::shared_ptr<Platform> platform = platform_;
    std::shared_ptr<FolderState> state = folders_;
    std::thread([platform, state]() {
        // A failed scan publishes nothing: the previous list stays. Nothing
        // may leave this thread, or the whole program would end.
        try {
            auto list = scan_folders(*platform);
            if (!list) return;
            std::lock_guard<std::mutex> lock(state->list_mutex);
            state->list = std::move(*list);
            ++state->published;
        } catch (const SystemError& e) {
            trace_failure("folder scan", e.what());
        } catch (const std::exception& e) {
            trace_failure("folder scan thread", e.what());
        }
    }).detach();
}

std::vector<FolderUsageInfo> Engine::get_folder_usages() const {
    std::lock_guard<std::mutex> lock(folders_->list_mutex);
    return folders_->list;
}

std::size_t Engine::get_folder_usages(std::vector<FolderUsageInfo>& out) const {
    std::lock_guard<std::mutex> lock(folders_->list_mutex);
    out = folders_->list;
    return folders_->published;
}

double Engine::last_folder_scan() const {
    std::lock_guard<std::mutex> lock(folders_->stamp_mutex);
    return folders_->last_scan;
}

std::size_t Engine::folder_scans_published() const {
    std::lock_guard<std::mutex> lock(folders_->list_mutex);
    return folders_->published;
}

}  // namespace vyr::engine
