// The controller window on the real widgets (offscreen platform), built from
// a fake backend: construction, icon, tray and context menus, refresh, drag,
// quit and the end of the worker.
#include <atomic>
#include <cstdlib>
#include <memory>

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QScreen>
#include <QSignalSpy>
#include <QCursor>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>
#include <gtest/gtest.h>

#include "../../tests/test_support.hpp"
#include "vyr/app/capsule.hpp"
#include "vyr/app/inspector.hpp"
#include "vyr/app/popup.hpp"
#include "vyr/shell/monitor_widget.hpp"
#include "vyr/shell/window_shape.hpp"

namespace {

struct CountingSource : vyr::shell::TelemetrySource {
    std::atomic<int> snapshots{0};
    std::atomic<int> process_lists{0};
    vyr::SystemMetricsSnapshot snapshot() override {
        ++snapshots;
        vyr::SystemMetricsSnapshot s;
        s.overall_workload_percent = 42.4;
        s.workload_color = "#D97706";
        s.cpu_percent = 12.5;
        s.ram_percent = 63.0;
        s.disk_percent = 71.0;
        return s;
    }
    std::vector<vyr::ProcessEntry> processes(const std::string&, const std::string&, bool, int) override {
        ++process_lists;
        return std::vector<vyr::ProcessEntry>(2);
    }
};

struct FakeBackend : vyr::shell::MonitorBackend {
    vyr::test::FakeSettings* settings = nullptr;
    std::shared_ptr<vyr::test::FakeEngine> engine = std::make_shared<vyr::test::FakeEngine>();
    std::shared_ptr<CountingSource> source = std::make_shared<CountingSource>();
    std::map<std::string, vyr::app::SettingValue> initial;
    std::string assets = "/nonexistent/assets";
    std::vector<std::string> order;

    std::unique_ptr<vyr::app::SettingsStore> make_settings() override {
        order.push_back("settings");
        auto s = std::make_unique<vyr::test::FakeSettings>();
        s->values = initial;
        settings = s.get();
        return s;
    }
    std::shared_ptr<vyr::app::MonitorEngine> make_engine() override {
        order.push_back("engine");
        return engine;
    }
    std::shared_ptr<vyr::shell::TelemetrySource> make_telemetry_source() override {
        order.push_back("source");
        return source;
    }
    std::string assets_dir() override { return assets; }
};

template <typename Pred>
bool wait_for(Pred pred, int ms = 60000) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// The label as the menu shows it: "&&" is a plain "&", a lone "&" marks a
// mnemonic and is not shown.
QString shown(const QString& text) {
    QString out;
    for (int i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('&')) {
            if (i + 1 < text.size() && text[i + 1] == QLatin1Char('&')) out += text[++i];
            continue;
        }
        out += text[i];
    }
    return out;
}

QStringList texts(const QMenu* menu) {
    QStringList out;
    for (QAction* a : menu->actions()) out << (a->isSeparator() ? QStringLiteral("---") : shown(a->text()));
    return out;
}

QAction* action(const QMenu* menu, const QString& text) {
    for (QAction* a : menu->actions())
        if (shown(a->text()) == text) return a;
    return nullptr;
}

}  // namespace

