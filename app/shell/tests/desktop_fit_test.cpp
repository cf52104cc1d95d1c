// The program on desktops as it meets them: its rounded windows cut to their
// outline while no compositing manager runs, the fonts its style names and
// Qt's own texts in Turkish, from the program folder.
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QApplication>
#include <QBuffer>
#include <QIcon>
#include <QImage>
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

TEST(WindowShape, CardWithoutAPlateKeepsOnlyWhatItPaints) {
    bool compositing = false;
    std::optional<QRegion> painted = QRegion(10, 10, 20, 8);
    CardWindow w;
    CompositingWatch watch(nullptr, [&] { return compositing; });
    auto* shape = new WindowShape(&w.window, w.card, 1, 10, &watch, [&] { return painted; });
    w.window.show();
    // In the window's coordinates, inside the rounded outline.
    const QPoint card = w.card->pos();
    EXPECT_EQ(w.window.mask(), QRegion(10, 10, 20, 8).translated(card));
    painted = QRegion(-5, -5, 200, 8);
    shape->refresh();
    EXPECT_EQ(w.window.mask(), rounded_region(QRect(3, 3, 80, 46), 10) & QRegion(-5, -5, 200, 8).translated(card));
    // A plate again: the whole outline.
    painted.reset();
    shape->refresh();
    EXPECT_EQ(w.window.mask(), rounded_region(QRect(3, 3, 80, 46), 10));
    // A compositing manager blends the window itself.
    painted = QRegion(10, 10, 20, 8);
    compositing = true;
    watch.check();
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

// An .ico file of PNG images: each entry (size, colour depth, fill colour),
// its image at `offset` when given (past the end of the file: unreadable).
struct IcoEntry {
    int size, depth;
    QColor fill;
    long long offset = -1;
};

QByteArray ico_of(const std::vector<IcoEntry>& entries) {
    auto put = [](QByteArray& out, quint32 value, int bytes) {
        for (int i = 0; i < bytes; ++i) out.append(static_cast<char>(value >> (8 * i) & 0xff));
    };
    std::vector<QByteArray> pngs;
    for (const IcoEntry& e : entries) {
        QImage image(e.size, e.size, QImage::Format_ARGB32);
        image.fill(e.fill);
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        pngs.push_back(buffer.data());
    }
    QByteArray out;
    put(out, 0, 2);
    put(out, 1, 2);
    put(out, static_cast<quint32>(entries.size()), 2);
    quint32 at = 6 + 16 * static_cast<quint32>(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        out.append(static_cast<char>(entries[i].size & 0xff));
        out.append(static_cast<char>(entries[i].size & 0xff));
        put(out, 0, 2);
        put(out, 1, 2);
        put(out, static_cast<quint32>(entries[i].depth), 2);
        put(out, static_cast<quint32>(pngs[i].size()), 4);
        put(out, entries[i].offset >= 0 ? static_cast<quint32>(entries[i].offset) : at, 4);
        at += static_cast<quint32>(pngs[i].size());
    }
    for (const QByteArray& png : pngs) out += png;
    return out;
}

// The image-format plugins loaded into this process.
std::set<std::string> image_plugins() {
    std::set<std::string> found;
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        const auto at = line.find("/imageformats/");
        if (at != std::string::npos) found.insert(line.substr(at));
    }
    return found;
}

// Sizes in order and the pixels of each.
void expect_same_icon(const QIcon& got, const QIcon& want) {
    ASSERT_EQ(got.availableSizes(), want.availableSizes());
    for (const QSize& size : want.availableSizes()) {
        const QImage a = got.pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32);
        const QImage b = want.pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32);
        EXPECT_EQ(a, b) << size.width();
    }
}

TEST(ProgramResources, IconsReadAsQtReadsThemWithoutItsImagePlugins) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const struct Case {
        const char* name;
        std::vector<IcoEntry> entries;
        std::vector<QColor> colours;  // of each size kept, in order
    } cases[] = {
        {"one size", {{32, 32, Qt::red}}, {Qt::red}},
        {"a size twice: more colours win, then the first",
         {{16, 8, Qt::red}, {16, 32, Qt::blue}, {24, 32, Qt::green}, {24, 4, Qt::yellow}, {24, 32, Qt::cyan}},
         {Qt::blue, Qt::green}},
        {"an image that cannot be read is passed over",
         {{16, 32, Qt::red}, {24, 32, Qt::green, 1 << 30}, {32, 32, Qt::blue}},
         {Qt::red, Qt::blue}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = dir.filePath(QString::fromUtf8(c.name) + QStringLiteral(".ico"));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(ico_of(c.entries));
        file.close();

        const std::set<std::string> before = image_plugins();
        const QIcon icon = read_icon(path);
        for (const std::string& plugin : image_plugins())
            if (!before.count(plugin)) {
                EXPECT_NE(plugin.find("libqico"), std::string::npos) << plugin;
            }

        ASSERT_EQ(icon.availableSizes().size(), c.colours.size());
        for (std::size_t i = 0; i < c.colours.size(); ++i) {
            const QSize size = icon.availableSizes()[static_cast<int>(i)];
            EXPECT_EQ(icon.pixmap(size).toImage().pixelColor(2, 2), c.colours[i]) << size.width();
        }
        expect_same_icon(icon, QIcon(path));
    }
    // The program's own icon: Windows bitmaps of six sizes and a PNG.
    const QString program = QStringLiteral(VYR_TEST_PROGRAM_ICON);
    const QIcon icon = read_icon(program);
    EXPECT_EQ(icon.availableSizes().size(), 7);
    expect_same_icon(icon, QIcon(program));
    // Anything but an .ico, and a file that only looks like one, as Qt reads it.
    QImage png(20, 20, QImage::Format_ARGB32);
    png.fill(Qt::magenta);
    ASSERT_TRUE(png.save(dir.filePath(QStringLiteral("icon.png"))));
    QFile fake(dir.filePath(QStringLiteral("fake.ico")));
    ASSERT_TRUE(fake.open(QIODevice::WriteOnly));
    fake.write("not an icon at all");
    fake.close();
    for (const QString& name : {QStringLiteral("icon.png"), QStringLiteral("fake.ico"), QStringLiteral("none.ico")}) {
        SCOPED_TRACE(name.toStdString());
        expect_same_icon(read_icon(dir.filePath(name)), QIcon(dir.filePath(name)));
        EXPECT_EQ(read_icon(dir.filePath(name)).isNull(), QIcon(dir.filePath(name)).isNull());
    }
}

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
