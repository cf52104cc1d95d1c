#include "vyr/shell/program_resources.hpp"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImageReader>
#include <QLibraryInfo>
#include <QPixmap>
#include <QTranslator>

#include <algorithm>
#include <optional>
#include <vector>

namespace vyr::shell {

namespace {

QString from_fs(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

// The key under which Qt's .ico reader notes the colour depth an image had in the file.
const QString kIcoDepthKey = QStringLiteral("_q_icoOrigDepth");

quint32 little_endian(const QByteArray& data, int at, int bytes) {
    quint32 value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | static_cast<uchar>(data[at + i]);
    return value;
}

// The PNG image an .ico entry holds, or none when the entry holds another.
std::optional<QByteArray> png_of_entry(const QByteArray& data, int entry) {
    static const QByteArray magic("\x89PNG\r\n\x1a\n", 8);
    const qint64 size = little_endian(data, 6 + 16 * entry + 8, 4);
    const qint64 offset = little_endian(data, 6 + 16 * entry + 12, 4);
    if (offset > data.size() || data.mid(static_cast<int>(offset), magic.size()) != magic) return std::nullopt;
    return data.mid(static_cast<int>(offset), static_cast<int>(std::min<qint64>(size, data.size() - offset)));
}

QImage read_png(const QByteArray& bytes) {
    QBuffer device;
    device.setData(bytes);
    device.open(QIODevice::ReadOnly);
    QImageReader reader(&device, "png");
    reader.setAutoDetectImageFormat(false);  // no plugin is asked first
    return reader.read();
}

// The images of an .ico file in their order (a null image for one that cannot
// be read), as Qt's icon engine reads them; none when the file is no .ico.
std::optional<std::vector<QImage>> ico_images(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    const QByteArray data = file.readAll();
    if (data.size() < 6 || little_endian(data, 0, 2) != 0 || little_endian(data, 2, 2) != 1) return std::nullopt;
    const int count = static_cast<int>(little_endian(data, 4, 2));
    if (data.size() < 6 + 16 * count) return std::nullopt;
    QBuffer device;
    device.setData(data);
    device.open(QIODevice::ReadOnly);
    QImageReader reader(&device, "ico");
    reader.setAutoDetectImageFormat(false);
    std::vector<QImage> images;
    for (int entry = 0; entry < count; ++entry) {
        QImage image;
        if (const std::optional<QByteArray> png = png_of_entry(data, entry)) {
            image = read_png(*png);
            image.setText(kIcoDepthKey, QString::number(little_endian(data, 6 + 16 * entry + 6, 2)));
        } else if (reader.jumpToImage(entry)) {
            image = reader.read();
        }
        images.push_back(image);
    }
    return images;
}

int ico_depth(const QImage& image) {
    const QString depth = image.text(kIcoDepthKey);
    return depth.isEmpty() ? 32 : depth.toInt();
}

}  // namespace

QIcon read_icon(const QString& path) {
    // Where Qt would look for a file of more pixels per point beside it (a
    // screen of more than one), or for a file that is no .ico, Qt reads it.
    const bool ico = QFileInfo(path).suffix().compare(QLatin1String("ico"), Qt::CaseInsensitive) == 0;
    const auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (!ico || !gui || gui->devicePixelRatio() > 1.0) return QIcon(path);
    const std::optional<std::vector<QImage>> images = ico_images(path);
    if (!images) return QIcon(path);
    // Each size once: where the file holds a size twice, the image of more colours.
    std::vector<QImage> sizes;
    for (const QImage& image : *images) {
        auto same = std::find_if(sizes.begin(), sizes.end(), [&](const QImage& s) { return s.size() == image.size(); });
        if (same == sizes.end()) {
            sizes.push_back(image);
        } else if (ico_depth(image) > ico_depth(*same)) {
            *same = image;
        }
    }
    QIcon icon;
    for (const QImage& image : sizes) icon.addPixmap(QPixmap::fromImage(image));  // a null one adds nothing
    return icon;
}

QStringList register_program_fonts(const std::string& assets_dir) {
    QStringList families;
    const QDir assets(from_fs(assets_dir));
    for (const char* name : kProgramFonts) {
        const QString path = assets.filePath(QString::fromLatin1(name));
        if (!QFile::exists(path)) continue;
        const int id = QFontDatabase::addApplicationFont(path);
        if (id >= 0) families += QFontDatabase::applicationFontFamilies(id);
    }
    return families;
}

QString install_qt_translation(const std::string& assets_dir) {
    QDir program(from_fs(assets_dir));
    program.cdUp();
    const QString folders[] = {program.filePath(QStringLiteral("translations")),
                               QLibraryInfo::location(QLibraryInfo::TranslationsPath)};
    for (const QString& folder : folders) {
        // Owned by the application; it translates for the rest of the process.
        auto* translator = new QTranslator(QCoreApplication::instance());
        if (translator->load(QStringLiteral("qtbase_tr"), folder) && QCoreApplication::installTranslator(translator))
            return translator->filePath();
        delete translator;
    }
    return QString();
}

}  // namespace vyr::shell