TEST(MonitorWidget, ConstructionOrderWindowAndWorker) {
    FakeBackend backend;
    auto w = std::make_unique<VyrMonitorWidget>(backend);
    EXPECT_EQ(backend.order, (std::vector<std::string>{"settings", "engine", "source"}));
    EXPECT_STREQ(w->metaObject()->className(), "VyrMonitorWidget");
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Vyr Ruvivu Zizodiro"));
    EXPECT_EQ(w->size(), QSize(86, 52));
    EXPECT_EQ(w->minimumSize(), w->maximumSize());
    EXPECT_TRUE(w->windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_TRUE(w->windowFlags().testFlag(Qt::Tool));
    EXPECT_TRUE(w->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(w->testAttribute(Qt::WA_TranslucentBackground));
    EXPECT_EQ(w->windowOpacity(), 1.0);
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(w->main_capsule()->parentWidget(), w.get());
    EXPECT_EQ(w->main_capsule()->size(), QSize(82, 48));
    EXPECT_EQ(w->vertical_popup()->parentWidget(), nullptr);
    EXPECT_EQ(w->inspector()->parentWidget(), nullptr);
    EXPECT_EQ(w->tray()->parent(), w.get());
    EXPECT_TRUE(w->app_icon().isNull());

    // Default position: bottom-right of the primary screen's available area.
    const QRect avail = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(w->pos(), QPoint(std::max(20, avail.right() - 86 - 18), std::max(48, avail.bottom() - 52 - 18)));

    // The worker samples from the start; its frames reach the capsule.
    ASSERT_TRUE(wait_for([&] { return vyr::test::painting_of(w->main_capsule()).text_list().contains("%42"); }));
    EXPECT_EQ(vyr::test::painting_of(w->main_capsule()).fills.back().colour, QColor("#D97706"));  // the bar
    EXPECT_EQ(w->tray()->toolTip(),
              QStringLiteral("Vyr Linux Monitor — \nGenel Yük: %42 | CPU: %12 | RAM: %63 | Disk: %71 | Swap: %0"));
    EXPECT_EQ(backend.source->process_lists.load(), 0);  // inspector hidden

    // Destruction ends the worker first.
    vyr::shell::TelemetryWorker* worker = w->worker();
    EXPECT_TRUE(worker->isRunning());
    w.reset();
    const int seen = backend.source->snapshots.load();
    QTest::qWait(100);
    EXPECT_EQ(backend.source->snapshots.load(), seen);
}

TEST(MonitorWidget, SavedPositionAndPeriod) {
    FakeBackend backend;
    backend.initial = {{"x", vyr::app::SettingValue(30)}, {"y", vyr::app::SettingValue(40)},
                       {"refresh_ms", vyr::app::SettingValue("fast")},
                       {"always_on_top", vyr::app::SettingValue(false)}};
    VyrMonitorWidget w(backend);
    EXPECT_EQ(w.pos(), QPoint(30, 40));
    EXPECT_EQ(w.worker()->interval_ms(), 1500);
    EXPECT_FALSE(w.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
}

TEST(MonitorWidget, IconSearch) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QDir(dir.path()).mkdir(QStringLiteral("assets"));
    {
        QFile bad(dir.filePath(QStringLiteral("vyr-linux-monitor_icon.ico")));
        ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
        bad.write("not an image");
    }
    QImage png(24, 24, QImage::Format_ARGB32);
    png.fill(Qt::red);
    ASSERT_TRUE(png.save(dir.filePath(QStringLiteral("icon.png"))));
    QImage big(64, 64, QImage::Format_ARGB32);
    big.fill(Qt::blue);
    ASSERT_TRUE(big.save(dir.filePath(QStringLiteral("assets/icon_512.png"))));

    FakeBackend backend;
    backend.assets = dir.filePath(QStringLiteral("assets")).toStdString();
    VyrMonitorWidget w(backend);
    // icon.png (red) won over the unreadable .ico and over icon_512.png (blue).
    auto colour = [](const QIcon& icon) { return icon.pixmap(QSize(24, 24)).toImage().pixelColor(5, 5); };
    ASSERT_FALSE(w.app_icon().isNull());
    EXPECT_EQ(colour(w.app_icon()), QColor(Qt::red));
    EXPECT_EQ(colour(w.windowIcon()), QColor(Qt::red));
    EXPECT_EQ(colour(QApplication::windowIcon()), QColor(Qt::red));
    EXPECT_EQ(colour(w.inspector()->windowIcon()), QColor(Qt::red));
}

TEST(MonitorWidget, TrayMenu) {
    FakeBackend backend;
    VyrMonitorWidget w(backend);
    QMenu* menu = w.tray()->contextMenu();
    ASSERT_EQ(menu, w.tray_menu());
    EXPECT_EQ(texts(menu), (QStringList{QStringLiteral("Vyr Ruvivu Özeti Penceresini Aç / Kapat"),
                                        QStringLiteral("Masaüstü Tek Simgesini Göster / Gizle"),
                                        QStringLiteral("Canlı Kaynak & İşlem Denetçisini Aç"),
                                        QStringLiteral("---"), QStringLiteral("Çıkış")}));
    for (QAction* a : menu->actions()) EXPECT_FALSE(a->isCheckable());
    EXPECT_EQ(menu->parent(), nullptr);
    EXPECT_TRUE(menu->font().bold());
    EXPECT_EQ(menu->font().pointSize(), 10);

    // The inspector entry opens it on "workload".
    action(menu, QStringLiteral("Canlı Kaynak & İşlem Denetçisini Aç"))->trigger();
    EXPECT_TRUE(w.inspector()->isVisible());
    EXPECT_EQ(w.inspector()->active_metric(), QStringLiteral("workload"));
    ASSERT_TRUE(wait_for([&] { return backend.source->process_lists.load() > 0; }));
    // The capsule toggle hides and shows the window.
    w.show();
    action(menu, QStringLiteral("Masaüstü Tek Simgesini Göster / Gizle"))->trigger();
    EXPECT_FALSE(w.isVisible());
    action(menu, QStringLiteral("Masaüstü Tek Simgesini Göster / Gizle"))->trigger();
    EXPECT_TRUE(w.isVisible());
    w.inspector()->hide_inspector();
}

TEST(MonitorWidget, ContextMenu) {
    FakeBackend backend;
    backend.initial = {{"locked", vyr::app::SettingValue(1)}};
    VyrMonitorWidget w(backend);
    std::unique_ptr<QMenu> menu = w.build_context_menu();
    EXPECT_EQ(menu->parent(), &w);
    const QString hover = QStringLiteral("Üzerine Gelince Özeti Otomatik Aç (Hover)");
    const QString top = QStringLiteral("Simgeyi Her Zaman Üstte Tut");
    const QString lock = QStringLiteral("Simge Konumunu Masaüstüne Kilitle");
    EXPECT_EQ(texts(menu.get()),
              (QStringList{QStringLiteral("Vyr Ruvivu Özeti Penceresini Göster / Kapat"),
                           QStringLiteral("Canlı Kaynak & İşlem Denetçisini Aç"), QStringLiteral("---"), hover, top,
                           lock, QStringLiteral("Simge Şeffaflığı"), QStringLiteral("---"),
                           QStringLiteral("Masaüstü Simgesini Gizle (Sadece Alt Çubuk Simgesi)"),
                           QStringLiteral("Vyr Ruvivu Zizodiro'nden Çık")}));
    EXPECT_TRUE(action(menu.get(), hover)->isChecked());
    EXPECT_TRUE(action(menu.get(), top)->isChecked());
    EXPECT_TRUE(action(menu.get(), lock)->isChecked());  // stored 1 counts as true
    EXPECT_FALSE(menu->actions()[0]->isCheckable());

    QMenu* alpha = action(menu.get(), QStringLiteral("Simge Şeffaflığı"))->menu();
    ASSERT_NE(alpha, nullptr);
    EXPECT_EQ(texts(alpha), (QStringList{QStringLiteral("Tam Şeffaf (Sadece Simge & Yazı)"),
                                         QStringLiteral("Hafif Füme Cam"),
                                         QStringLiteral("Yumuşak Füme Cam (Varsayılan)"),
                                         QStringLiteral("Mat Koyu Gri")}));
    for (QAction* a : alpha->actions()) EXPECT_FALSE(a->isCheckable());

    action(alpha, QStringLiteral("Hafif Füme Cam"))->trigger();
    action(menu.get(), lock)->trigger();  // unchecks: stores false
    action(menu.get(), hover)->trigger();
    action(menu.get(), top)->trigger();
    const auto& writes = backend.settings->writes;
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[0], std::make_pair(std::string("bg_alpha"), vyr::app::SettingValue(65)));
    EXPECT_EQ(writes[1], std::make_pair(std::string("locked"), vyr::app::SettingValue(false)));
    EXPECT_EQ(writes[2], std::make_pair(std::string("hover_popup"), vyr::app::SettingValue(false)));
    EXPECT_EQ(writes[3], std::make_pair(std::string("always_on_top"), vyr::app::SettingValue(false)));
    EXPECT_TRUE(w.isVisible());  // re-applying the flags shows the window
    EXPECT_FALSE(w.windowFlags().testFlag(Qt::WindowStaysOnTopHint));

    action(menu.get(), QStringLiteral("Masaüstü Simgesini Gizle (Sadece Alt Çubuk Simgesi)"))->trigger();
    EXPECT_FALSE(w.isVisible());
}

TEST(MonitorWidget, RightClickMenuIsFreedWhenItsRunEnds) {
    FakeBackend backend;
    VyrMonitorWidget w(backend);
    w.show();
    w.vertical_popup()->set_pinned(true);
    w.vertical_popup()->show();
    int menus_seen = 0;
    for (int i = 0; i < 3; ++i) {
        QTimer::singleShot(100, [&] {
            if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                ++menus_seen;
                menu->close();
            }
        });
        QContextMenuEvent ev(QContextMenuEvent::Mouse, QPoint(10, 10), w.mapToGlobal(QPoint(10, 10)));
        QApplication::sendEvent(&w, &ev);
        QCoreApplication::processEvents();
        EXPECT_TRUE(w.findChildren<QMenu*>().isEmpty()) << i;
    }
    EXPECT_EQ(menus_seen, 3);
    EXPECT_FALSE(w.vertical_popup()->isVisible());  // opening the menu closed the pinned popup
    EXPECT_FALSE(w.vertical_popup()->is_pinned());
}

