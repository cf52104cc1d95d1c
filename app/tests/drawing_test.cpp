// The drawing helpers, the metric table, the figure texts and the reading of
// settings values.
#include <QImage>
#include <QPainter>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <QtTest>

#include <clocale>
#include <cmath>
#include <limits>

#include "test_support.hpp"
#include "vyr/app/drawing.hpp"
#include "vyr/app/metric_meta.hpp"
#include "vyr/app/settings_store.hpp"
#include "vyr/app/text.hpp"

using namespace vyr::app;
using vyr::app::SettingValue;

Q_DECLARE_METATYPE(vyr::app::SettingValue)

class DrawingTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { vyr::test::load_roboto(); }

    void levelColor_data() {
        QTest::addColumn<double>("percent");
        QTest::addColumn<QString>("expected");
        const QString d = QStringLiteral("#0284C7");
        QTest::newRow("88 is red") << 88.0 << "#DC2626";
        QTest::newRow("150 is red, no clamp") << 150.0 << "#DC2626";
        QTest::newRow("87.99 is amber") << 87.99 << "#D97706";
        QTest::newRow("75 is amber") << 75.0 << "#D97706";
        QTest::newRow("74.99 keeps the default") << 74.99 << d;
        QTest::newRow("0 keeps the default") << 0.0 << d;
        QTest::newRow("-5 keeps the default") << -5.0 << d;
        QTest::newRow("NaN keeps the default") << std::nan("") << d;
    }
    void levelColor() {
        QFETCH(double, percent);
        QFETCH(QString, expected);
        QCOMPARE(level_color(percent, QStringLiteral("#0284C7")), expected);
    }

    void defaultColourIsReturnedAsGiven() {
        QCOMPARE(level_color(10, QStringLiteral("not a colour")), QStringLiteral("not a colour"));
    }

    void cleanFont() {
        vyr::test::load_roboto();
        QFont a = make_clean_font(9);
        QFont b = make_clean_font(9);
        QCOMPARE(a.family(), QStringLiteral("Roboto"));
        QCOMPARE(a.pointSize(), 9);
        QCOMPARE(a.weight(), int(QFont::Bold));
        QVERIFY(a.bold());
        QCOMPARE(int(a.styleStrategy()), int(QFont::PreferAntialias | QFont::PreferQuality));
        QCOMPARE(a.hintingPreference(), QFont::PreferFullHinting);
        QVERIFY(!a.italic());
        QCOMPARE(a.stretch(), QFont().stretch());
        a.setPointSize(20);
        a.setItalic(true);
        QCOMPARE(b.pointSize(), 9);
        QVERIFY(!b.italic());
        // The registered family is the one Qt resolves to.
        QCOMPARE(QFontInfo(make_clean_font(10)).family(), QStringLiteral("Roboto"));
    }

    void iconLeavesPainterState_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("draws");
        QTest::newRow("workload") << "workload" << true;
        QTest::newRow("cpu") << "cpu" << true;
        QTest::newRow("ram") << "ram" << true;
        QTest::newRow("disk") << "disk" << true;
        QTest::newRow("swap") << "swap" << true;
        QTest::newRow("other case") << "CPU" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("unknown") << "net" << false;
    }
    void iconLeavesPainterState() {
        QFETCH(QString, key);
        QFETCH(bool, draws);
        const QColor colour(QStringLiteral("#4F46E5"));
        QImage img(41, 41, QImage::Format_ARGB32_Premultiplied);
        img.fill(Qt::transparent);
        {
            QPainter p(&img);
            p.setRenderHint(QPainter::Antialiasing);
            p.setPen(QPen(Qt::red, 7));
            p.setBrush(Qt::green);
            draw_metric_vector_icon(p, key, 20.5, 20.5, colour);
            if (key == QLatin1String("disk")) {
                QCOMPARE(p.pen().style(), Qt::NoPen);
                QCOMPARE(p.brush().style(), Qt::SolidPattern);
                QCOMPARE(p.brush().color(), colour);
            } else {
                QCOMPARE(p.pen().style(), Qt::SolidLine);
                QCOMPARE(p.pen().widthF(), 1.5);
                QCOMPARE(p.pen().color(), colour);
                QCOMPARE(p.pen().capStyle(), Qt::RoundCap);
                QCOMPARE(p.pen().joinStyle(), Qt::RoundJoin);
                QCOMPARE(p.brush().style(), Qt::NoBrush);
            }
        }
        // Everything painted lies within 8 units of the centre plus the stroke.
        int painted = 0;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                if (qAlpha(img.pixel(x, y)) > 0) {
                    ++painted;
                    QVERIFY2(std::abs(x + 0.5 - 20.5) <= 9.25 && std::abs(y + 0.5 - 20.5) <= 9.25,
                             qPrintable(QStringLiteral("pixel %1,%2").arg(x).arg(y)));
                }
        QCOMPARE(painted > 0, draws);
    }

    void iconMovesWithTheCentre() {
        // A centre moved by whole pixels moves the image by exactly that much.
        auto render = [](double cx, double cy) {
            QImage img(48, 48, QImage::Format_ARGB32_Premultiplied);
            img.fill(Qt::transparent);
            QPainter p(&img);
            p.setRenderHint(QPainter::Antialiasing);
            draw_metric_vector_icon(p, QStringLiteral("swap"), cx, cy, Qt::black);
            return img;
        };
        const QImage a = render(17.5, 16.0);
        const QImage b = render(20.5, 21.0);
        for (int y = 0; y + 5 < 48; ++y)
            for (int x = 0; x + 3 < 48; ++x) QCOMPARE(b.pixel(x + 3, y + 5), a.pixel(x, y));
        // Half a pixel is not snapped away.
        QVERIFY(render(17.5, 16.0) != render(18.0, 16.0));
    }

    void figureTexts_data() {
        QTest::addColumn<double>("value");
        QTest::addColumn<int>("decimals");
        QTest::addColumn<QString>("percent");
        QTest::newRow("42.5 to even") << 42.5 << 0 << "%42";
        QTest::newRow("43.5 to even") << 43.5 << 0 << "%44";
        QTest::newRow("2.5 to even") << 2.5 << 0 << "%2";
        QTest::newRow("99.6 up") << 99.6 << 0 << "%100";
        QTest::newRow("zero") << 0.0 << 0 << "%0";
        QTest::newRow("one decimal") << 12.25 << 1 << "%12.2";
        QTest::newRow("stored below the half") << 1.005 << 2 << "%1.00";
        QTest::newRow("2.675 stored below") << 2.675 << 2 << "%2.67";
    }
    void figureTexts() {
        QFETCH(double, value);
        QFETCH(int, decimals);
        QFETCH(QString, percent);
        QCOMPARE(percent_text(value, decimals), percent);
        QCOMPARE(fixed(value, decimals), percent.mid(1));
    }

    void figuresIgnoreADecimalCommaLocale() {
        // QSKIP's variable part is given, empty: ISO C++17 wants one there.
        if (!std::setlocale(LC_NUMERIC, "tr_TR.UTF-8")) QSKIP("no tr_TR.UTF-8 locale", );
        QLocale::setDefault(QLocale(QLocale::Turkish, QLocale::Turkey));
        QCOMPARE(fixed(1234.5, 2), QStringLiteral("1234.50"));
        QCOMPARE(percent_text(42.5), QStringLiteral("%42"));
        std::setlocale(LC_NUMERIC, "C");
        QLocale::setDefault(QLocale::c());
    }

    void plainTooltipShowsMarkupLiterally_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("tags") << "Komut: sh -c 'echo <b>x</b>'\nDurum: running";
        QTest::newRow("comparisons") << "Komut: a < b > c & d\nDurum: sleeping";
        QTest::newRow("entity and blanks") << "Komut: x  &amp;  y\nDurum: zombie";
    }
    void plainTooltipShowsMarkupLiterally() {
        QFETCH(QString, text);
        QTextDocument doc;
        doc.setHtml(plain_tooltip(text));
        QString shown = doc.toPlainText();
        shown.replace(QChar(0x00A0), QLatin1Char(' '));
        QCOMPARE(shown, text);
        // Kept on its lines however narrow the box, as a plain tool tip is.
        doc.setTextWidth(60);
        QVERIFY(doc.size().width() > 60);  // lays the text out
        int lines = 0;
        for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) lines += b.layout()->lineCount();
        QCOMPARE(lines, 2);
    }

    void metricTable() {
        QStringList keys;
        for (const auto& m : METRIC_META) keys << m.key;
        QCOMPARE(keys, (QStringList{"workload", "cpu", "ram", "disk", "swap"}));
        const MetricMeta* disk = find_metric_meta("disk");
        QVERIFY(disk);
        const QString s = QString::fromUtf8(disk->short_);
        QCOMPARE(s.size(), 4);
        QCOMPARE(s.at(1).unicode(), ushort(0x0130));
        QCOMPARE(QString::fromUtf8(find_metric_meta("cpu")->title).at(0).unicode(), ushort(0x0130));
        QCOMPARE(QString::fromUtf8(find_metric_meta("workload")->full_title),
                 QStringLiteral("Genel İş Yükü & Ruvivu Dengesi"));
        QCOMPARE(QString::fromUtf8(find_metric_meta("swap")->accent), QStringLiteral("#7C3AED"));
        QVERIFY(!find_metric_meta("CPU"));
        QVERIFY(!find_metric_meta(""));
    }

    void settingTruthiness_data() {
        QTest::addColumn<SettingValue>("value");
        QTest::addColumn<bool>("truthy");
        QTest::newRow("null") << SettingValue() << false;
        QTest::newRow("true") << SettingValue(true) << true;
        QTest::newRow("false") << SettingValue(false) << false;
        QTest::newRow("1") << SettingValue(1) << true;
        QTest::newRow("0") << SettingValue(0) << false;
        QTest::newRow("0.0") << SettingValue(0.0) << false;
        QTest::newRow("NaN") << SettingValue(std::nan("")) << true;
        QTest::newRow("text") << SettingValue("false") << true;
        QTest::newRow("empty text") << SettingValue("") << false;
        QTest::newRow("empty list") << SettingValue(SettingValue::List{}) << false;
        QTest::newRow("list") << SettingValue(SettingValue::List{SettingValue()}) << true;
        QTest::newRow("empty object") << SettingValue(SettingValue::Object{}) << false;
    }
    void settingTruthiness() {
        QFETCH(SettingValue, value);
        QFETCH(bool, truthy);
        QCOMPARE(value.truthy(), truthy);
    }

    void settingWholeNumber_data() {
        QTest::addColumn<SettingValue>("value");
        QTest::addColumn<bool>("readable");
        QTest::addColumn<qlonglong>("expected");
        QTest::addColumn<bool>("integer");  // an int in Python's sense (bool included)
        const qlonglong big = std::numeric_limits<long long>::max();
        const qlonglong small = std::numeric_limits<long long>::min();
        QTest::newRow("int") << SettingValue(210) << true << 210LL << true;
        QTest::newRow("negative") << SettingValue(-3) << true << -3LL << true;
        QTest::newRow("true") << SettingValue(true) << true << 1LL << true;
        QTest::newRow("false") << SettingValue(false) << true << 0LL << true;
        QTest::newRow("float truncates") << SettingValue(65.9) << true << 65LL << false;
        QTest::newRow("negative float truncates") << SettingValue(-0.9) << true << 0LL << false;
        QTest::newRow("text") << SettingValue("65") << true << 65LL << false;
        QTest::newRow("text with blanks and sign") << SettingValue(" -7\n") << true << -7LL << false;
        QTest::newRow("underscores") << SettingValue("1_000") << true << 1000LL << false;
        QTest::newRow("huge text clamps") << SettingValue("99999999999999999999") << true << big << false;
        // Digits past 64 bits never wrap round: 2**64 + 100 is no 100, 2**64 no 0.
        QTest::newRow("2**64 + 100") << SettingValue("18446744073709551716") << true << big << false;
        QTest::newRow("2**64") << SettingValue("18446744073709551616") << true << big << false;
        QTest::newRow("-2**64") << SettingValue("-18446744073709551616") << true << small << false;
        QTest::newRow("2**63") << SettingValue("9223372036854775808") << true << big << false;
        QTest::newRow("-2**63") << SettingValue("-9223372036854775808") << true << small << false;
        QTest::newRow("300 digits") << SettingValue(std::string(300, '9')) << true << big << false;
        QTest::newRow("4300 digits") << SettingValue(std::string(4299, '0') + "7") << true << 7LL << false;
        QTest::newRow("4301 digits") << SettingValue(std::string(4300, '0') + "7") << false << 0LL << false;
        // Digits and blanks of every script, as int() takes them.
        QTest::newRow("Arabic-Indic digits") << SettingValue("\xd9\xa1\xd9\xa2\xd9\xa3") << true << 123LL << false;
        QTest::newRow("full-width digits and blanks")
            << SettingValue("\xc2\xa0 \xef\xbc\x92\xef\xbc\x94\xef\xbc\x90\xe3\x80\x80") << true << 240LL << false;
        QTest::newRow("scripts mixed, underscore") << SettingValue("1_\xd9\xa2") << true << 12LL << false;
        QTest::newRow("blank inside") << SettingValue("6\xc2\xa0" "5") << false << 0LL << false;
        QTest::newRow("ASCII separator is no blank") << SettingValue("\x1c" "5") << false << 0LL << false;
        QTest::newRow("NUL") << SettingValue(std::string("5\0", 2)) << false << 0LL << false;
        QTest::newRow("overlong UTF-8 five") << SettingValue("\xc0\xb5") << false << 0LL << false;
        QTest::newRow("full-width plus") << SettingValue("\xef\xbc\x8b" "5") << false << 0LL << false;
        QTest::newRow("huge float clamps") << SettingValue(1e300) << true << big << false;
        QTest::newRow("decimal text") << SettingValue("6.5") << false << 0LL << false;
        QTest::newRow("word") << SettingValue("abc") << false << 0LL << false;
        QTest::newRow("empty text") << SettingValue("") << false << 0LL << false;
        QTest::newRow("double underscore") << SettingValue("1__0") << false << 0LL << false;
        QTest::newRow("trailing underscore") << SettingValue("10_") << false << 0LL << false;
        QTest::newRow("sign only") << SettingValue("-") << false << 0LL << false;
        QTest::newRow("null") << SettingValue() << false << 0LL << false;
        QTest::newRow("NaN") << SettingValue(std::nan("")) << false << 0LL << false;
        QTest::newRow("infinity") << SettingValue(HUGE_VAL) << false << 0LL << false;
        QTest::newRow("list") << SettingValue(SettingValue::List{SettingValue(1)}) << false << 0LL << false;
    }
    void settingWholeNumber() {
        QFETCH(SettingValue, value);
        QFETCH(bool, readable);
        QFETCH(qlonglong, expected);
        QFETCH(bool, integer);
        const auto got = value.to_int();
        QCOMPARE(got.has_value(), readable);
        if (readable) QCOMPARE(qlonglong(*got), expected);
        const auto exact = value.as_integer();
        QCOMPARE(exact.has_value(), integer);
        if (integer) QCOMPARE(qlonglong(*exact), expected);
    }
};

QTEST_MAIN(DrawingTest)
#include "drawing_test.moc"
