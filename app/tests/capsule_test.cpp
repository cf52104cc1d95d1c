// The desktop capsule: the measurement it shows, its painting and its
// pointer gestures, against a fake controller.
#include <QImage>
#include <QSignalSpy>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <memory>

#include "test_support.hpp"
#include "vyr/app/capsule.hpp"

using namespace vyr::app;
using vyr::app::SettingValue;
using vyr::test::FakeController;

Q_DECLARE_METATYPE(vyr::app::SettingValue)

namespace {

const QColor kBackdrop(255, 0, 255);

QImage render(QWidget* w) {
    QImage img(w->size(), QImage::Format_ARGB32);
    img.fill(kBackdrop);
    w->render(&img, QPoint(), QRegion(), QWidget::DrawChildren);
    return img;
}

bool near(QRgb px, QColor c, int tol = 12) {
    return std::abs(qRed(px) - c.red()) <= tol && std::abs(qGreen(px) - c.green()) <= tol &&
           std::abs(qBlue(px) - c.blue()) <= tol;
}

// Columns of the bar row that are painted in the (pure blue) accent.
int painted_bar_width(const QImage& img) {
    int n = 0;
    for (int x = 0; x < img.width(); ++x) {
        const QRgb px = img.pixel(x, 41);
        if (qBlue(px) > 200 && qRed(px) < 128 && qGreen(px) < 128) ++n;
    }
    return n;
}

// The shapes filled in `colour` on the bar's line.
std::vector<vyr::test::PaintedFill> bar_fills(const vyr::test::Painting& shown, const QColor& colour) {
    return shown.fills_from(colour, 48 - 8.5);
}

}  // namespace

class CapsuleTest : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeController> monitor;
    SingleMainCapsule* capsule = nullptr;

