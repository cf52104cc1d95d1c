#include "vyr/shell/program_resources.hpp"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QLibraryInfo>
#include <QTranslator>

namespace vyr::shell {

namespace {

QString from_fs(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

}  // namespace

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
