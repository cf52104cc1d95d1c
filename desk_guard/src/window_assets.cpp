// Fonts and window icon looked for in the folders around the program.
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QIcon>

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "vyr/desk_guard/screen_fit.hpp"
#include "vyr/desk_guard/texts.hpp"

namespace vyr::desk_guard {

namespace {

QString join(const QString& folder, const QString& name) {
#ifdef _WIN32
    const bool has_sep = folder.endsWith(QLatin1Char('\\')) || folder.endsWith(QLatin1Char('/'));
    return has_sep ? folder + name : folder + QLatin1Char('\\') + name;
#else
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
#endif
}

std::filesystem::path native_path(const QString& path) {
#ifdef _WIN32
    return std::filesystem::path(path.toStdWString());
#else
    return std::filesystem::path(QFile::encodeName(path).toStdString());
#endif
}

QString from_native(const std::filesystem::path::string_type& name) {
#ifdef _WIN32
    return QString::fromStdWString(name);
#else
    return QFile::decodeName(QByteArray::fromStdString(name));
#endif
}

bool ends_with_icon_suffix(const std::filesystem::path::string_type& name) {
    for (const char* ending : texts::kIconNameEndings) {
        const std::filesystem::path::string_type suffix = std::filesystem::path(ending).native();
        if (name.size() >= suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            return true;
    }
    return false;
}

}  // namespace

QStringList search_folders(const QStringList& candidates) {
    QStringList kept;
    for (const QString& folder : candidates) {
        if (folder.isEmpty() || !QFileInfo(folder).isDir() || kept.contains(folder)) continue;
        kept.append(folder);
    }
    return kept;
}

QStringList register_fonts(const QStringList& folders) {
    QStringList registered;
    for (const QString& folder : folders) {
        for (const char* font : texts::kFontFiles) {
            const QString path = join(folder, QString::fromUtf8(font));
            if (!QFileInfo(path).isFile()) continue;
            QFontDatabase::addApplicationFont(path);
            registered.append(path);
        }
    }
    return registered;
}

std::optional<QString> find_icon_path(const QStringList& folders, bool* listing_failed) {
    if (listing_failed) *listing_failed = false;
    for (const QString& folder : folders) {
        for (const char* name : texts::kIconCandidates) {
            const QString path = join(folder, QString::fromUtf8(name));
            if (QFileInfo(path).isFile()) return path;
        }
        std::error_code ec;
        std::vector<std::filesystem::path::string_type> names;
        std::filesystem::directory_iterator it(native_path(folder), ec), end;
        for (; !ec && it != end; it.increment(ec)) names.push_back(it->path().filename().native());
        if (ec) {
            if (listing_failed) *listing_failed = true;
            return std::nullopt;
        }
        // Code order: byte order of UTF-8 names is the order of their characters.
        std::sort(names.begin(), names.end());
        for (const auto& entry : names) {
            if (ends_with_icon_suffix(entry)) return join(folder, from_native(entry));
        }
    }
    return std::nullopt;
}

bool apply_icon(QWidget* win, const QString& path) {
    const QIcon icon(path);
    // Qt 5 makes a non-null icon of any path; one without a single image that
    // could be read counts as null too.
    if (icon.isNull() || icon.availableSizes().isEmpty()) return false;
    win->setWindowIcon(icon);
    if (QCoreApplication::instance()) QGuiApplication::setWindowIcon(icon);
    return true;
}

QString app_user_model_id(const QString& app_key) {
    return QString::fromUtf8(texts::kAppUserModelIdPrefix) +
           (app_key.isEmpty() ? QString::fromUtf8(texts::kAppUserModelIdFallback) : app_key);
}

}  // namespace vyr::desk_guard
