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
#include <utility>

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

const QStringList kKeys{"workload", "cpu", "ram", "disk", "swap"};

// A row shows the pointer's highlight as a pale green card.
bool looks_hovered(PopupMetricRow* row) {
    const vyr::test::Painting shown = vyr::test::painting_of(row);
    return !shown.fills.empty() && shown.fills.front().colour == QColor(236, 253, 245, 250);
}

bool any_row_hovered(const VyrVerticalPopup& p) {
    for (const QString& key : kKeys)
        if (looks_hovered(p.row(key))) return true;
    return false;
}

using vyr::test::face;

// The bar of a row: the shape filled in the row's accent on the bar's line.
std::vector<vyr::test::PaintedFill> bar_fills(const vyr::test::Painting& shown, const QColor& accent) {
    return shown.fills_from(accent, 48 - 6.5);
}

QAbstractButton* button(VyrVerticalPopup& p, const char* text) {
    return vyr::test::with_text(&p, QString::fromUtf8(text));
}

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
        QVERIFY(popup->testAttribute(Qt::WA_ShowWithoutActivating));  // never takes the focus
        QVERIFY(popup->hasMouseTracking());
        QVERIFY(!popup->is_pinned());
        popup->show();
        QCOMPARE(vyr::test::shown_texts(popup.get()), QStringList{"Vyr Ruvivu Özeti"});
        // The five rows, top to bottom, each with its title, "%0" in its own
        // accent and the waiting text.
        const QStringList titles{"Genel İş Yükü", "İşlemci (CPU)", "Bellek (RAM)", "Hafıza (Disk)", "Swap (Takas)"};
        const QStringList accents{"#15803D", "#0284C7", "#4F46E5", "#D97706", "#7C3AED"};
        int last_y = -1;
        for (int i = 0; i < kKeys.size(); ++i) {
            PopupMetricRow* row = popup->row(kKeys[i]);
            QVERIFY(row);
            QCOMPARE(row->size(), QSize(276, 48));
            const int y = row->mapTo(popup.get(), QPoint(0, 0)).y();
            QVERIFY(y > last_y);
            last_y = y;
            const vyr::test::Painting shown = vyr::test::painting_of(row);
            QCOMPARE(shown.text_list(), (QStringList{titles[i], "Hesaplanıyor...", "%0"}));
            QCOMPARE(shown.colour_of("%0"), QColor(accents[i]));
            QVERIFY(!looks_hovered(row));
        }
        QVERIFY(!popup->row("net"));
        QAbstractButton* pin = button(*popup, "Sabitle");
        QVERIFY(pin);
        QCOMPARE(pin->size(), QSize(62, 22));
        QCOMPARE(face(pin), QColor("#FFFFFF"));
        QAbstractButton* close = button(*popup, "✕");
        QVERIFY(close);
        QCOMPARE(close->size(), QSize(24, 22));
        QCOMPARE(face(close), QColor("#FEF2F2"));
        QAbstractButton* open = button(*popup, "Detaylı İşlem Denetçisi");
        QVERIFY(open);
        QCOMPARE(open->height(), 26);
        QCOMPARE(face(open), QColor("#15803D"));
        QAbstractButton* kapat = button(*popup, "Kapat");
        QVERIFY(kapat);
        QCOMPARE(kapat->height(), 26);
        QVERIFY(open->y() > last_y && kapat->y() == open->y());  // below the rows, side by side
        // The size follows the layout: the rows set the width.
        QVERIFY(popup->width() >= 276 + 20);
        QVERIFY(popup->height() >= 5 * 48 + 4 * 5);
    }

    void pinToggles() {
        QAbstractButton* pin = button(*popup, "Sabitle");
        QTest::mouseClick(pin, Qt::LeftButton);
        QVERIFY(popup->is_pinned());
        QCOMPARE(face(pin), QColor("#ECFDF5"));
        QCOMPARE(pin->text(), QStringLiteral("Sabitle"));
        QTest::mouseClick(pin, Qt::LeftButton);
        QVERIFY(!popup->is_pinned());
        QCOMPARE(face(pin), QColor("#FFFFFF"));
    }

    void pinStateFromTheController() {
        popup->set_pinned(true);
        popup->_update_pin_style();
        QCOMPARE(face(button(*popup, "Sabitle")), QColor("#ECFDF5"));
        popup->set_pinned(false);
        popup->_update_pin_style();
        QCOMPARE(face(button(*popup, "Sabitle")), QColor("#FFFFFF"));
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
        QTest::mouseClick(button(*popup, "Sabitle"), Qt::LeftButton);
        vyr::test::enter(popup->row("cpu"));
        vyr::test::enter(popup->row("swap"));
        QVERIFY(any_row_hovered(*popup));
        int emitted = 0;
        bool pinned_then = true, pin_look_then = true, hovered_then = true, visible_then = true;
        connect(popup.get(), &VyrVerticalPopup::manual_closed, [&] {
            ++emitted;
            pinned_then = popup->is_pinned();
            pin_look_then = face(button(*popup, "Sabitle")) == QColor("#ECFDF5");
            hovered_then = any_row_hovered(*popup);
            visible_then = popup->isVisible();
        });
        if (path == "close") QTest::mouseClick(button(*popup, "✕"), Qt::LeftButton);
        if (path == "kapat") QTest::mouseClick(button(*popup, "Kapat"), Qt::LeftButton);
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
        QVERIFY(!popup->isVisible());  // refreshed while hidden
        const QStringList shown = vyr::test::painting_of(popup->row(key)).text_list();
        QCOMPARE(shown.size(), 3);
        QCOMPARE(shown[1], detail);
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
        auto percent_of = [&](const char* key) {
            const vyr::test::Painting shown = vyr::test::painting_of(popup->row(key));
            return std::make_pair(shown.texts.back().text, shown.texts.back().colour.name().toUpper());
        };
        QCOMPARE(percent_of("workload"), std::make_pair(QStringLiteral("%95"), QStringLiteral("#7C3AED")));
        QCOMPARE(percent_of("cpu"), std::make_pair(QStringLiteral("%90"), QStringLiteral("#DC2626")));
        QCOMPARE(percent_of("ram"), std::make_pair(QStringLiteral("%80"), QStringLiteral("#D97706")));
        QCOMPARE(percent_of("disk"), std::make_pair(QStringLiteral("%100"), QStringLiteral("#DC2626")));
        QCOMPARE(percent_of("swap"), std::make_pair(QStringLiteral("%0"), QStringLiteral("#7C3AED")));
        s.workload_color = "";
        s.overall_workload_percent = 80;
        popup->update_snapshot(s);
        QCOMPARE(percent_of("workload"), std::make_pair(QStringLiteral("%80"), QStringLiteral("#D97706")));
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
        const vyr::test::Painting shown = vyr::test::painting_of(&row);
        QCOMPARE(shown.text_list().mid(1), (QStringList{"detay", percent_text(stored, 0)}));
        QCOMPARE(shown.colour_of(percent_text(stored, 0)), QColor(accent));
        const auto bar = bar_fills(shown, QColor(accent));
        QCOMPARE(bar.size(), std::size_t(fill > 0 ? 1 : 0));
        if (fill > 0) {
            QVERIFY2(std::abs(bar[0].rect.width() - fill) < 1e-6, qPrintable(QString::number(bar[0].rect.width())));
            QCOMPARE(bar[0].rect.left(), 10.0);
        }
        QVERIFY(std::abs(row_fill_width(row.width(), stored) - fill) < 1e-9);
    }

    // A sample that shows what a row shows already paints nothing anew.
    void rowRepaintsOnlyOnAChange_data() {
        QTest::addColumn<double>("then");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<QString>("custom");
        QTest::addColumn<bool>("painted");
        // After 42 % with "detay" in the level colour.
        QTest::newRow("the same") << 42.0 << "detay" << "" << false;
        QTest::newRow("the level colour by name") << 42.0 << "detay" << "#0284C7" << false;
        QTest::newRow("another figure") << 42.5 << "detay" << "" << true;
        QTest::newRow("another detail") << 42.0 << "detay 2" << "" << true;
        QTest::newRow("another colour") << 42.0 << "detay" << "#7C3AED" << true;
    }
    void rowRepaintsOnlyOnAChange() {
        QFETCH(double, then);
        QFETCH(QString, detail);
        QFETCH(QString, custom);
        QFETCH(bool, painted);
        PopupMetricRow row(QStringLiteral("cpu"));
        row.show();
        QVERIFY(QTest::qWaitForWindowExposed(&row));
        row.update_row(42.0, QStringLiteral("detay"));
        QApplication::processEvents();
        vyr::test::PaintCounter paints(&row);
        row.update_row(then, detail, custom);
        QApplication::processEvents();
        QCOMPARE(paints.count > 0, painted);
        QCOMPARE(vyr::test::painting_of(&row).text_list().mid(1), (QStringList{detail, percent_text(then, 0)}));
    }

    void rowForAnUnknownKeyIsRefused() {
        QVERIFY_EXCEPTION_THROWN(PopupMetricRow row(QStringLiteral("net")), std::invalid_argument);
        QVERIFY_EXCEPTION_THROWN(PopupMetricRow row(QStringLiteral("CPU")), std::invalid_argument);
    }

    void rowHover() {
        PopupMetricRow* row = popup->row("disk");
        vyr::test::enter(row);
        QVERIFY(looks_hovered(row));
        vyr::test::leave(row);
        QVERIFY(!looks_hovered(row));
        vyr::test::enter(row);
        popup->clear_row_hovers();
        QVERIFY(!looks_hovered(row));
    }

    void leftPressOnARowReportsItsKey() {
        popup->move(300, 200);
        popup->show();
        PopupMetricRow* row = popup->row("ram");
        vyr::test::enter(row);
        QSignalSpy row_clicks(row, &PopupMetricRow::clicked);
        QSignalSpy metric(popup.get(), &VyrVerticalPopup::metric_clicked);
        QVERIFY(vyr::test::send_mouse(row, QEvent::MouseButtonPress, QPoint(50, 20), Qt::LeftButton,
                                      Qt::LeftButton));
        QCOMPARE(row_clicks.count(), 1);
        QCOMPARE(row_clicks.at(0).at(0).toString(), QStringLiteral("ram"));
        QCOMPARE(metric.count(), 1);
        QCOMPARE(metric.at(0).at(0).toString(), QStringLiteral("ram"));
        QVERIFY(!looks_hovered(row));
        // No drag starts from a row.
        const QPoint before = popup->pos();
        vyr::test::move(row, QPoint(80, 30), Qt::LeftButton);
        QCOMPARE(popup->pos(), before);
    }

    void inspectorButtonAsksForTheWorkload() {
        QSignalSpy metric(popup.get(), &VyrVerticalPopup::metric_clicked);
        QTest::mouseClick(button(*popup, "Detaylı İşlem Denetçisi"), Qt::LeftButton);
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
        vyr::test::enter(popup->row("workload"));
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
        vyr::test::move(title, QPoint(20, 15), Qt::LeftButton);
        QCOMPARE(popup->pos(), start + QPoint(15, 10));
        vyr::test::move(title, QPoint(40, 15), Qt::NoButton);  // no button held: no move
        QCOMPARE(popup->pos(), start + QPoint(15, 10));
        vyr::test::release(title, QPoint(40, 15));
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