TEST(MonitorWidget, ClosingTheContextMenuEndsAHoverThatThePointerLeft) {
    // The menu holds the pointer while it is open, so the capsule never sees
    // the pointer go; its hover look ends once the menu is closed.
    FakeBackend backend;
    VyrMonitorWidget w(backend);
    w.show();
    vyr::app::SingleMainCapsule* capsule = w.main_capsule();
    QSignalSpy left(capsule, &vyr::app::SingleMainCapsule::hovered_leave);
    for (const bool pointer_stays : {true, false}) {
        SCOPED_TRACE(pointer_stays ? "pointer on the capsule" : "pointer gone");
        QEvent enter(QEvent::Enter);
        QApplication::sendEvent(capsule, &enter);
        left.clear();
        const QPoint on_capsule = capsule->mapToGlobal(capsule->rect().center());
        QCursor::setPos(on_capsule);
        QTimer::singleShot(100, [&] {
            QCursor::setPos(pointer_stays ? on_capsule : on_capsule + QPoint(400, 300));
            if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) menu->close();
        });
        QContextMenuEvent ev(QContextMenuEvent::Mouse, QPoint(10, 10), on_capsule);
        QApplication::sendEvent(&w, &ev);
        EXPECT_EQ(left.count(), pointer_stays ? 0 : 1);
        EXPECT_EQ(capsule->see_through_shape().has_value(), false);  // the plate is still drawn at 210
    }
}

