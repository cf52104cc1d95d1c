// The summary popup and its metric rows: construction, detail texts, pin and
// close paths, pointer handling and placement beside an anchor.
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QtTest>

#include <cmath>
#include <functional>
#include <memory>
#include <stdexcept>

#include "test_support.hpp"
#include "vyr/app/popup.hpp"
#include "vyr/app/popup_row.hpp"

using namespace vyr::app;
using vyr::SystemMetricsSnapshot;
using vyr::test::FakeController;

Q_DECLARE_METATYPE(vyr::SystemMetricsSnapshot)

namespace {

SystemMetricsSnapshot sample() {
    SystemMetricsSnapshot s;
    s.overall_workload_percent = 41.5;
    s.workload_label = "Dengeli";
    s.workload_color = "#15803D";
    s.load_1m = 1.005;  // stored just below 1.005
    s.uptime_str = "2 gün 03:04";
    s.cpu_percent = 23.0;
    s.cpu_freq_mhz = 2400.0;
    s.cpu_count_physical = 4;
    s.cpu_count_logical = 8;
    s.ram_percent = 46.6;
    s.ram_used_gb = 7.25;
    s.ram_total_gb = 15.55;
    s.ram_avail_gb = 8.3;
    s.disk_percent = 50.0;
    s.disk_used_gb = 237.6;
    s.disk_total_gb = 475.3;
    s.disk_read_mb_s = 1.2;
    s.disk_write_mb_s = 0.5;
    s.swap_percent = 2.5;
    s.swap_used_gb = 0.05;
    s.swap_total_gb = 2.0;
    s.swap_free_gb = 1.93;
    return s;
}

template <class F>
SystemMetricsSnapshot with(F change) {
    SystemMetricsSnapshot s = sample();
    change(s);
    return s;
}

QStringList row_keys(const VyrVerticalPopup& p) {
    QStringList keys;
    for (const auto& [key, row] : p.rows) keys << key;
    return keys;
}

bool any_row_hovered(const VyrVerticalPopup& p) {
    for (const auto& [key, row] : p.rows)
        if (row->is_hovered) return true;
    return false;
}

bool pinned_look(const QPushButton* b) { return b->styleSheet().contains(QLatin1String("#86EFAC")); }

}  // namespace

class PopupTest : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeController> monitor;
    std::unique_ptr<VyrVerticalPopup> popup;

