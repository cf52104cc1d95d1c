// Writes the program icons into a folder:
//   icon_<size>.png for every icon size, icon_512.png,
//   vyr-linux-monitor_icon.ico (all icon sizes) and vyr-linux-monitor_icon.png (256 pixels).
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QString>

#include <cstdio>
#include <string>
#include <vector>

#include "icon_art.hpp"

namespace {

bool write_file(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size() && file.flush();
}

bool save_png(const QImage& image, const QString& path) {
    if (image.save(path, "PNG")) return true;
    std::fprintf(stderr, "vyr_icon_gen: cannot write %s\n", qPrintable(path));
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: vyr_icon_gen OUTPUT_FOLDER\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!QDir().mkpath(out.path())) {
        std::fprintf(stderr, "vyr_icon_gen: cannot make %s\n", argv[1]);
        return 1;
    }
    std::vector<QImage> images;
    for (const int size : vyr::icon_art::kIconSizes) {
        images.push_back(vyr::icon_art::paint_icon(size));
        if (!save_png(images.back(), out.filePath(QString::fromStdString("icon_" + std::to_string(size) + ".png")))) return 1;
    }
    if (!save_png(vyr::icon_art::paint_icon(vyr::icon_art::kLargeIconSize),
                  out.filePath(QStringLiteral("icon_512.png"))) ||
        !save_png(images.back(), out.filePath(QStringLiteral("vyr-linux-monitor_icon.png")))) {
        return 1;
    }
    if (!write_file(out.filePath(QStringLiteral("vyr-linux-monitor_icon.ico")),
                    vyr::icon_art::make_ico(images))) {
        std::fprintf(stderr, "vyr_icon_gen: cannot write the icon file\n");
        return 1;
    }
    return 0;
}
