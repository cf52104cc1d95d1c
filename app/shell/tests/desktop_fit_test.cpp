// The program on desktops as it meets them: its rounded windows cut to their
// outline while no compositing manager runs, the fonts its style names and
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
#include <QVBoxLayout>
#include <QWidget>

#include "vyr/shell/program_resources.hpp"
#include "vyr/shell/window_shape.hpp"

using namespace vyr::shell;

namespace {

// A translucent window holding a card, as the capsule's window holds the capsule.
struct CardWindow {
    QWidget window;
    QWidget* card = new QWidget(&window);
    CardWindow() {
        window.setAttribute(Qt::WA_TranslucentBackground);
        auto* layout = new QVBoxLayout(&window);
        layout->setContentsMargins(2, 2, 2, 2);
        layout->addWidget(card);
        window.resize(86, 52);
    }
};

std::string folder_of(const QTemporaryDir& dir, const char* name) {
    return QDir(dir.path()).filePath(QString::fromLatin1(name)).toStdString();
}

void copy_into(const QString& file, const std::string& folder, const QString& name) {
    std::filesystem::create_directories(folder);
    ASSERT_TRUE(QFile::copy(file, QDir(QString::fromStdString(folder)).filePath(name))) << file.toStdString();
}

}  // namespace

TEST(WindowShape, RoundedRegionCoversThePaintedCard) {
    const QRegion r = rounded_region(QRect(3, 3, 80, 46), 10);
    EXPECT_EQ(r.boundingRect(), QRect(3, 3, 80, 46));
    struct Point {
        QPoint at;
        bool inside;
    } points[] = {
        {{43, 26}, true},  {{43, 3}, true},   {{3, 26}, true},   {{82, 26}, true},  {{43, 48}, true},
        {{3, 3}, false},   {{82, 3}, false},  {{3, 48}, false},  {{82, 48}, false}, {{5, 5}, false},
        {{2, 26}, false},  {{83, 26}, false}, {{43, 2}, false},  {{43, 49}, false}, {{0, 0}, false},
    };
    for (const auto& p : points) EXPECT_EQ(r.contains(p.at), p.inside) << p.at.x() << "," << p.at.y();
    EXPECT_TRUE(rounded_region(QRect(), 10).isEmpty());
}

TEST(WindowShape, CutOnlyWhileNoCompositingManagerRuns) {
    bool compositing = false;
    CardWindow w;
    CompositingWatch watch(nullptr, [&] { return compositing; });
    new WindowShape(&w.window, w.card, 1, 10, &watch);
    w.window.show();
    EXPECT_EQ(w.window.mask(), rounded_region(QRect(3, 3, 80, 46), 10));

    // One starts: the window is left whole for it to blend; it ends: cut again.
    compositing = true;
    watch.check();
    EXPECT_TRUE(w.window.mask().isEmpty());
    compositing = false;
    watch.check();
    EXPECT_EQ(w.window.mask(), rounded_region(QRect(3, 3, 80, 46), 10));

    // A change seen only when the window shows again.
    w.window.hide();
    compositing = true;
    w.window.show();
    EXPECT_TRUE(w.window.mask().isEmpty());
}

TEST(WindowShape, OutlineFollowsTheCard) {
    CompositingWatch watch(nullptr, [] { return false; });
    // A popup-like window: the card fills it and grows with it.
    QWidget popup;
    popup.setAttribute(Qt::WA_TranslucentBackground);
    auto* frame = new QWidget(&popup);
    auto* layout = new QVBoxLayout(&popup);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(frame);
    new WindowShape(&popup, frame, 0, 12, &watch);
    popup.resize(260, 250);
    popup.show();
    EXPECT_EQ(popup.mask(), rounded_region(QRect(0, 0, 260, 250), 12));
    popup.resize(300, 280);
    QApplication::processEvents();
    EXPECT_EQ(popup.mask(), rounded_region(QRect(0, 0, 300, 280), 12));
}

TEST(WindowShape, OtherPlatformsNeedNoCut) {
    ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("offscreen"));
    EXPECT_TRUE(compositing_manager_running());
}

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
