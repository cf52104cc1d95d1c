// The program on desktops as it meets them: the fonts its style names and
// Qt's own texts in Turkish, from the program folder.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontDatabase>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>

#include "vyr/shell/program_resources.hpp"

using namespace vyr::shell;

namespace {

std::string folder_of(const QTemporaryDir& dir, const char* name) {
    return QDir(dir.path()).filePath(QString::fromLatin1(name)).toStdString();
}

void copy_into(const QString& file, const std::string& folder, const QString& name) {
    std::filesystem::create_directories(folder);
    ASSERT_TRUE(QFile::copy(file, QDir(QString::fromStdString(folder)).filePath(name))) << file.toStdString();
}

}  // namespace

TEST(ProgramResources, FontsFromTheAssetsFolder) {
    QTemporaryDir dir;
    const std::string assets = folder_of(dir, "assets");
    EXPECT_TRUE(register_program_fonts(assets).isEmpty());  // no folder yet
    copy_into(QStringLiteral(VYR_TEST_ROBOTO), assets, QStringLiteral("Roboto-Bold.ttf"));
    copy_into(QStringLiteral(VYR_TEST_INTER), assets, QStringLiteral("Inter-Bold.otf"));
    const QStringList families = register_program_fonts(assets);
    EXPECT_TRUE(families.contains(QStringLiteral("Roboto"))) << families.join(',').toStdString();
    EXPECT_TRUE(families.contains(QStringLiteral("Inter"))) << families.join(',').toStdString();
}

TEST(ProgramResources, QtTextsInTurkish) {
    const QString system_copy =
        QDir(QLibraryInfo::location(QLibraryInfo::TranslationsPath)).filePath(QStringLiteral("qtbase_tr.qm"));
    ASSERT_TRUE(QFile::exists(system_copy)) << "Debian's qttranslations5-l10n is missing";

    // The program folder's copy comes first.
    QTemporaryDir dir;
    copy_into(system_copy, folder_of(dir, "translations"), QStringLiteral("qtbase_tr.qm"));
    const QString loaded = install_qt_translation(folder_of(dir, "assets"));
    EXPECT_EQ(loaded, QDir(dir.path()).filePath(QStringLiteral("translations/qtbase_tr.qm")));

    QMessageBox box(QMessageBox::Question, QStringLiteral("İşlemi Sonlandır"), QStringLiteral("Emin misiniz?"),
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Ok);
    EXPECT_EQ(box.button(QMessageBox::Yes)->text(), QStringLiteral("&Evet"));
    EXPECT_EQ(box.button(QMessageBox::No)->text(), QStringLiteral("&Hayır"));
    EXPECT_EQ(box.button(QMessageBox::Ok)->text(), QStringLiteral("Tamam"));
    EXPECT_EQ(box.windowTitle(), QStringLiteral("İşlemi Sonlandır"));  // the program's own texts stay

    // Without it, Qt's own translations folder.
    QTemporaryDir bare;
    EXPECT_EQ(install_qt_translation(folder_of(bare, "assets")), system_copy);
}

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