// The window's mask at each paint of a widget.
class MaskAtPaint : public QObject {
public:
    MaskAtPaint(QWidget* painted, QWidget* window) : window_(window) { painted->installEventFilter(this); }
    std::vector<QRegion> masks;

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) masks.push_back(window_->mask());
        return false;
    }

private:
    QWidget* window_;
};

TEST(MonitorWidget, FullyTransparentCapsuleIsCutToItsWholePlateBeforeTheHoveredPaint) {
    // "Tam Şeffaf" without a compositing manager: at rest the window keeps
    // only the figure; the hovered plate is painted into a window that shows
    // it whole already, and the resting paint into one cut back to the figure.
    vyr::test::FakeController window;
    window.store.values["bg_alpha"] = vyr::app::SettingValue(0);
    window.setAttribute(Qt::WA_TranslucentBackground);
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(2, 2, 2, 2);
    auto* capsule = new vyr::app::SingleMainCapsule(&window);
    layout->addWidget(capsule);
    vyr::shell::CompositingWatch watch(nullptr, [] { return false; });
    auto* shape = new vyr::shell::WindowShape(&window, capsule, 1, 10, &watch,
                                              [capsule] { return capsule->see_through_shape(); });
    QObject::connect(capsule, &vyr::app::SingleMainCapsule::shape_changed, shape, &vyr::shell::WindowShape::refresh);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QCoreApplication::processEvents();
    const QRegion plate = vyr::shell::rounded_region(capsule->geometry().adjusted(1, 1, -1, -1), 10);
    const QRegion figure = window.mask();
    ASSERT_FALSE(figure.isEmpty());
    ASSERT_TRUE(figure != plate) << "at rest the window is not cut to the figure";

    MaskAtPaint seen(capsule, &window);
    vyr::test::enter(capsule);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !seen.masks.empty(); }));
    EXPECT_TRUE(seen.masks.front() == plate) << "the hovered plate was painted into the figure's cut";
    EXPECT_TRUE(window.mask() == plate);

    seen.masks.clear();
    vyr::test::leave(capsule);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !seen.masks.empty(); }));
    EXPECT_TRUE(seen.masks.front() == figure) << "the resting paint went into the whole plate";
    QCoreApplication::processEvents();
    EXPECT_TRUE(window.mask() == figure);
}