private slots:
    void initTestCase() { vyr::test::load_roboto(); }
    void init() {
        monitor = std::make_unique<FakeController>();
        popup = std::make_unique<VyrVerticalPopup>(monitor.get());
    }
    void cleanup() {
        popup.reset();
        monitor.reset();
    }

    void construction() {
        QVERIFY(!popup->isVisible());
        QVERIFY(!popup->parentWidget());
        QCOMPARE(popup->windowFlags(), Qt::FramelessWindowHint | Qt::Tool | Qt::WindowStaysOnTopHint);
        QVERIFY(popup->testAttribute(Qt::WA_TranslucentBackground));
        QVERIFY(popup->testAttribute(Qt::WA_ShowWithoutActivating));
        QVERIFY(popup->hasMouseTracking());
        QVERIFY(!popup->is_pinned);
        QVERIFY(!pinned_look(popup->btn_pin));
        QVERIFY(popup->btn_pin->styleSheet().contains(QLatin1String("QPushButton:hover")));
        QCOMPARE(row_keys(*popup), (QStringList{"workload", "cpu", "ram", "disk", "swap"}));
        for (const auto& [key, row] : popup->rows) {
            QCOMPARE(row->parentWidget(), static_cast<QWidget*>(popup->frame));
            QCOMPARE(row->size(), QSize(276, 48));
            QCOMPARE(row->sub_detail, QStringLiteral("Hesaplanıyor..."));
            QCOMPARE(row->percent, 0.0);
            QCOMPARE(row->current_accent, row->default_accent);
        }
        QCOMPARE(popup->row("ram")->title_text, QStringLiteral("Bellek (RAM)"));
        QCOMPARE(popup->row("disk")->default_accent, QStringLiteral("#D97706"));
        QCOMPARE(popup->frame->objectName(), QStringLiteral("PopupFrame"));
        QCOMPARE(popup->btn_pin->text(), QStringLiteral("Sabitle"));
        QCOMPARE(popup->btn_pin->size(), QSize(62, 22));
        QCOMPARE(popup->btn_close_popup->text(), QStringLiteral("✕"));
        QCOMPARE(popup->btn_close_popup->size(), QSize(24, 22));
        QCOMPARE(popup->btn_open_inspector->text(), QStringLiteral("Detaylı İşlem Denetçisi"));
        QCOMPARE(popup->btn_bottom_close->text(), QStringLiteral("Kapat"));
        QCOMPARE(popup->btn_open_inspector->height(), 26);
        auto* title = popup->findChild<QLabel*>();
        QVERIFY(title);
        QCOMPARE(title->text(), QStringLiteral("Vyr Ruvivu Özeti"));
        // The size follows the layout: the rows set the width.
        QVERIFY(popup->width() >= 276 + 20);
        QVERIFY(popup->height() >= 5 * 48 + 4 * 5);
    }

    void pinToggles() {
        QTest::mouseClick(popup->btn_pin, Qt::LeftButton);
        QVERIFY(popup->is_pinned);
        QVERIFY(pinned_look(popup->btn_pin));
        QVERIFY(!popup->btn_pin->styleSheet().contains(QLatin1String(":hover")));
        QCOMPARE(popup->btn_pin->text(), QStringLiteral("Sabitle"));
        QTest::mouseClick(popup->btn_pin, Qt::LeftButton);
        QVERIFY(!popup->is_pinned);
        QVERIFY(!pinned_look(popup->btn_pin));
    }

    void closePaths_data() {
        QTest::addColumn<QString>("path");
        QTest::newRow("header close button") << "close";
        QTest::newRow("bottom Kapat button") << "kapat";
        QTest::newRow("Escape") << "escape";
        QTest::newRow("right press on the panel") << "right-panel";
        QTest::newRow("right press on a row") << "right-row";
    }
    void closePaths() {
        QFETCH(QString, path);
        popup->show();
        QTest::mouseClick(popup->btn_pin, Qt::LeftButton);
        popup->row("cpu")->is_hovered = true;
        popup->row("swap")->is_hovered = true;
        int emitted = 0;
        bool pinned_then = true, pin_look_then = true, hovered_then = true, visible_then = true;
        connect(popup.get(), &VyrVerticalPopup::manual_closed, [&] {
            ++emitted;
            pinned_then = popup->is_pinned;
            pin_look_then = pinned_look(popup->btn_pin);
            hovered_then = any_row_hovered(*popup);
            visible_then = popup->isVisible();
        });
        if (path == "close") QTest::mouseClick(popup->btn_close_popup, Qt::LeftButton);
        if (path == "kapat") QTest::mouseClick(popup->btn_bottom_close, Qt::LeftButton);
        if (path == "escape") QTest::keyClick(popup.get(), Qt::Key_Escape);
        if (path == "right-panel") vyr::test::press(popup->findChild<QLabel*>(), QPoint(3, 3), Qt::RightButton);
        if (path == "right-row") vyr::test::press(popup->row("ram"), QPoint(40, 20), Qt::RightButton);
        QCOMPARE(emitted, 1);
        QVERIFY(!pinned_then);
        QVERIFY(!pin_look_then);
        QVERIFY(!hovered_then);
        QVERIFY(!visible_then);
        QVERIFY(monitor->calls.isEmpty());
    }

    void otherKeysAndButtonsDoNotClose() {
        popup->show();
        QSignalSpy closed(popup.get(), &VyrVerticalPopup::manual_closed);
        QTest::keyClick(popup.get(), Qt::Key_Return);
        vyr::test::press(popup->row("cpu"), QPoint(40, 20), Qt::MiddleButton);
        vyr::test::press(popup.get(), QPoint(3, 3), Qt::MiddleButton);
        QCOMPARE(closed.count(), 0);
        QVERIFY(popup->isVisible());
    }

    void detailTexts_data() {
        QTest::addColumn<SystemMetricsSnapshot>("snap");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("detail");
        const auto s = sample();
        QTest::newRow("workload") << s << "workload" << "Dengeli • Load: 1.00 • 2 gün 03:04";
        QTest::newRow("cpu") << s << "cpu" << "2.40 GHz • 4C / 8T Çekirdek";
        QTest::newRow("cpu without a clock") << with([](auto& x) { x.cpu_freq_mhz = 0.0; }) << "cpu"
                                             << "- • 4C / 8T Çekirdek";
        QTest::newRow("cpu with a negative clock") << with([](auto& x) { x.cpu_freq_mhz = -1.0; }) << "cpu"
                                                   << "- • 4C / 8T Çekirdek";
        QTest::newRow("cpu clock ties to even") << with([](auto& x) { x.cpu_freq_mhz = 2125.0; }) << "cpu"
                                                << "2.12 GHz • 4C / 8T Çekirdek";
        QTest::newRow("ram") << s << "ram" << "Dolu: 7.2 / 15.6 GB (Boş: 8.3 GB)";
        QTest::newRow("disk") << s << "disk" << "Dolu: 238 / 475 GB • Hız: 1.7 MB/s";
        QTest::newRow("disk halves to even") << with([](auto& x) {
            x.disk_used_gb = 0.5;
            x.disk_total_gb = 2.5;
            x.disk_read_mb_s = 0.25;
            x.disk_write_mb_s = 0.0;
        }) << "disk" << "Dolu: 0 / 2 GB • Hız: 0.2 MB/s";
        QTest::newRow("swap") << s << "swap" << "Dolu: 0.05 / 2.0 GB (Boş: 1.9 GB)";
        QTest::newRow("workload label and uptime as given")
            << with([](auto& x) {
                   x.workload_label = "<b>Yoğun</b>";
                   x.uptime_str = "-";
                   x.load_1m = 0.0;
               })
            << "workload" << "<b>Yoğun</b> • Load: 0.00 • -";
    }
    void detailTexts() {
        QFETCH(SystemMetricsSnapshot, snap);
        QFETCH(QString, key);
        QFETCH(QString, detail);
        popup->update_snapshot(snap);
        QCOMPARE(popup->row(key)->sub_detail, detail);
        QVERIFY(!popup->isVisible());
    }

    void onlyTheWorkloadRowTakesTheEngineColour() {
        auto s = sample();
        s.overall_workload_percent = 95;
        s.workload_color = "#7C3AED";
        s.cpu_percent = 90;
        s.ram_percent = 80;
        s.disk_percent = 150;
        s.swap_percent = -3;
        popup->update_snapshot(s);
        QCOMPARE(popup->row("workload")->current_accent, QStringLiteral("#7C3AED"));
        QCOMPARE(popup->row("cpu")->current_accent, QStringLiteral("#DC2626"));
        QCOMPARE(popup->row("ram")->current_accent, QStringLiteral("#D97706"));
        QCOMPARE(popup->row("disk")->percent, 100.0);
        QCOMPARE(popup->row("swap")->percent, 0.0);
        QCOMPARE(popup->row("swap")->current_accent, QStringLiteral("#7C3AED"));
        s.workload_color = "";
        s.overall_workload_percent = 80;
        popup->update_snapshot(s);
        QCOMPARE(popup->row("workload")->current_accent, QStringLiteral("#D97706"));
    }

    void rowUpdate_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<double>("given");
        QTest::addColumn<QString>("custom");
        QTest::addColumn<double>("stored");
        QTest::addColumn<QString>("accent");
        QTest::addColumn<double>("fill");
        QTest::newRow("150 clamps") << "cpu" << 150.0 << "" << 100.0 << "#DC2626" << 256.0;
        QTest::newRow("-5 clamps") << "cpu" << -5.0 << "" << 0.0 << "#0284C7" << 0.0;
        QTest::newRow("100 stays") << "ram" << 100.0 << "" << 100.0 << "#DC2626" << 256.0;
        QTest::newRow("NaN is full") << "ram" << std::nan("") << "" << 100.0 << "#DC2626" << 256.0;
        QTest::newRow("custom colour at every level") << "workload" << 95.0 << "#7C3AED" << 95.0 << "#7C3AED"
                                                      << 243.2;
        QTest::newRow("95 red") << "disk" << 95.0 << "" << 95.0 << "#DC2626" << 243.2;
        QTest::newRow("80 amber") << "swap" << 80.0 << "" << 80.0 << "#D97706" << 204.8;
        QTest::newRow("74.9 own accent") << "swap" << 74.9 << "" << 74.9 << "#7C3AED" << 191.744;
        QTest::newRow("0.5 no fill") << "cpu" << 0.5 << "" << 0.5 << "#0284C7" << 0.0;
        QTest::newRow("0.6 least fill") << "cpu" << 0.6 << "" << 0.6 << "#0284C7" << 3.0;
        QTest::newRow("1.171875 least fill") << "cpu" << 1.171875 << "" << 1.171875 << "#0284C7" << 3.0;
        QTest::newRow("50 half") << "cpu" << 50.0 << "" << 50.0 << "#0284C7" << 128.0;
    }
    void rowUpdate() {
        QFETCH(QString, key);
        QFETCH(double, given);
        QFETCH(QString, custom);
        QFETCH(double, stored);
        QFETCH(QString, accent);
        QFETCH(double, fill);
        PopupMetricRow row(key);
        row.update_row(given, QStringLiteral("detay"), custom);
        QCOMPARE(row.percent, stored);
        QCOMPARE(row.current_accent, accent);
        QCOMPARE(row.sub_detail, QStringLiteral("detay"));
        QVERIFY(std::abs(row_fill_width(row.width(), row.percent) - fill) < 1e-9);
    }

    void rowForAnUnknownKeyIsRefused() {
        QVERIFY_EXCEPTION_THROWN(PopupMetricRow row(QStringLiteral("net")), std::invalid_argument);
        QVERIFY_EXCEPTION_THROWN(PopupMetricRow row(QStringLiteral("CPU")), std::invalid_argument);
    }

    void rowHover() {
        PopupMetricRow* row = popup->row("disk");
        vyr::test::enter(row);
        QVERIFY(row->is_hovered);
        vyr::test::leave(row);
        QVERIFY(!row->is_hovered);
    }

    void leftPressOnARowReportsItsKey() {
        PopupMetricRow* row = popup->row("ram");
        row->is_hovered = true;
        QSignalSpy row_clicks(row, &PopupMetricRow::clicked);
        QSignalSpy metric(popup.get(), &VyrVerticalPopup::metric_clicked);
        QVERIFY(vyr::test::send_mouse(row, QEvent::MouseButtonPress, QPoint(50, 20), Qt::LeftButton,
                                      Qt::LeftButton));
        QCOMPARE(row_clicks.count(), 1);
        QCOMPARE(row_clicks.at(0).at(0).toString(), QStringLiteral("ram"));
        QCOMPARE(metric.count(), 1);
        QCOMPARE(metric.at(0).at(0).toString(), QStringLiteral("ram"));
        QVERIFY(!row->is_hovered);
        QVERIFY(!popup->_drag_offset);  // no drag starts from a row
    }

    void inspectorButtonAsksForTheWorkload() {
        QSignalSpy metric(popup.get(), &VyrVerticalPopup::metric_clicked);
        QTest::mouseClick(popup->btn_open_inspector, Qt::LeftButton);
        QCOMPARE(metric.count(), 1);
        QCOMPARE(metric.at(0).at(0).toString(), QStringLiteral("workload"));
    }

    void enterAndLeave() {
        QSignalSpy entered(popup.get(), &VyrVerticalPopup::popup_entered);
        bool hovered_at_leave = true;
        int left = 0;
        connect(popup.get(), &VyrVerticalPopup::popup_left, [&] {
            ++left;
            hovered_at_leave = any_row_hovered(*popup);
        });
        vyr::test::enter(popup.get());
        QCOMPARE(entered.count(), 1);
        popup->row("workload")->is_hovered = true;
        vyr::test::leave(popup.get());
        QCOMPARE(left, 1);
        QVERIFY(!hovered_at_leave);
    }

    void dragByTheHeader() {
        popup->move(300, 200);
        popup->show();
        QLabel* title = popup->findChild<QLabel*>();
        const QPoint start = popup->pos();
        vyr::test::press(title, QPoint(5, 5));
        QVERIFY(popup->_drag_offset);
        vyr::test::move(title, QPoint(20, 15), Qt::LeftButton);
        QCOMPARE(popup->pos(), start + QPoint(15, 10));
        vyr::test::move(title, QPoint(40, 15), Qt::NoButton);  // no button held: no move
        QCOMPARE(popup->pos(), start + QPoint(15, 10));
        vyr::test::release(title, QPoint(40, 15));
        QVERIFY(!popup->_drag_offset);
        vyr::test::move(title, QPoint(60, 30), Qt::LeftButton);  // after the release
        QCOMPARE(popup->pos(), start + QPoint(15, 10));
    }

    void placement_data() {
        QTest::addColumn<QRect>("anchor");
        QTest::addColumn<QRect>("avail");
        QTest::addColumn<QPoint>("expected");
        // The popup is 296 x 340 throughout.
        const QRect screen(0, 0, 1920, 1040);  // right() 1919, bottom() 1039
        QTest::newRow("left edge: right of the anchor") << QRect(20, 500, 82, 48) << screen << QPoint(105, 500);
        QTest::newRow("left edge, high: kept 6 below the top") << QRect(20, 0, 82, 48) << screen << QPoint(105, 6);
        QTest::newRow("left edge, low: kept 6 above the bottom")
            << QRect(20, 900, 82, 48) << screen << QPoint(105, 693);
        QTest::newRow("left edge, partly off screen") << QRect(-30, 500, 82, 48) << screen << QPoint(55, 500);
        QTest::newRow("left edge, area too low: top margin wins")
            << QRect(20, 100, 82, 48) << QRect(0, 0, 1920, 300) << QPoint(105, 6);
        QTest::newRow("139 from the left is the left edge") << QRect(139, 500, 82, 48) << screen << QPoint(224, 500);
        QTest::newRow("140 from the left is not") << QRect(140, 500, 82, 48) << screen << QPoint(32, 156);
        QTest::newRow("exact fit on the right") << QRect(100, 500, 1520, 48) << screen << QPoint(1623, 500);
        QTest::newRow("one pixel short on the right") << QRect(100, 500, 1521, 48) << screen << QPoint(712, 156);
        QTest::newRow("tray below the area, right end: above, right edges aligned")
            << QRect(1880, 1045, 24, 24) << screen << QPoint(1607, 701);
        QTest::newRow("tray past the right edge: 6 inside the right")
            << QRect(1900, 1045, 24, 24) << screen << QPoint(1617, 701);
        QTest::newRow("above, aligned, narrow area: never left of the margin")
            << QRect(305, 1045, 24, 24) << QRect(0, 0, 300, 1040) << QPoint(6, 701);
        QTest::newRow("89 above the bottom at the right edge: above")
            << QRect(1800, 903, 48, 48) << screen << QPoint(1551, 559);
        QTest::newRow("90 above the bottom at the right edge: left of it")
            << QRect(1800, 902, 48, 48) << screen << QPoint(1500, 693);
        QTest::newRow("right edge without room above: left of it, 6 below the top")
            << QRect(1800, 100, 48, 48) << screen << QPoint(1500, 6);
        QTest::newRow("right edge, left side exactly wide enough")
            << QRect(300, 500, 48, 48) << QRect(0, 0, 400, 1040) << QPoint(0, 353);
        QTest::newRow("right edge, left side too narrow: centred above")
            << QRect(299, 500, 48, 48) << QRect(0, 0, 400, 1040) << QPoint(97, 156);
        QTest::newRow("middle: centred above") << QRect(900, 500, 82, 48) << screen << QPoint(792, 156);
        QTest::newRow("middle, exactly enough room above") << QRect(900, 344, 82, 48) << screen << QPoint(792, 0);
        QTest::newRow("middle, one pixel short above: below") << QRect(900, 343, 82, 48) << screen
                                                              << QPoint(792, 394);
        QTest::newRow("below, clamped 6 above the bottom")
            << QRect(900, 200, 82, 900) << screen << QPoint(792, 693);
        QTest::newRow("below on a screen lower than the popup")
            << QRect(900, 100, 82, 48) << QRect(0, 0, 1920, 300) << QPoint(792, -47);
        QTest::newRow("area narrower than the popup: left margin wins")
            << QRect(150, 500, 20, 20) << QRect(0, 0, 300, 1040) << QPoint(6, 156);
        QTest::newRow("second screen on the right") << QRect(1930, 500, 82, 48) << QRect(1920, 0, 1280, 1024)
                                                    << QPoint(2015, 500);
    }
    void placement() {
        QFETCH(QRect, anchor);
        QFETCH(QRect, avail);
        QFETCH(QPoint, expected);
        QCOMPARE(popup_position(anchor, avail, 296, 340), expected);
    }

    void showNearPlacesShowsAndRaises() {
        QScreen* screen = QApplication::primaryScreen();
        QVERIFY(screen);
        const QRect avail = screen->availableGeometry();
        const QRect anchor(avail.left() + 10, avail.top() + 100, 82, 48);
        popup->show_near(anchor);
        QVERIFY(popup->isVisible());
        QCOMPARE(popup->pos(), popup_position(anchor, avail, popup->width(), popup->height()));
        // A second call moves the open popup.
        const QRect anchor2(avail.center().x(), avail.bottom() - 60, 82, 48);
        popup->show_near(anchor2);
        QVERIFY(popup->isVisible());
        QCOMPARE(popup->pos(), popup_position(anchor2, avail, popup->width(), popup->height()));
        // An anchor on no screen uses the primary screen.
        const QRect far_away(50000, 50000, 10, 10);
        popup->show_near(far_away);
        QCOMPARE(popup->pos(), popup_position(far_away, avail, popup->width(), popup->height()));
    }
};

QTEST_MAIN(PopupTest)
#include "popup_test.moc"
