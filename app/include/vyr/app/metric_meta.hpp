// The one table of the five metrics: key, short name, title, full title and
// accent colour, in display order (popup rows and inspector tabs).
#pragma once

#include <array>
#include <cstring>

namespace vyr::app {

struct MetricMeta {
    const char* key;         // "workload", "cpu", "ram", "disk", "swap"
    const char* short_;      // the `short` field (a C++ keyword, hence the underscore)
    const char* title;       // popup row text and tab label
    const char* full_title;  // inspector header when the tab is selected
    const char* accent;      // "#" and six upper-case hexadecimal digits
};

// UTF-8 texts. "DİSK" and "İşlemci" begin with U+0130 (capital I with dot above).
inline constexpr std::array<MetricMeta, 5> METRIC_META = {{
    {"workload", "Vyr", "Genel İş Yükü", "Genel İş Yükü & Ruvivu Dengesi", "#15803D"},
    {"cpu", "CPU", "İşlemci (CPU)", "İşlemci (CPU) Yükü ve Çekirdekler", "#0284C7"},
    {"ram", "RAM", "Bellek (RAM)", "Bellek (RAM) Kullanımı", "#4F46E5"},
    {"disk", "DİSK", "Hafıza (Disk)", "Hafıza (Disk Doluluk & Okuma/Yazma)", "#D97706"},
    {"swap", "SWAP", "Swap (Takas)", "Swap (Takas Belleği) Durumu", "#7C3AED"},
}};

// The entry of `key` (exact, case-sensitive), or null when the table has none.
inline const MetricMeta* find_metric_meta(const char* key) {
    for (const auto& m : METRIC_META)
        if (std::strcmp(m.key, key) == 0) return &m;
    return nullptr;
}

}  // namespace vyr::app