TEST(MonitorWidget, DragThroughTheCapsule) {
    FakeBackend backend;
    VyrMonitorWidget w(backend);
    w.move(300, 300);
    w.show();
    auto* capsule = w.main_capsule();
    const QPoint start = w.pos();
    vyr::test::press(capsule, QPoint(20, 20));
    vyr::test::move(capsule, QPoint(60, 40));
    vyr::test::release(capsule, QPoint(60, 40));
    EXPECT_EQ(w.pos(), start + QPoint(40, 20));
    const auto& writes = backend.settings->writes;
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0], std::make_pair(std::string("x"), vyr::app::SettingValue(w.pos().x())));
    EXPECT_EQ(writes[1], std::make_pair(std::string("y"), vyr::app::SettingValue(w.pos().y())));
}

TEST(MonitorWidget, AStrayPositionRightAfterShowingIsPutBack) {
    FakeBackend backend;
    VyrMonitorWidget w(backend);
    const QPoint placed = w.pos();
    w.show();
    w.QWidget::move(0, 0);  // what a window manager taking the window over can report
    ASSERT_TRUE(wait_for([&] { return w.pos() == placed; }));
    w.QWidget::move(10, 10);  // only once: a later move of the window manager stands
    QTest::qWait(50);
    EXPECT_EQ(w.pos(), QPoint(10, 10));
    w.place(QPoint(40, 50));
    EXPECT_EQ(w.pos(), QPoint(40, 50));
}

TEST(MonitorWidget, PopupWatchdogRunsThroughoutAndClosesThePopupAsItShould) {
    struct Case {
        const char* name;
        bool pinned;
        bool inspector_shown;
        bool stays_open;
    };
    const Case cases[] = {
        {"pointer outside both windows: the watchdog starts the close", false, false, false},
        {"pinned: the popup stays open", true, false, true},
        {"inspector shown: the pinned popup is closed and unpinned", true, true, false},
    };
    for (const Case& c : cases) {
        FakeBackend backend;
        VyrMonitorWidget w(backend);
        QTimer* watchdog = w.popup_watchdog();
        EXPECT_EQ(watchdog->interval(), 200) << c.name;
        EXPECT_FALSE(watchdog->isSingleShot()) << c.name;
        EXPECT_TRUE(watchdog->isActive()) << c.name;
        if (c.inspector_shown) w.inspector()->show();
        w.vertical_popup()->set_pinned(c.pinned);
        w.vertical_popup()->show();
        if (c.stays_open) {
            QTest::qWait(700);
            EXPECT_TRUE(w.vertical_popup()->isVisible()) << c.name;
            w.vertical_popup()->hide();
        } else {
            EXPECT_TRUE(wait_for([&] { return !w.vertical_popup()->isVisible(); })) << c.name;
            EXPECT_FALSE(w.vertical_popup()->is_pinned()) << c.name;
        }
        // A hidden popup does not stop the watchdog.
        EXPECT_TRUE(watchdog->isActive()) << c.name;
    }
}

TEST(MonitorWidget, QuitFromEitherMenuEndsTheLoopWithZero) {
    for (int which = 0; which < 2; ++which) {
        FakeBackend backend;
        VyrMonitorWidget w(backend);
        std::unique_ptr<QMenu> context = w.build_context_menu();
        QAction* quit = which == 0 ? action(w.tray_menu(), QStringLiteral("Çıkış"))
                                   : action(context.get(), QStringLiteral("Vyr Ruvivu Zizodiro'nden Çık"));
        ASSERT_NE(quit, nullptr);
        QTimer::singleShot(0, quit, &QAction::trigger);
        QTimer fallback;  // ends a loop that the entry failed to end
        fallback.setSingleShot(true);
        QObject::connect(&fallback, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        fallback.start(10000);
        EXPECT_EQ(QApplication::exec(), 0) << which;
        fallback.stop();
    }
}

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
