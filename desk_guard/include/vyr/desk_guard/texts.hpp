// Fixed texts of the desktop helpers, in one place: patterns and word lists of
// the text cleaner, the credit marker of window titles, style sheets, the icon
// names searched beside the program.
// All texts are UTF-8.
#pragma once

#include <cstddef>

namespace vyr::desk_guard::texts {

// ---- Text cleaner -------------------------------------------------------

// Decorative symbols (and the whitespace after a run of them). The shield and
// the information sign carry their emoji variation selector, as typed.
inline constexpr char kNoisySymbolsPattern[] =
    "[\u2756\u2726\u25C8\u2295\u25C9\u25B8\u2605\u25C6\U0001F6E1\uFE0F\u26A1\u2699\u21BB\u25CF"
    "\u2139\u2139\uFE0F]+\\s*";

// English feature labels that are dropped when written in parentheses behind a
// Turkish label; matched whole and ignoring case.
inline constexpr const char* kEnglishFeatureLabels[] = {
    "Disk Cleaner",     "Startup Manager", "Privacy Guard",   "File Shredder",
    "Duplicate Finder", "Registry Cleaner", "Driver Updater", "Battery Saver",
    "Network Monitor",  "Password Vault",  "Secure Backup",   "Game Booster",
};
inline constexpr std::size_t kEnglishFeatureLabelCount =
    sizeof kEnglishFeatureLabels / sizeof kEnglishFeatureLabels[0];

struct Replacement {
    const char* old_text;
    const char* new_text;
};

// Technical wording rewritten into plain words, applied in this order and
// case-sensitively; every occurrence of an old text is replaced.
inline constexpr Replacement kJargonReplacements[] = {
    {"Gerçek Zamanlı Sistem Kaynakları ve Süreç Telemetrisi İzleme Merkezi", "Sistem İzleme"},
    {"PBKDF2-SHA256 (600.000 iterasyon) ve AES-256-GCM ile kilitlidir.",
     "Ana parolanız ile güvenli şekilde korunmaktadır."},
    {"Kayıt Defteri Tutarlılık Analizi ve Otomatik Onarım Modülü", "Kayıt Defteri Onarımı"},
    {"Başlangıç Öğeleri ve Zamanlanmış Görevler Yönetim Konsolu", "Başlangıç Yönetimi"},
    {"Yinelenen Dosya Tespiti ve Akıllı Disk Alanı Geri Kazanımı", "Yinelenen Dosyalar"},
    {"Ağ Bağlantısı Trafik Analizi ve Bant Genişliği Denetimi", "Ağ İzleme"},
    {"Sürücü Sürümü Uyumluluk Taraması ve Güncelleme Yardımcısı", "Sürücü Güncelleme"},
    {"AES-256-GCM ile şifrelenmiş olarak", "güvenli şekilde"},
    {"AES-256-GCM ile şifrelenir", "güvenli şekilde saklanır"},
    {"AES-256-GCM şifrelemesini", "güvenli şifreleme yapısını"},
    {"AES-256-GCM ile koruyacak", "koruyacak"},
    {"AES-256-GCM şifreli", "Güvenli"},
    {"Güvenli Dosya İmha ve Geri Getirilemez Silme Aracı", "Dosya İmha"},
};
inline constexpr std::size_t kJargonReplacementCount =
    sizeof kJargonReplacements / sizeof kJargonReplacements[0];

// ---- UI tree sanitiser --------------------------------------------------

// A window title "Main title — <marker> Someone" loses its credit part.
inline constexpr char kCreditMarker[] = "Geliştiren:";
inline constexpr char16_t kEmDash = u'\u2014';

// ---- Scroll areas -------------------------------------------------------

inline constexpr char kPageScrollStyle[] =
    "QScrollArea { background: transparent; border: none; }"
    "QScrollBar:vertical { width: 8px; background: #F1F5F9; border-radius: 4px; }"
    "QScrollBar::handle:vertical { background: #CBD5E1; border-radius: 4px; min-height: 24px; }"
    "QScrollBar:horizontal { height: 8px; background: #F1F5F9; border-radius: 4px; }"
    "QScrollBar::handle:horizontal { background: #CBD5E1; border-radius: 4px; min-width: 24px; }";

inline constexpr char kSidebarScrollName[] = "SidebarScroll";
inline constexpr char kSidebarScrollStyle[] =
    "QScrollArea#SidebarScroll { background: transparent; border: none; }"
    "QScrollBar:vertical { width: 6px; background: #F1F5F9; border-radius: 3px; }"
    "QScrollBar::handle:vertical { background: #CBD5E1; border-radius: 3px; }";

// Appended to a dense button's own style sheet on narrow windows.
inline constexpr char kDenseButtonStyle[] =
    "; padding-left: 4px; padding-right: 4px; font-size: 10px;";

// ---- Screen-fit guard ---------------------------------------------------

inline constexpr const char* kFontFiles[] = {"Roboto-Bold.ttf", "RobotoMono-Bold.ttf"};

// Icon files looked for in each search folder, in this order; the icons of the
// product family's other tools count as well.
inline constexpr const char* kIconCandidates[] = {
    "icon.ico",
    "icon.png",
    "vyr-disk-cleaner_icon.ico",
    "vyr-linux-monitor_icon.ico",
    "vyr-startup-manager_icon.ico",
    "vyr-net-watch_icon.ico",
    "vyr-file-shredder_icon.ico",
    "vyr-duplicate-finder_icon.ico",
    "vyr-password-vault_icon.ico",
    "vyr-secure-backup_icon.ico",
    "vyr-driver-updater_icon.ico",
    "vyr-battery-saver_icon.ico",
    "vyr_icon.png",
};
inline constexpr const char* kIconNameEndings[] = {"_icon.ico", "_icon.png"};

inline constexpr char kAppUserModelIdPrefix[] = "Korvane.Vyr.";
inline constexpr char kAppUserModelIdFallback[] = "App";

inline constexpr char kGuardMarkerProperty[] = "_vyr_res_guard_attached";
inline constexpr char kNoAutoMaximizeProperty[] = "vyr_no_auto_maximize";

// The single-instance channel's server name and message: vyr/instance_name.hpp.

}  // namespace vyr::desk_guard::texts