private slots:
    void initTestCase() { vyr::test::load_roboto(); }

    void init() {
        monitor = std::make_unique<FakeController>();
        monitor->move(100, 200);
        capsule = new SingleMainCapsule(monitor.get());
    }
    void cleanup() { monitor.reset(); }

    void construction() {
        QCOMPARE(capsule->parentWidget(), static_cast<QWidget*>(monitor.get()));
        QCOMPARE(capsule->size(), QSize(82, 48));
        QCOMPARE(capsule->minimumSize(), QSize(82, 48));
        QCOMPARE(capsule->maximumSize(), QSize(82, 48));
        QCOMPARE(capsule->cursor().shape(), Qt::PointingHandCursor);
        QVERIFY(capsule->hasMouseTracking());  // the close button lights up under the pointer
        QCOMPARE(capsule->_close_btn_rect(), QRectF(65, 2, 15, 15));
        // Before the first sample: "%0" and the name, no bar.
        const vyr::test::Painting shown = vyr::test::painting_of(capsule);
        QCOMPARE(shown.text_list(), (QStringList{"Vyr", "%0"}));
        QCOMPARE(shown.colour_of("%0"), QColor("#0F172A"));
        QCOMPARE(bar_fills(shown, QColor("#15803D")).size(), std::size_t(0));
        QVERIFY(monitor->calls.isEmpty());
    }

    // What a sample shows: the percent text and the bar in the accent colour.
    void updateMain_data() {
        QTest::addColumn<double>("given");
        QTest::addColumn<QString>("accent");
        QTest::addColumn<QString>("shown_accent");
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("fill");
        QTest::newRow("150 clamps") << 150.0 << "#112233" << "#112233" << "%100" << 68.0;
        QTest::newRow("-5 clamps") << -5.0 << "#112233" << "#112233" << "%0" << 0.0;
        QTest::newRow("NaN is full") << std::nan("") << "#112233" << "#112233" << "%100" << 68.0;
        QTest::newRow("0.5 no fill") << 0.5 << "#112233" << "#112233" << "%0" << 0.0;
        QTest::newRow("0.6 least fill") << 0.6 << "#112233" << "#112233" << "%1" << 3.2;
        QTest::newRow("4.7 least fill") << 4.7 << "#112233" << "#112233" << "%5" << 3.2;
        QTest::newRow("50 half") << 50.0 << "#112233" << "#112233" << "%50" << 34.0;
        QTest::newRow("42.5 to even") << 42.5 << "#112233" << "#112233" << "%42" << 28.9;
        QTest::newRow("no accent, 90") << 90.0 << "" << "#DC2626" << "%90" << 61.2;
        QTest::newRow("no accent, 80") << 80.0 << "" << "#D97706" << "%80" << 54.4;
        QTest::newRow("no accent, 50") << 50.0 << "" << "#15803D" << "%50" << 34.0;
        QTest::newRow("no accent, 150 clamped") << 150.0 << "" << "#DC2626" << "%100" << 68.0;
    }
    void updateMain() {
        QFETCH(double, given);
        QFETCH(QString, accent);
        QFETCH(QString, shown_accent);
        QFETCH(QString, text);
        QFETCH(double, fill);
        capsule->update_main(given, accent);
        const vyr::test::Painting shown = vyr::test::painting_of(capsule);
        QCOMPARE(shown.text_list(), (QStringList{"Vyr", text}));
        QCOMPARE(shown.colour_of(text), QColor("#0F172A"));
        const auto bar = bar_fills(shown, QColor(shown_accent));
        QCOMPARE(bar.size(), std::size_t(fill > 0 ? 1 : 0));
        if (fill > 0) {
            QVERIFY2(std::abs(bar[0].rect.width() - fill) < 1e-6, qPrintable(QString::number(bar[0].rect.width())));
            QCOMPARE(bar[0].rect.left(), 7.0);
        }
    }

    // A sample that shows what the capsule shows already paints nothing anew.
    void repaintsOnlyOnAChange_data() {
        QTest::addColumn<double>("first");
        QTest::addColumn<QString>("first_accent");
        QTest::addColumn<double>("then");
        QTest::addColumn<QString>("then_accent");
        QTest::addColumn<bool>("painted");
        QTest::newRow("the same figure and colour") << 42.0 << "#112233" << 42.0 << "#112233" << false;
        QTest::newRow("both past the top") << 150.0 << "" << 120.0 << "" << false;
        QTest::newRow("both below zero") << -1.0 << "#112233" << -7.0 << "#112233" << false;
        QTest::newRow("the level colour, then by name") << 90.0 << "" << 90.0 << "#DC2626" << false;
        QTest::newRow("a hundredth more") << 42.0 << "#112233" << 42.01 << "#112233" << true;
        QTest::newRow("another colour") << 42.0 << "#112233" << 42.0 << "#112234" << true;
    }
    void repaintsOnlyOnAChange() {
        QFETCH(double, first);
        QFETCH(QString, first_accent);
        QFETCH(double, then);
        QFETCH(QString, then_accent);
        QFETCH(bool, painted);
        monitor->resize(86, 52);
        monitor->show();
        QVERIFY(QTest::qWaitForWindowExposed(monitor.get()));
        capsule->update_main(first, first_accent);
        QApplication::processEvents();
        vyr::test::PaintCounter paints(capsule);
        capsule->update_main(then, then_accent);
        QApplication::processEvents();
        QCOMPARE(paints.count > 0, painted);
        // What it shows is that of the last sample either way.
        const vyr::test::Painting shown = vyr::test::painting_of(capsule);
        QCOMPARE(shown.text_list().last(), percent_text(std::clamp(then, 0.0, 100.0), 0));
    }

    void paintedBarFollowsThePercent_data() {
        QTest::addColumn<double>("given");
        QTest::addColumn<int>("width");
        QTest::newRow("full") << 100.0 << 68;
        QTest::newRow("half") << 50.0 << 34;
        QTest::newRow("least") << 0.6 << 3;
        QTest::newRow("none") << 0.5 << 0;
    }
    void paintedBarFollowsThePercent() {
        QFETCH(double, given);
        QFETCH(int, width);
        capsule->update_main(given, QStringLiteral("#0000FF"));
        const int painted = painted_bar_width(render(capsule));
        QVERIFY2(std::abs(painted - width) <= 1, qPrintable(QString::number(painted)));
    }

    void restingPlate_data() {
        QTest::addColumn<bool>("stored");
        QTest::addColumn<SettingValue>("bg_alpha");
        QTest::addColumn<bool>("plate");
        QTest::newRow("missing is 210") << false << SettingValue() << true;
        QTest::newRow("210") << true << SettingValue(210) << true;
        QTest::newRow("65") << true << SettingValue(65) << true;
        QTest::newRow("0") << true << SettingValue(0) << false;
        QTest::newRow("negative") << true << SettingValue(-4) << false;
        QTest::newRow("0.9 truncates to 0") << true << SettingValue(0.9) << false;
        QTest::newRow("text 0") << true << SettingValue("0") << false;
        QTest::newRow("text 65") << true << SettingValue("65") << true;
        QTest::newRow("text 2**64") << true << SettingValue("18446744073709551616") << true;
        QTest::newRow("text -2**64") << true << SettingValue("-18446744073709551616") << false;
        QTest::newRow("text in Arabic-Indic digits") << true << SettingValue("\xd9\xa0") << false;
        QTest::newRow("true is 1") << true << SettingValue(true) << true;
        QTest::newRow("unreadable text is 210") << true << SettingValue("opak") << true;
        QTest::newRow("null is 210") << true << SettingValue() << true;
        QTest::newRow("list is 210") << true << SettingValue(SettingValue::List{}) << true;
    }
    void restingPlate() {
        QFETCH(bool, stored);
        QFETCH(SettingValue, bg_alpha);
        QFETCH(bool, plate);
        if (stored) monitor->store.values["bg_alpha"] = bg_alpha;
        const QImage img = render(capsule);
        QCOMPARE(near(img.pixel(40, 4), QColor(255, 255, 255)), plate);
        QCOMPARE(near(img.pixel(40, 4), kBackdrop), !plate);
    }

    void seeThroughShapeIsWhatTheCapsulePaints() {
        // Only while no plate is drawn; then every painted pixel but the faint
        // track is inside, and the plate area round them is not.
        capsule->update_main(42.0, QStringLiteral("#15803D"));
        monitor->store.values["bg_alpha"] = SettingValue(210);
        QVERIFY(!capsule->see_through_shape());
        monitor->store.values["bg_alpha"] = SettingValue(0);
        const std::optional<QRegion> shape = capsule->see_through_shape();
        QVERIFY(shape && !shape->isEmpty());
        const QImage img = render(capsule);
        int figure_pixels = 0;
        for (int y = 0; y < 36; ++y) {
            for (int x = 0; x < img.width(); ++x) {
                if (near(img.pixel(x, y), kBackdrop)) continue;
                QVERIFY2(shape->contains(QPoint(x, y)), qPrintable(QStringLiteral("%1,%2").arg(x).arg(y)));
                ++figure_pixels;
            }
        }
        QVERIFY(figure_pixels > 50);
        for (const QPoint plate : {QPoint(40, 4), QPoint(3, 26), QPoint(33, 30), QPoint(78, 44), QPoint(60, 37)})
            QVERIFY2(!shape->contains(plate), qPrintable(QStringLiteral("%1,%2").arg(plate.x()).arg(plate.y())));
        QVERIFY(shape->contains(QPoint(20, 40)));  // the bar's fill

        // The figure changes the shape, and the repaint says so once it is over.
        QCoreApplication::processEvents();  // what the renders above found
        QSignalSpy changed(capsule, &SingleMainCapsule::shape_changed);
        capsule->update_main(100.0, QStringLiteral("#DC2626"));
        render(capsule);
        QCOMPARE(changed.count(), 0);
        QTRY_COMPARE(changed.count(), 1);
        QVERIFY(capsule->see_through_shape() != shape);
        render(capsule);
        QCoreApplication::processEvents();
        QCOMPARE(changed.count(), 1);  // the same figure: no change

        vyr::test::enter(capsule);
        QVERIFY(!capsule->see_through_shape());  // the hovered plate is whole
        QCOMPARE(changed.count(), 2);
        vyr::test::leave(capsule);
        QCOMPARE(changed.count(), 3);
    }

    // Entering brings the plate back and leaving takes it away: the window
    // hears of it before the paint that shows it, since a window without a
    // compositing manager leaves unpainted what it gains of its shape after
    // that paint. With a plate at rest, hovering changes no shape.
    void hoverTellsTheShapeBeforeItsPaint_data() {
        QTest::addColumn<int>("bg_alpha");
        QTest::addColumn<bool>("told");
        QTest::newRow("Tam Şeffaf") << 0 << true;
        QTest::newRow("a resting plate") << 210 << false;
    }
    void hoverTellsTheShapeBeforeItsPaint() {
        QFETCH(int, bg_alpha);
        QFETCH(bool, told);
        monitor->store.values["bg_alpha"] = SettingValue(bg_alpha);
        monitor->resize(82, 48);
        monitor->show();
        QVERIFY(QTest::qWaitForWindowExposed(monitor.get()));
        QCoreApplication::processEvents();  // what the first paint found
        vyr::test::PaintCounter paints(capsule);
        struct Notice {
            int paints_before;
            bool plate;
        };
        std::vector<Notice> notices;
        connect(capsule, &SingleMainCapsule::shape_changed, this,
                [&] { notices.push_back({paints.count, !capsule->see_through_shape()}); });

        vyr::test::enter(capsule);
        QTRY_VERIFY(paints.count > 0);
        QCoreApplication::processEvents();
        QCOMPARE(notices.size(), std::size_t(told ? 1 : 0));
        if (told) {
            QCOMPARE(notices[0].paints_before, 0);
            QVERIFY(notices[0].plate);
        }

        const int painted = paints.count;
        vyr::test::leave(capsule);
        QTRY_VERIFY(paints.count > painted);
        QCoreApplication::processEvents();
        QCOMPARE(notices.size(), std::size_t(told ? 2 : 0));
        if (told) {
            QCOMPARE(notices[1].paints_before, painted);
            QVERIFY(!notices[1].plate);
        }
    }

    void platesDoNotDependOnThePositiveValue() {
        monitor->store.values["bg_alpha"] = SettingValue(65);
        const QImage a = render(capsule);
        monitor->store.values["bg_alpha"] = SettingValue(240);
        QCOMPARE(render(capsule), a);
    }

    void hoverPlateAndCloseButton() {
        monitor->store.values["bg_alpha"] = SettingValue(0);
        QSignalSpy entered(capsule, &SingleMainCapsule::hovered_enter);
        QSignalSpy left(capsule, &SingleMainCapsule::hovered_leave);
        QImage img = render(capsule);
        QVERIFY(near(img.pixel(77, 4), kBackdrop));  // no plate, no close button

        vyr::test::enter(capsule);
        QCOMPARE(entered.count(), 1);
        img = render(capsule);
        QVERIFY(near(img.pixel(40, 4), QColor(236, 253, 245)));  // hovered plate whatever bg_alpha
        QVERIFY(!near(img.pixel(77, 4), kBackdrop));
        QVERIFY(qBlue(img.pixel(77, 4)) < 150);  // the dark square

        vyr::test::move(capsule, QPoint(72, 9), Qt::NoButton);
        img = render(capsule);
        QVERIFY(near(img.pixel(77, 4), QColor(229, 152, 155), 30));  // the button lights up
        vyr::test::move(capsule, QPoint(30, 30), Qt::NoButton);
        QVERIFY(qBlue(render(capsule).pixel(77, 4)) < 150);  // and goes dark again

        vyr::test::move(capsule, QPoint(72, 9), Qt::NoButton);
        vyr::test::leave(capsule);
        QCOMPARE(left.count(), 1);
        QVERIFY(near(render(capsule).pixel(77, 4), kBackdrop));
        vyr::test::enter(capsule);  // the button comes back dark, not lit
        QVERIFY(qBlue(render(capsule).pixel(77, 4)) < 150);
        QVERIFY(monitor->calls.isEmpty());
    }

    // Each step: "p x,y" left press, "r x,y" left release, "m x,y" move with
    // the left button held, "h x,y" move without a button, "P"/"R" the same
    // for the right button. The controller sits at (100, 200).
    void gestures_data() {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<int>("clicks");
        QTest::addColumn<int>("closes");
        QTest::newRow("click") << "p 20,20; r 20,20" << QStringList{"begin_drag(120,220)", "end_drag"} << 1 << 0;
        QTest::newRow("wobble of 5 is a click")
            << "p 20,20; m 23,22; r 23,22" << QStringList{"begin_drag(120,220)", "end_drag"} << 1 << 0;
        QTest::newRow("move of 6 drags")
            << "p 20,20; m 24,22; r 24,22"
            << QStringList{"begin_drag(120,220)", "close_vertical_popup(0.8)", "perform_drag(124,222)", "end_drag"}
            << 0 << 0;
        QTest::newRow("every far move drags, a near one does not")
            << "p 20,20; m 30,20; m 21,20; m 40,25; r 40,25"
            << QStringList{"begin_drag(120,220)", "close_vertical_popup(0.8)", "perform_drag(130,220)",
                           "close_vertical_popup(0.8)", "perform_drag(140,225)", "end_drag"}
            << 0 << 0;
        QTest::newRow("close button press and release is no click")
            << "p 70,8; r 70,8" << QStringList{"end_drag"} << 0 << 1;
        QTest::newRow("close button press never drags")
            << "p 70,8; m 30,40; r 30,40" << QStringList{"end_drag"} << 0 << 1;
        QTest::newRow("moves without a button do nothing") << "h 30,30; h 60,10" << QStringList{} << 0 << 0;
        QTest::newRow("right button is left to the parent") << "P 20,20; R 20,20" << QStringList{} << 0 << 0;
        QTest::newRow("a click after a close press")
            << "p 70,8; r 70,8; p 20,20; r 20,20"
            << QStringList{"end_drag", "begin_drag(120,220)", "end_drag"} << 1 << 1;
    }
    void gestures() {
        QFETCH(QString, steps);
        QFETCH(QStringList, calls);
        QFETCH(int, clicks);
        QFETCH(int, closes);
        QSignalSpy clicked(capsule, &SingleMainCapsule::clicked);
        QSignalSpy close(capsule, &SingleMainCapsule::close_requested);
        for (const QString& raw : steps.split(QLatin1Char(';'))) {
            const QString step = raw.trimmed();
            if (step.isEmpty()) continue;
            const QStringList xy = step.mid(2).split(QLatin1Char(','));
            const QPoint pos(xy[0].toInt(), xy[1].toInt());
            switch (step[0].toLatin1()) {
                case 'p': vyr::test::press(capsule, pos); break;
                case 'r': vyr::test::release(capsule, pos); break;
                case 'm': vyr::test::move(capsule, pos, Qt::LeftButton); break;
                case 'h': vyr::test::move(capsule, pos, Qt::NoButton); break;
                case 'P': vyr::test::press(capsule, pos, Qt::RightButton); break;
                case 'R': vyr::test::release(capsule, pos, Qt::RightButton); break;
            }
        }
        QCOMPARE(monitor->calls, calls);
        QCOMPARE(clicked.count(), clicks);
        QCOMPARE(close.count(), closes);
        // Nothing is left pending: a later move with the button held drags nothing.
        vyr::test::move(capsule, QPoint(5, 40), Qt::LeftButton);
        QCOMPARE(monitor->calls, calls);
    }

    void clickIsEmittedAfterEndDrag() {
        QStringList seen;
        connect(capsule, &SingleMainCapsule::clicked, [&] { seen = monitor->calls; });
        vyr::test::press(capsule, QPoint(10, 10));
        vyr::test::release(capsule, QPoint(10, 10));
        QCOMPARE(seen, (QStringList{"begin_drag(110,210)", "end_drag"}));
    }

    void rightPressIsNotTaken() {
        QVERIFY(!vyr::test::send_mouse(capsule, QEvent::MouseButtonPress, QPoint(20, 20), Qt::RightButton,
                                       Qt::RightButton));
        QVERIFY(vyr::test::send_mouse(capsule, QEvent::MouseButtonPress, QPoint(20, 20), Qt::LeftButton,
                                      Qt::LeftButton));
    }
};

QTEST_MAIN(CapsuleTest)
#include "capsule_test.moc"
