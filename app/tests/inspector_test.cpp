// The process inspector as its user meets it: what the window shows, its
// tabs, pause, grouping and hiding, the live refresh with its texts, colours
// and kept selection, and the end and kill actions through answered boxes.
#include <QCheckBox>
#include <QFontDatabase>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSet>
#include <QSignalSpy>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTextDocument>
#include <QTextLayout>
#include <QtTest>

#include <memory>
#include <utility>

#include "test_support.hpp"
#include "vyr/app/drawing.hpp"
#include "vyr/app/inspector.hpp"

using namespace vyr::app;
using vyr::DiskPartitionInfo;
using vyr::FolderUsageInfo;
using vyr::ProcessEntry;
using vyr::SystemMetricsSnapshot;
using vyr::app::SettingValue;
using vyr::test::FakeController;
using vyr::test::FakeEngine;
using vyr::test::ScriptedBoxes;

Q_DECLARE_METATYPE(vyr::app::SettingValue)
Q_DECLARE_METATYPE(vyr::SystemMetricsSnapshot)
Q_DECLARE_METATYPE(vyr::ProcessEntry)
Q_DECLARE_METATYPE(std::vector<vyr::FolderUsageInfo>)
Q_DECLARE_METATYPE(std::vector<vyr::ProcessEntry>)

namespace {

const QString kSync = QStringLiteral("sync_worker_params");
const QStringList kTabKeys{"workload", "cpu", "ram", "disk", "swap"};
const QStringList kTabTitles{"Genel İş Yükü", "İşlemci (CPU)", "Bellek (RAM)", "Hafıza (Disk)", "Swap (Takas)"};
const QString kHint =
    QStringLiteral("Yükün hangi program ve işlemlerden geldiği canlı listeleniyor (Kapatmak için ✕ veya Esc)");
const QStringList kColumnTitles{"PID",     "Program / İşlem Adı", "Kullanıcı", "Genel Yük",
                                "CPU %",   "RAM (MB / %)",        "Swap (MB)", "Disk G/Ç (Toplam)"};

using vyr::test::face;

ProcessEntry proc(long long pid, const char* name, const char* display = nullptr) {
    ProcessEntry p;
    p.pid = pid;
    p.name = name;
    p.display_name = display ? display : name;
    p.username = "ayse";
    p.status = "running";
    p.cmdline = std::string("/usr/bin/") + name;
    return p;
}

SystemMetricsSnapshot sample() {
    SystemMetricsSnapshot s;
    s.overall_workload_percent = 41.25;
    s.workload_label = "Dengeli";
    s.uptime_str = "1 gün 02:03";
    s.cpu_percent = 23.45;
    s.cpu_freq_mhz = 2400.0;
    s.cpu_count_physical = 4;
    s.cpu_count_logical = 8;
    s.cpu_per_core = {10.5, 11.5, 3, 4, 5, 6, 7, 99.6};
    s.ram_percent = 46.65;
    s.ram_used_gb = 7.125;
    s.ram_total_gb = 15.5;
    s.ram_avail_gb = 8.375;
    s.ram_cached_gb = 2.5;
    s.disk_percent = 50.05;
    s.disk_used_gb = 237.6;
    s.disk_total_gb = 475.3;
    s.disk_free_gb = 237.7;
    s.disk_read_mb_s = 1.125;
    s.disk_write_mb_s = 0.5;
    s.swap_percent = 2.5;
    s.swap_used_gb = 0.05;
    s.swap_used_mb = 51.2;
    s.swap_total_gb = 2.0;
    s.swap_free_gb = 1.95;
    s.swap_sin_mb = 10.5;
    s.swap_sout_mb = 11.5;
    auto part = [](const char* mount, const char* dev, double used, double total, double pct) {
        DiskPartitionInfo p;
        p.mountpoint = mount;
        p.device = dev;
        p.used_gb = used;
        p.total_gb = total;
        p.percent = pct;
        return p;
    };
    s.partitions = {part("/", "/dev/sda1", 237.6, 475.3, 50.0), part("/boot", "/dev/sda2", 0.25, 1.0, 25.0),
                    part("/home", "/dev/sdb1", 100.0, 900.0, 11.1), part("/mnt/x", "/dev/sdc1", 1, 2, 50)};
    return s;
}

// Three rows with every column in use.
std::vector<ProcessEntry> three() {
    std::vector<ProcessEntry> out{proc(101, "firefox-bin", "Firefox (3)"), proc(202, "code", "Code"),
                                  proc(303, "bash")};
    for (std::size_t i = 0; i < out.size(); ++i) {
        ProcessEntry& e = out[i];
        e.workload_score = 40.0 - 15 * double(i);
        e.cpu_percent = 30.0 - 11 * double(i);
        e.ram_mb = 900.0 / double(i + 1);
        e.ram_percent = 12.0 / double(i + 1);
        e.disk_rw_kb_s = 2048.0 / double(i + 1);
        e.disk_total_mb = 50;
    }
    return out;
}

std::vector<FolderUsageInfo> folders(int n) {
    std::vector<FolderUsageInfo> out;
    const char* labels[] = {"Belgeler", "İndirilenler", "Masaüstü", "Resimler", "Videolar"};
    const char* sizes[] = {"12.5 GB", "3.1 GB", "900 MB", "450 MB", "12 MB"};
    for (int i = 0; i < n; ++i) {
        FolderUsageInfo f;
        f.label = labels[i];
        f.size_str = sizes[i];
        out.push_back(f);
    }
    return out;
}

}  // namespace

class InspectorTest : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeController> monitor;
    std::unique_ptr<FakeEngine> engine;
    std::unique_ptr<VyrProcessInspectorDialog> insp;
    ScriptedBoxes boxes;

    void make() {
        insp = std::make_unique<VyrProcessInspectorDialog>(engine.get(), &monitor->store, monitor.get());
        insp->set_message_boxes(&boxes);
    }
    void fill(const std::vector<ProcessEntry>& procs) { insp->update_data(sample(), procs); }
    QTableView* table() const { return vyr::test::table_of(insp.get()); }
    QStringList pids() const { return vyr::test::column_texts(table(), 0); }
    void select_pid(long long pid) {
        for (int r = 0; r < table()->model()->rowCount(); ++r)
            if (vyr::test::cell(table(), r, 0, Qt::UserRole).toLongLong() == pid) vyr::test::click_row(table(), r);
    }
    int selected_row() const {
        const auto rows = table()->selectionModel()->selectedRows();
        return rows.isEmpty() ? -1 : rows.first().row();
    }
    QPushButton* button(const char* text) const {
        return vyr::test::with_text<QPushButton>(insp.get(), QString::fromUtf8(text));
    }
    QCheckBox* group_box() const { return insp->findChild<QCheckBox*>(); }
    QLineEdit* search_field() const { return insp->findChild<QLineEdit*>(); }
    // The window's lines of text, top to bottom: heading, hint, the two
    // summary lines, footer.
    QStringList lines() const {
        QApplication::processEvents();  // laid out as shown
        return vyr::test::shown_texts(insp.get());
    }
    QString heading() const { return lines().value(0); }
    QString summary_primary() const { return lines().value(2); }
    QString summary_secondary() const { return lines().value(3); }
    QString footer() const { return lines().value(4); }

private slots:
    void initTestCase() { vyr::test::load_roboto(); }
    void init() {
        monitor = std::make_unique<FakeController>();
        engine = std::make_unique<FakeEngine>();
        boxes = ScriptedBoxes();
        make();
    }
    void cleanup() {
        insp.reset();
        engine.reset();
        monitor.reset();
    }

    void construction() {
        QVERIFY(!insp->isVisible());
        QVERIFY(!insp->parentWidget());
        QCOMPARE(insp->windowFlags(), Qt::FramelessWindowHint | Qt::Window);
        QVERIFY(insp->testAttribute(Qt::WA_TranslucentBackground));
        QCOMPARE(insp->windowTitle(), QStringLiteral("Vyr Ruvivu Zizodiro — Canlı Program ve İşlem Denetçisi"));
        QCOMPARE(insp->size(), QSize(780, 530));
        QCOMPARE(insp->minimumSize(), QSize(0, 0));
        QCOMPARE(insp->active_metric(), QStringLiteral("workload"));
        QVERIFY(!insp->is_paused());
        QCOMPARE(insp->container()->objectName(), QStringLiteral("InspectorContainer"));
        insp->show();
        QCOMPARE(lines(),
                 (QStringList{"Canlı Kaynak ve İşlem Denetçisi", kHint, "-", "-",
                              "Sekmelere tıklayarak sıralamayı değiştirebilir, işlem sonlandırabilirsiniz."}));
        // The header's buttons, right of the heading, and the two actions.
        QPushButton* min = button("—");
        QVERIFY(min);
        QCOMPARE(min->size(), QSize(30, 28));
        QCOMPARE(min->toolTip(), QStringLiteral("Pencereyi küçült"));
        QCOMPARE(button("✕ Kapat")->toolTip(), QStringLiteral("Denetçi penceresini kapat (Esc)"));
        for (const char* text : {"Duraklat", "—", "✕ Kapat", "Sonlandır", "Zorla Kapat"}) {
            QPushButton* b = button(text);
            QVERIFY2(b, text);
            QCOMPARE(b->height(), 28);
        }
        QVERIFY(button("Duraklat")->x() < min->x() && min->x() < button("✕ Kapat")->x());
        QVERIFY(button("Sonlandır")->x() < button("Zorla Kapat")->x());
        QCOMPARE(search_field()->placeholderText(), QStringLiteral("Program adı, komut veya PID ara..."));
        QVERIFY(search_field()->text().isEmpty());
        QCOMPARE(group_box()->text(), QStringLiteral("Aynı Programları Grupla"));
        // The tabs, left to right, "Genel İş Yükü" in the active look.
        int last_x = -1;
        for (const QString& title : kTabTitles) {
            QPushButton* tab = vyr::test::with_text<QPushButton>(insp.get(), title);
            QVERIFY(tab);
            QCOMPARE(tab->height(), 30);
            QVERIFY(tab->x() > last_x);
            last_x = tab->x();
            QCOMPARE(face(tab), QColor(title == kTabTitles[0] ? "#15803D" : "#FFFFFF"));
        }
        // The table: its labelled columns, no rows, no row numbers.
        QTableView* t = table();
        QCOMPARE(t->model()->rowCount(), 0);
        QStringList headers;
        for (int c = 0; c < t->model()->columnCount(); ++c)
            headers << t->model()->headerData(c, Qt::Horizontal).toString();
        QCOMPARE(headers, kColumnTitles);
        QVERIFY(t->verticalHeader()->isHidden());
        QVERIFY(t->alternatingRowColors());
        QVERIFY(monitor->calls.isEmpty());
        QVERIFY(monitor->store.writes.empty());
        QCOMPARE(engine->scans, 0);
    }

    // Rows are chosen whole, one at a time, and cells are never edited.
    void rowsAreChosenWholeAndNotEdited() {
        insp->show();
        fill({proc(10, "a"), proc(20, "b")});
        QTableView* t = table();
        vyr::test::click_row(t, 0);
        vyr::test::click_row(t, 1);
        const auto chosen = t->selectionModel()->selectedIndexes();
        QCOMPARE(chosen.size(), kColumnTitles.size());
        for (const QModelIndex& i : chosen) QCOMPARE(i.row(), 1);
        const QRect name = t->visualRect(t->model()->index(1, 1));
        QTest::mouseDClick(t->viewport(), Qt::LeftButton, Qt::NoModifier, name.center());
        QTest::mouseRelease(t->viewport(), Qt::LeftButton, Qt::NoModifier, name.center());
        QTest::keyClick(t, Qt::Key_F2);
        QTest::keyClicks(t, "x");
        QCOMPARE(vyr::test::cell(t, 1, 1).toString(), QStringLiteral("b"));
        QVERIFY(!t->findChild<QLineEdit*>());
    }

    void windowIconFromTheController() {
        QPixmap pm(16, 16);
        pm.fill(Qt::green);
        monitor->icon = QIcon(pm);
        make();
        QCOMPARE(insp->windowIcon().pixmap(16, 16).toImage().pixel(4, 4), QColor(Qt::green).rgb());
    }

    void groupingBoxFromTheSetting_data() {
        QTest::addColumn<bool>("stored");
        QTest::addColumn<SettingValue>("value");
        QTest::addColumn<bool>("checked");
        QTest::newRow("missing") << false << SettingValue() << false;
        QTest::newRow("true") << true << SettingValue(true) << true;
        QTest::newRow("1") << true << SettingValue(1) << true;
        QTest::newRow("text") << true << SettingValue("evet") << true;
        QTest::newRow("false") << true << SettingValue(false) << false;
        QTest::newRow("0") << true << SettingValue(0) << false;
        QTest::newRow("empty text") << true << SettingValue("") << false;
        QTest::newRow("null") << true << SettingValue() << false;
    }
    void groupingBoxFromTheSetting() {
        QFETCH(bool, stored);
        QFETCH(SettingValue, value);
        QFETCH(bool, checked);
        if (stored) monitor->store.values["group_by_app"] = value;
        make();
        QCOMPARE(group_box()->isChecked(), checked);
        QCOMPARE(insp->group_checked(), checked);
        QVERIFY(monitor->store.writes.empty());
        QVERIFY(monitor->calls.isEmpty());
    }

    // The action buttons' look: the face in the first colour and the text in
    // the second; under the pointer the face takes the border colour and the
    // text turns dark.
    void actionButtonStyle() {
        QPushButton b(QStringLiteral("Sonlandır"));
        b.setStyleSheet(VyrProcessInspectorDialog::_action_btn_style("#FEF2F2", "#DC2626", "#4A3339"));
        b.resize(120, 28);
        b.show();
        QVERIFY(QTest::qWaitForWindowExposed(&b));
        QCOMPARE(face(&b), QColor("#FEF2F2"));
        QCOMPARE(vyr::test::painting_of(&b).colour_of("Sonlandır"), QColor("#DC2626"));
        QCOMPARE(b.grab().toImage().pixelColor(60, 0), QColor("#4A3339"));  // the 1 px border
        vyr::test::hover(&b);
        QCOMPARE(face(&b), QColor("#4A3339"));
        QCOMPARE(vyr::test::painting_of(&b).colour_of("Sonlandır"), QColor("#0F172A"));
    }

    void selectTab_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("active_tab");
        QTest::addColumn<int>("scans");
        QTest::newRow("cpu") << "cpu" << "İşlemci (CPU) Yükü ve Çekirdekler" << "cpu" << 0;
        QTest::newRow("disk scans folders") << "disk" << "Hafıza (Disk Doluluk & Okuma/Yazma)" << "disk" << 1;
        QTest::newRow("ram") << "ram" << "Bellek (RAM) Kullanımı" << "ram" << 0;
        QTest::newRow("swap") << "swap" << "Swap (Takas Belleği) Durumu" << "swap" << 0;
        QTest::newRow("workload") << "workload" << "Genel İş Yükü & Ruvivu Dengesi" << "workload" << 0;
        QTest::newRow("unknown key") << "net" << "Genel İş Yükü & Ruvivu Dengesi" << "" << 0;
        QTest::newRow("other case is no disk") << "DISK" << "Genel İş Yükü & Ruvivu Dengesi" << "" << 0;
    }
    void selectTab() {
        QFETCH(QString, key);
        QFETCH(QString, title);
        QFETCH(QString, active_tab);
        QFETCH(int, scans);
        insp->select_metric_tab(key);
        QCOMPARE(insp->active_metric(), key);
        QCOMPARE(engine->scans, scans);
        QCOMPARE(monitor->calls, QStringList{kSync});
        insp->show();
        QVERIFY(QTest::qWaitForWindowExposed(insp.get()));
        QCOMPARE(heading(), title);
        // Only the active tab is filled green, and only the others answer the pointer.
        for (int i = 0; i < kTabKeys.size(); ++i) {
            QPushButton* tab = vyr::test::with_text<QPushButton>(insp.get(), kTabTitles[i]);
            const bool active = kTabKeys[i] == active_tab;
            QCOMPARE(face(tab), QColor(active ? "#15803D" : "#FFFFFF"));
            vyr::test::hover(tab);
            QCOMPARE(face(tab), QColor(active ? "#15803D" : "#ECFDF5"));
        }
    }

    void tabButtonsSelectTheirOwnMetric() {
        QTest::mouseClick(vyr::test::with_text<QPushButton>(insp.get(), kTabTitles[2]), Qt::LeftButton);
        QCOMPARE(insp->active_metric(), QStringLiteral("ram"));
        QTest::mouseClick(vyr::test::with_text<QPushButton>(insp.get(), "Hafıza (Disk)"), Qt::LeftButton);
        QTest::mouseClick(vyr::test::with_text<QPushButton>(insp.get(), "Hafıza (Disk)"), Qt::LeftButton);
        QCOMPARE(insp->active_metric(), QStringLiteral("disk"));
        QCOMPARE(engine->scans, 2);  // the engine decides whether a second scan runs
        QCOMPARE(monitor->calls, (QStringList{kSync, kSync, kSync}));
    }

    void pauseAndResume() {
        insp->show();
        fill({proc(10, "a"), proc(20, "b")});
        const QString primary = summary_primary();
        QTest::mouseClick(button("Duraklat"), Qt::LeftButton);
        QVERIFY(insp->is_paused());
        QPushButton* resume = button("Devam Et");
        QVERIFY(resume);
        QCOMPARE(face(resume), QColor("#ECFDF5"));
        QCOMPARE(vyr::test::painting_of(resume).colour_of("Devam Et"), QColor("#15803D"));
        QCOMPARE(monitor->calls, QStringList{kSync});
        // Paused: samples change nothing.
        auto s = sample();
        s.overall_workload_percent = 99;
        insp->update_data(s, {proc(30, "c")});
        QCOMPARE(summary_primary(), primary);
        QCOMPARE(pids(), (QStringList{"10", "20"}));
        // Hidden and opened again: still paused.
        insp->hide_inspector();
        insp->show();
        QVERIFY(button("Devam Et"));
        QTest::mouseClick(button("Devam Et"), Qt::LeftButton);
        QVERIFY(!insp->is_paused());
        QPushButton* pause = button("Duraklat");
        QVERIFY(pause);
        QCOMPARE(face(pause), QColor("#FFFFFF"));
        QCOMPARE(vyr::test::painting_of(pause).colour_of("Duraklat"), QColor("#0F172A"));
        insp->update_data(s, {proc(30, "c")});
        QCOMPARE(pids(), QStringList{"30"});
    }

    void hiddenRefreshChangesNothing() {
        insp->update_data(sample(), {proc(1, "a")});
        insp->show();
        QCOMPARE(summary_primary(), QStringLiteral("-"));
        QCOMPARE(table()->model()->rowCount(), 0);
    }

    void groupingToggleWritesTheSetting() {
        insp->show();
        QTest::mouseClick(group_box(), Qt::LeftButton);
        QCOMPARE(monitor->store.writes.size(), std::size_t(1));
        QCOMPARE(monitor->store.writes[0].first, std::string("group_by_app"));
        QCOMPARE(monitor->store.writes[0].second, SettingValue(true));
        QTest::mouseClick(group_box(), Qt::LeftButton);
        QCOMPARE(monitor->store.writes.back().second, SettingValue(false));
        QVERIFY(!insp->group_checked());
        QCOMPARE(monitor->calls, (QStringList{kSync, kSync}));
    }

    void everySearchChangeSyncsTheWorker() {
        QTest::keyClicks(search_field(), QStringLiteral("fx"));
        QCOMPARE(insp->search_text(), QStringLiteral("fx"));
        search_field()->clear();
        search_field()->clear();  // no change, no call
        QCOMPARE(monitor->calls, (QStringList{kSync, kSync, kSync}));
    }

    void hidePaths_data() {
        QTest::addColumn<QString>("path");
        QTest::newRow("close button") << "button";
        QTest::newRow("Escape") << "escape";
        QTest::newRow("window close") << "close";
    }
    void hidePaths() {
        QFETCH(QString, path);
        insp->show();
        insp->select_metric_tab(QStringLiteral("swap"));
        search_field()->setText(QStringLiteral("fire"));
        monitor->calls.clear();
        QSignalSpy closed(insp.get(), &VyrProcessInspectorDialog::closed_signal);
        bool visible_at_sync = true;
        if (path == "button") QTest::mouseClick(button("✕ Kapat"), Qt::LeftButton);
        if (path == "escape") QTest::keyClick(insp.get(), Qt::Key_Escape);
        if (path == "close") QVERIFY(insp->close() || !insp->isVisible());
        visible_at_sync = insp->isVisible();
        QVERIFY(!visible_at_sync);
        QCOMPARE(monitor->calls, QStringList{kSync});
        QCOMPARE(closed.count(), 1);
        QCOMPARE(insp->active_metric(), QStringLiteral("swap"));
        QCOMPARE(insp->search_text(), QStringLiteral("fire"));
    }

    void otherKeysAndMinimiseDoNotHide() {
        insp->show();
        QTest::keyClick(insp.get(), Qt::Key_Return);
        QVERIFY(insp->isVisible());
        QTest::mouseClick(button("—"), Qt::LeftButton);
        QVERIFY(insp->windowState() & Qt::WindowMinimized);
        QVERIFY(insp->isVisible());
        QVERIFY(monitor->calls.isEmpty());
    }

    void summaryTexts_data() {
        QTest::addColumn<QString>("tab");
        QTest::addColumn<SystemMetricsSnapshot>("snap");
        QTest::addColumn<std::vector<FolderUsageInfo>>("scanned");
        QTest::addColumn<QString>("primary");
        QTest::addColumn<QString>("secondary");
        const auto s = sample();
        const QString workload_primary = "Genel İş Yükü: %41.2 (Dengeli)   |   Çalışma Süresi: 1 gün 02:03";
        const QString workload_secondary = "Özet: CPU %23.4  •  RAM %46.6  •  Takas %2.5  •  Disk %50.0";
        QTest::newRow("workload") << "workload" << s << folders(0) << workload_primary << workload_secondary;
        QTest::newRow("unknown key shows the workload") << "net" << s << folders(0) << workload_primary
                                                        << workload_secondary;
        QTest::newRow("cpu with 8 cores")
            << "cpu" << s << folders(0)
            << "Toplam İşlemci Yükü: %23.4   |   Frekans: 2.40 GHz   |   Çekirdek: 4 Fiziksel / 8 Mantıksal"
            << "Çekirdek Dağılımı: C1:%10  C2:%12  C3:%3  C4:%4  C5:%5  C6:%6  C7:%7  C8:%100";
        auto nine = s;
        nine.cpu_per_core.push_back(50);
        nine.cpu_freq_mhz = 0;
        QTest::newRow("cpu with 9 cores")
            << "cpu" << nine << folders(0)
            << "Toplam İşlemci Yükü: %23.4   |   Frekans: 0.00 GHz   |   Çekirdek: 4 Fiziksel / 8 Mantıksal"
            << "Çekirdek Dağılımı: C1:%10  C2:%12  C3:%3  C4:%4  C5:%5  C6:%6  C7:%7  C8:%100 ...";
        auto none = s;
        none.cpu_per_core.clear();
        QTest::newRow("cpu without cores")
            << "cpu" << none << folders(0)
            << "Toplam İşlemci Yükü: %23.4   |   Frekans: 2.40 GHz   |   Çekirdek: 4 Fiziksel / 8 Mantıksal"
            << "Çekirdek Dağılımı: ";
        QTest::newRow("ram") << "ram" << s << folders(0)
                             << "Kullanılan RAM: 7.12 GB / 15.50 GB (%46.6)   |   Kullanılabilir (Boş): 8.38 GB"
                             << "Önbellek: 2.50 GB — Aşağıda en çok bellek kullanan programlar sıralanmaktadır.";
        QTest::newRow("swap") << "swap" << s << folders(0)
                              << "Takas Belleği Kullanımı: 0.05 GB (51 MB) / 2.00 GB (%2.5)   |   Boş: 1.95 GB"
                              << "Toplam Giriş: 10 MB  |  Çıkış: 12 MB — Aşağıda takas belleğini kullanan işlemler sıralanmaktadır.";
        const QString disk_primary =
            "Disk Doluluğu: %50.0 (237.6 / 475.3 GB, Boş: 237.7 GB)   |   Anlık Okuma: 1.12 MB/\u2060s  •  Yazma: "
            "0.50 MB/\u2060s";  // a word joiner keeps each unit on one line
        QTest::newRow("disk before a folder scan")
            << "disk" << s << folders(0) << disk_primary
            << "Bölümler: / (/dev/sda1): 237.6/475.3 GB (%50.0)  •  /boot (/dev/sda2): 0.2/1.0 GB (%25.0)  •  "
               "/home (/dev/sdb1): 100.0/900.0 GB (%11.1)\nKlasör Dağılımı: Klasör boyutları hesaplanıyor...";
        auto bare = s;
        bare.partitions.clear();
        QTest::newRow("disk without partitions, five folders")
            << "disk" << bare << folders(5) << disk_primary
            << "Bölümler: \nKlasör Dağılımı: Belgeler: 12.5 GB  |  İndirilenler: 3.1 GB  |  Masaüstü: 900 MB  |  "
               "Resimler: 450 MB";
        auto odd = s;
        odd.partitions.resize(1);
        odd.partitions[0].mountpoint = "/media/<b>usb</b>";
        odd.workload_label = "<i>x</i>";
        QTest::newRow("mount texts as they stand")
            << "disk" << odd << folders(1) << disk_primary
            << "Bölümler: /media/<b>usb</b> (/dev/sda1): 237.6/475.3 GB (%50.0)\nKlasör Dağılımı: Belgeler: 12.5 GB";
    }
    void summaryTexts() {
        QFETCH(QString, tab);
        QFETCH(SystemMetricsSnapshot, snap);
        QFETCH(std::vector<FolderUsageInfo>, scanned);
        QFETCH(QString, primary);
        QFETCH(QString, secondary);
        engine->folders = scanned;
        insp->select_metric_tab(tab);
        insp->show();
        insp->update_data(snap, {});
        QCOMPARE(summary_primary(), primary);
        QCOMPARE(summary_secondary(), secondary);
        // Markup in the texts is shown as it stands.
        for (const QString& text : {primary, secondary})
            QCOMPARE(vyr::test::with_text<QLabel>(insp.get(), text)->textFormat(), Qt::PlainText);
        QCOMPARE(engine->folder_reads, tab == "disk" ? 1 : 0);
        QCOMPARE(table()->model()->rowCount(), 0);
    }

    // With the fonts the program ships, on every tab: the window keeps its
    // 780 x 530 (the header's hint wraps instead of widening it), and the
    // screen clamp's 776 px on an 800 px wide screen hold as well.
    void designedSizeHoldsOnEveryTab() {
        QFontDatabase::addApplicationFont(QStringLiteral(VYR_TEST_INTER));
        make();  // built with Inter there
        for (const char* key : {"workload", "cpu", "ram", "disk", "swap"}) {
            insp->select_metric_tab(QString::fromLatin1(key));
            insp->resize(780, 530);
            insp->show();
            insp->update_data(sample(), {proc(7, "x")});
            QCoreApplication::processEvents();
            QLabel* hint = vyr::test::with_text<QLabel>(insp.get(), kHint);
            QVERIFY(hint);
            QCOMPARE(QFontInfo(hint->font()).family(), QStringLiteral("Inter"));
            QCOMPARE(insp->size(), QSize(780, 530));
            QVERIFY2(insp->minimumSizeHint().width() <= 776, key);
            insp->setGeometry(12, 8, 776, 530);
            QCOMPARE(insp->width(), 776);
            QCOMPARE(lines().value(1), kHint);  // wrapped, the whole hint is there
            insp->hide();
        }
    }

    // Wrapped at any width, the disk summary never parts "MB/s" after its slash.
    void diskRatesStayWhole() {
        insp->select_metric_tab(QStringLiteral("disk"));
        insp->show();
        insp->update_data(sample(), {});
        const QString text = summary_primary();
        QLabel* label = vyr::test::with_text<QLabel>(insp.get(), text);
        QVERIFY(label && label->wordWrap());
        QTextOption wrap;
        wrap.setWrapMode(QTextOption::WordWrap);  // as a word-wrapping label lays out plain text
        for (int width = 40; width <= 760; width += 2) {
            QTextLayout layout(text, label->font());
            layout.setTextOption(wrap);
            layout.beginLayout();
            for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
                line.setLineWidth(width);
                const int end = line.textStart() + line.textLength();
                QVERIFY2(end >= text.size() || text.at(end) != QLatin1Char('s') ||
                             !text.left(end).contains(QRegularExpression(QStringLiteral("MB/\\W?$"))),
                         qPrintable(QStringLiteral("%1 px: %2").arg(width).arg(text.left(end))));
            }
            layout.endLayout();
        }
    }

    void cells_data() {
        QTest::addColumn<ProcessEntry>("entry");
        QTest::addColumn<int>("column");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("colour");
        auto p = [](auto change) {
            ProcessEntry e = proc(4242, "firefox-bin", "Firefox (3)");
            e.disk_total_mb = 2.5;
            change(e);
            return e;
        };
        auto same = [](ProcessEntry&) {};
        QTest::newRow("pid") << p(same) << 0 << "4242" << "#475569";
        QTest::newRow("display name") << p(same) << 1 << "Firefox (3)" << "#0F172A";
        QTest::newRow("user") << p(same) << 2 << "ayse" << "#475569";
        QTest::newRow("score 30 red") << p([](auto& e) { e.workload_score = 30; }) << 3 << "30.0 p" << "#DC2626";
        QTest::newRow("score 12 amber") << p([](auto& e) { e.workload_score = 12; }) << 3 << "12.0 p" << "#D97706";
        QTest::newRow("score below 12 green") << p([](auto& e) { e.workload_score = 11.99; }) << 3 << "12.0 p"
                                              << "#15803D";
        QTest::newRow("cpu 25 red") << p([](auto& e) { e.cpu_percent = 25; }) << 4 << "%25.0" << "#DC2626";
        QTest::newRow("cpu 8 blue") << p([](auto& e) { e.cpu_percent = 8; }) << 4 << "%8.0" << "#0284C7";
        QTest::newRow("cpu below 8 slate") << p([](auto& e) { e.cpu_percent = 7.95; }) << 4 << "%8.0" << "#334155";
        QTest::newRow("ram 10 indigo") << p([](auto& e) {
            e.ram_percent = 10;
            e.ram_mb = 512.5;
        }) << 5 << "512 MB (%10.0)" << "#4F46E5";
        QTest::newRow("ram below 10 slate") << p([](auto& e) {
            e.ram_percent = 9.95;
            e.ram_mb = 513.5;
        }) << 5 << "514 MB (%9.9)" << "#334155";
        QTest::newRow("swap 0 grey") << p(same) << 6 << "0.0 MB" << "#475569";
        QTest::newRow("swap above 0 violet") << p([](auto& e) { e.swap_mb = 0.04; }) << 6 << "0.0 MB" << "#7C3AED";
        QTest::newRow("io 1024 in MB/s") << p([](auto& e) { e.disk_rw_kb_s = 1024; }) << 7 << "1.00 MB/s (2 MB)"
                                         << "#D97706";
        QTest::newRow("io 0.5 is 0 KB/s") << p([](auto& e) { e.disk_rw_kb_s = 0.5; }) << 7 << "0 KB/s (2 MB)"
                                          << "#475569";
        QTest::newRow("io 0.6 rounds to 1 KB/s") << p([](auto& e) { e.disk_rw_kb_s = 0.6; }) << 7 << "1 KB/s (2 MB)"
                                                 << "#475569";
        QTest::newRow("io 100 grey") << p([](auto& e) { e.disk_rw_kb_s = 100; }) << 7 << "100 KB/s (2 MB)"
                                     << "#475569";
        QTest::newRow("io above 100 amber") << p([](auto& e) { e.disk_rw_kb_s = 100.5; }) << 7 << "100 KB/s (2 MB)"
                                            << "#D97706";
        QTest::newRow("io 1023.9 still KB/s") << p([](auto& e) { e.disk_rw_kb_s = 1023.9; }) << 7
                                              << "1024 KB/s (2 MB)" << "#D97706";
    }
    void cells() {
        QFETCH(ProcessEntry, entry);
        QFETCH(int, column);
        QFETCH(QString, text);
        QFETCH(QString, colour);
        insp->show();
        fill({entry});
        QTableView* t = table();
        QCOMPARE(t->model()->rowCount(), 1);
        QCOMPARE(vyr::test::cell(t, 0, column).toString(), text);
        QCOMPARE(vyr::test::cell(t, 0, column, Qt::ForegroundRole).value<QBrush>().color(), QColor(colour));
        QCOMPARE(vyr::test::cell(t, 0, column, Qt::FontRole).value<QFont>(), make_clean_font(10));
        const QVariant align = vyr::test::cell(t, 0, column, Qt::TextAlignmentRole);
        if (column == 1)
            QVERIFY(!align.isValid());  // the table's own alignment
        else
            QCOMPARE(align.toInt(), column == 0 || column == 2 ? int(Qt::AlignCenter)
                                                               : int(Qt::AlignRight | Qt::AlignVCenter));
        QCOMPARE(t->rowHeight(0), 28);
        // As painted: the text in its colour.
        QCOMPARE(vyr::test::painting_of(t->viewport()).colour_of(text), QColor(colour));
    }

    // A refresh writes only the cells whose text, colour or hidden data
    // changed; the others are left alone (no change signal, no repaint).
    void onlyChangedCellsAreRewritten_data() {
        QTest::addColumn<std::vector<ProcessEntry>>("after");
        QTest::addColumn<QStringList>("changed");  // "row,column"
        QTest::addColumn<bool>("texts");           // a text changes: columns may be fitted anew
        const std::vector<ProcessEntry> same = three();
        QTest::newRow("nothing changes") << same << QStringList{} << false;
        auto cpu = same;
        cpu[1].cpu_percent = 19.04;  // "%19.0" in blue, as before
        QTest::newRow("a figure that shows the same") << cpu << QStringList{} << false;
        cpu[1].cpu_percent = 25.0;  // "%25.0" in red
        QTest::newRow("one figure and its colour") << cpu << QStringList{"1,4"} << true;
        auto colour = same;
        colour[0].swap_mb = 0.01;  // "0.0 MB" in violet
        QTest::newRow("a colour alone") << colour << QStringList{"0,6"} << false;
        auto status = same;
        status[2].status = "stopped";
        QTest::newRow("the tool tip of a name") << status << QStringList{"2,1"} << false;
        auto swapped = same;
        std::swap(swapped[0], swapped[1]);
        QStringList both;
        for (int r : {0, 1})
            for (int c : {0, 1, 3, 4, 5, 7}) both << QStringLiteral("%1,%2").arg(r).arg(c);  // user and swap alike
        QTest::newRow("two rows change places") << swapped << both << true;
        auto renamed = same;
        renamed[2].name = "bash-5";  // shown name unchanged, the name kept for the end action changes
        QTest::newRow("the kept process name") << renamed << QStringList{"2,0"} << false;
        QTest::newRow("a row dropped") << std::vector<ProcessEntry>(same.begin(), same.begin() + 2) << QStringList{}
                                       << true;
    }
    void onlyChangedCellsAreRewritten() {
        QFETCH(std::vector<ProcessEntry>, after);
        QFETCH(QStringList, changed);
        QFETCH(bool, texts);
        insp->resize(1200, 530);
        insp->show();
        QVERIFY(QTest::qWaitForWindowExposed(insp.get()));
        fill(three());
        {
            // Until the first fill is painted whole, however slow the machine:
            // a loaded machine can leave a late paint behind one quiet pause.
            vyr::test::PaintCounter settling(table()->viewport());
            for (int quiet = 0; quiet < 4;) {
                settling.count = 0;
                QTest::qWait(50);
                quiet = settling.count > 0 ? 0 : quiet + 1;
            }
        }
        QAbstractItemModel* model = table()->model();
        QSet<QString> written;
        QObject listening;  // the connections end with it, whatever check fails
        connect(model, &QAbstractItemModel::dataChanged, &listening, [&](const QModelIndex& a, const QModelIndex& b) {
            for (int r = a.row(); r <= b.row(); ++r)
                for (int c = a.column(); c <= b.column(); ++c) written << QStringLiteral("%1,%2").arg(r).arg(c);
        });
        int rebuilt = 0;
        connect(model, &QAbstractItemModel::modelReset, &listening, [&] { ++rebuilt; });
        connect(model, &QAbstractItemModel::layoutChanged, &listening, [&] { ++rebuilt; });
        vyr::test::PaintCounter painted(table()->viewport());
        vyr::test::PaintCounter header_painted(table()->horizontalHeader()->viewport());
        fill(after);
        QTest::qWait(50);
        QCOMPARE(written, QSet<QString>(changed.begin(), changed.end()));
        QCOMPARE(rebuilt, 0);
        if (after.size() == three().size() && changed.isEmpty())
            QCOMPARE(painted.count, 0);  // nothing to show anew
        else
            QVERIFY(painted.count > 0);
        if (!texts) QCOMPARE(header_painted.count, 0);  // no column is fitted again
        QCOMPARE(pids(), [&] {
            QStringList out;
            for (const ProcessEntry& e : after) out << QString::number(e.pid);
            return out;
        }());
    }

    void aRefreshShowsWhatAFirstFillShows_data() {
        QTest::addColumn<std::vector<ProcessEntry>>("before");
        QTest::addColumn<std::vector<ProcessEntry>>("after");
        auto hot = [](long long pid, const char* name) {
            ProcessEntry e = proc(pid, name, "Sıcak <i>iş</i>");
            e.workload_score = 45;
            e.cpu_percent = 60;
            e.ram_percent = 20;
            e.ram_mb = 2048;
            e.swap_mb = 12;
            e.disk_rw_kb_s = 4096;
            e.disk_total_mb = 900;
            e.username = "root";
            e.status = "sleeping";
            return e;
        };
        auto calm = [](long long pid, const char* name) {
            ProcessEntry e = proc(pid, name);
            e.workload_score = 1;
            e.cpu_percent = 0.5;
            return e;
        };
        QTest::newRow("every value changes") << std::vector<ProcessEntry>{hot(1, "a"), calm(2, "b")}
                                             << std::vector<ProcessEntry>{calm(3, "c"), hot(4, "d")};
        QTest::newRow("rows added") << std::vector<ProcessEntry>{hot(1, "a")}
                                    << std::vector<ProcessEntry>{calm(1, "a"), hot(2, "b"), calm(3, "c")};
        QTest::newRow("rows dropped") << std::vector<ProcessEntry>{hot(1, "a"), hot(2, "b"), hot(3, "c")}
                                      << std::vector<ProcessEntry>{calm(2, "b")};
        QTest::newRow("nothing changes") << std::vector<ProcessEntry>{hot(1, "a"), calm(2, "b")}
                                         << std::vector<ProcessEntry>{hot(1, "a"), calm(2, "b")};
    }
    void aRefreshShowsWhatAFirstFillShows() {
        // Cells are changed in place from one refresh to the next: nothing of
        // the earlier rows may stay behind.
        QFETCH(std::vector<ProcessEntry>, before);
        QFETCH(std::vector<ProcessEntry>, after);
        insp->show();
        fill(before);
        fill(after);
        VyrProcessInspectorDialog fresh(engine.get(), &monitor->store, monitor.get());
        fresh.show();
        fresh.update_data(sample(), after);
        QTableView* got = table();
        QTableView* want = vyr::test::table_of(&fresh);
        QCOMPARE(got->model()->rowCount(), want->model()->rowCount());
        QApplication::processEvents();
        for (int c = 0; c < kColumnTitles.size(); ++c) QCOMPARE(got->columnWidth(c), want->columnWidth(c));
        const int roles[] = {Qt::DisplayRole, Qt::ForegroundRole, Qt::FontRole, Qt::TextAlignmentRole,
                             Qt::ToolTipRole, Qt::UserRole, VyrProcessInspectorDialog::ProcessNameRole};
        for (int r = 0; r < want->model()->rowCount(); ++r) {
            QCOMPARE(got->rowHeight(r), want->rowHeight(r));
            for (int c = 0; c < kColumnTitles.size(); ++c)
                for (int role : roles)
                    QVERIFY2(vyr::test::cell(got, r, c, role) == vyr::test::cell(want, r, c, role),
                             qPrintable(QStringLiteral("row %1 column %2 role %3").arg(r).arg(c).arg(role)));
        }
    }

    void columnsFitTheirContentsAfterEachRefresh() {
        // Wide enough for every column's contents whatever the fonts, so the
        // name column has room left to take.
        insp->resize(1200, 530);
        insp->show();
        QTableView* t = table();
        QHeaderView* hdr = t->horizontalHeader();
        ProcessEntry e = proc(7, "x");
        fill({e});
        const int narrow = t->columnWidth(2);
        e.username = "çok-uzun-bir-kullanıcı-adı";
        fill({e});
        const int wide = t->columnWidth(2);
        QVERIFY2(wide > narrow + 50, qPrintable(QStringLiteral("%1 -> %2").arg(narrow).arg(wide)));
        QVERIFY(wide >= QFontMetrics(make_clean_font(10)).horizontalAdvance(qs(e.username)));
        e.username = "ayse";
        fill({e});
        QCOMPARE(t->columnWidth(2), narrow);
        // The name column takes the rest of the width.
        QCOMPARE(hdr->length(), t->viewport()->width());
    }

    void rowsKeepPidAndNameAndShowCommandsLiterally() {
        insp->show();
        ProcessEntry e = proc(77, "sh", "sh (2)");
        e.cmdline = "sh -c 'echo <b>x</b>'";
        e.status = "a < b > c";
        fill({e});
        QCOMPARE(vyr::test::cell(table(), 0, 0, Qt::UserRole).toLongLong(), 77LL);
        QCOMPARE(vyr::test::cell(table(), 0, 0, VyrProcessInspectorDialog::ProcessNameRole).toString(),
                 QStringLiteral("sh"));
        QTextDocument doc;
        doc.setHtml(vyr::test::cell(table(), 0, 1, Qt::ToolTipRole).toString());
        QString shown = doc.toPlainText();
        shown.replace(QChar(0x00A0), QLatin1Char(' '));
        QCOMPARE(shown, QStringLiteral("Komut: sh -c 'echo <b>x</b>'\nDurum: a < b > c"));
    }

    // A text longer than 512 characters is cut, after whole characters, where
    // it is laid out (cell and tool tip); the name the end action hands to the
    // engine is the entry's own, whole and byte for byte.
    void longAndUndecodableNames_data() {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("shown");
        QTest::newRow("512 characters") << QByteArray(512, 'n') << QString(512, QLatin1Char('n'));
        QTest::newRow("131000 characters") << QByteArray(131000, 'n') << QString(512, QLatin1Char('n')) + QChar(0x2026);
        QTest::newRow("two-byte characters") << QByteArray("\xc3\xbc").repeated(600)
                                             << QString(512, QChar(0xFC)) + QChar(0x2026);
        QTest::newRow("not UTF-8") << QByteArray("\xff\x80" "bad") << QString::fromUtf8("\xff\x80" "bad");
        QTest::newRow("Latin-1") << QByteArray("lat\xe9n1") << QString::fromUtf8("lat\xe9n1");
    }
    void longAndUndecodableNames() {
        QFETCH(QByteArray, name);
        QFETCH(QString, shown);
        insp->show();
        ProcessEntry e = proc(42, "x");
        e.name = e.display_name = e.cmdline = name.toStdString();
        fill({e, proc(43, "y")});
        QCOMPARE(vyr::test::cell(table(), 0, 1).toString(), shown);
        QTextDocument doc;
        doc.setHtml(vyr::test::cell(table(), 0, 1, Qt::ToolTipRole).toString());
        QCOMPARE(doc.toPlainText(), QStringLiteral("Komut: ") + shown + QStringLiteral("\nDurum: running"));
        select_pid(42);
        boxes.answer = QMessageBox::Yes;
        // The engine's answer names the process in full; the footer keeps its
        // PID and outcome and shortens the name where the line is too short.
        const QString tail = QStringLiteral("' (PID 42) zorla kapatıldı (SIGKILL).");
        engine->result = {true, "'" + name.toStdString() + tail.toStdString()};
        QTest::mouseClick(button("Zorla Kapat"), Qt::LeftButton);
        QCOMPARE(boxes.calls[0].text,
                 QStringLiteral("'") + shown + QStringLiteral("' (PID: 42) işlemini zorla kapatmak istediğinize emin misiniz?"));
        QCOMPARE(engine->terminations.size(), std::size_t(1));
        QCOMPARE(engine->terminations[0].expected_name, name.toStdString());
        QVERIFY2(footer().startsWith(QStringLiteral("'") + shown.left(8)) && footer().endsWith(tail),
                 qPrintable(footer()));
        QCOMPARE(insp->width(), 780);
    }

    // The footer is laid out within the window's width and never widens it:
    // an answer too long for the line is shortened in its middle, within the
    // name when it names a process, so that the PID and the outcome stay whole;
    // the tool tip then holds it (its two ends when it is very long).
    void footerKeepsTheWindowItsWidth_data() {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("head");  // what the footer starts with
        QTest::addColumn<QString>("tail");  // and ends with
        QTest::addColumn<QString>("tip");   // the tool tip, as text
        const QString term = QStringLiteral("' (PID 4242) sonlandırma sinyali gönderildi (SIGTERM).");
        const QString kill = QStringLiteral("' (PID 77) zorla kapatıldı (SIGKILL).");
        const QString name200 = QStringLiteral("uzun-") + QString(195, QLatin1Char('a'));
        const QString name131k(131000, QLatin1Char('n'));
        QTest::newRow("a name of 200 characters")
            << QStringLiteral("'") + name200 + term << QStringLiteral("'uzun-aaa") << term
            << QStringLiteral("'") + name200 + term;
        QTest::newRow("a name of 131000 characters")
            << QStringLiteral("'") + name131k + kill << QStringLiteral("'nnnn") << kill
            << QStringLiteral("'") + QString(255, QLatin1Char('n')) + QChar(0x2026) +
                   QString(256 - kill.size(), QLatin1Char('n')) + kill;
        const QString own_words = QStringLiteral("x' (PID 1) zorla kapatıldı ") + QString(200, QLatin1Char('y'));
        QTest::newRow("a name holding the engine's words")
            << QStringLiteral("'") + own_words + kill << QStringLiteral("'x' (PID 1)") << kill
            << QStringLiteral("'") + own_words + kill;
        const QString error = QStringLiteral("Hata: ") + QString(300, QLatin1Char('e')) + QStringLiteral(" sonu");
        QTest::newRow("a long error") << error << QStringLiteral("Hata: eee") << QStringLiteral("eee sonu") << error;
        QTest::newRow("a short answer") << QStringLiteral("PID 4242 artık çalışmıyor.")
                                        << QStringLiteral("PID 4242 artık çalışmıyor.")
                                        << QStringLiteral("PID 4242 artık çalışmıyor.") << QString();
    }
    void footerKeepsTheWindowItsWidth() {
        QFETCH(QString, message);
        QFETCH(QString, head);
        QFETCH(QString, tail);
        QFETCH(QString, tip);
        insp->show();
        fill({proc(4242, "sleep")});
        select_pid(4242);
        boxes.answer = QMessageBox::Yes;
        engine->result = {true, message.toStdString()};
        QTest::mouseClick(button("Sonlandır"), Qt::LeftButton);
        QCOMPARE(engine->terminations.size(), std::size_t(1));
        for (const int width : {780, 600}) {
            insp->resize(width, 530);
            for (int reopened = 0; reopened < 2; ++reopened) {
                const QString shown = footer();
                QCOMPARE(insp->width(), width);
                QVERIFY(insp->minimumSizeHint().width() <= width);
                QLabel* label = vyr::test::with_text<QLabel>(insp.get(), shown);
                QVERIFY(label);
                QVERIFY2(label->fontMetrics().horizontalAdvance(shown) <= label->contentsRect().width(),
                         qPrintable(shown));
                QVERIFY2(shown.startsWith(head) && shown.endsWith(tail), qPrintable(shown));
                QTextDocument doc;
                doc.setHtml(label->toolTip());
                QCOMPARE(doc.toPlainText().replace(QChar(0x00A0), QLatin1Char(' ')), tip);
                insp->hide();
                insp->show();
            }
        }
    }

    void selectionFollowsTheProcess_data() {
        QTest::addColumn<QList<qlonglong>>("before");
        QTest::addColumn<qlonglong>("selected");  // -1: none
        QTest::addColumn<QList<qlonglong>>("after");
        QTest::addColumn<int>("row");  // -1: nothing selected
        QTest::newRow("moved down") << QList<qlonglong>{10, 20, 30} << 20LL << QList<qlonglong>{30, 10, 20} << 2;
        QTest::newRow("stays put") << QList<qlonglong>{10, 20, 30} << 20LL << QList<qlonglong>{10, 20, 30} << 1;
        QTest::newRow("gone") << QList<qlonglong>{10, 20, 30} << 20LL << QList<qlonglong>{30, 10} << -1;
        QTest::newRow("gone while its row is still there")
            << QList<qlonglong>{10, 20, 30} << 30LL << QList<qlonglong>{40, 50, 60} << -1;
        QTest::newRow("list shrinks under the selection")
            << QList<qlonglong>{10, 20, 30} << 30LL << QList<qlonglong>{10} << -1;
        QTest::newRow("twice listed: the later row") << QList<qlonglong>{10, 20} << 20LL
                                                     << QList<qlonglong>{20, 5, 20} << 2;
        QTest::newRow("no selection stays none") << QList<qlonglong>{10, 20} << -1LL << QList<qlonglong>{20, 10}
                                                 << -1;
        QTest::newRow("emptied") << QList<qlonglong>{10, 20} << 10LL << QList<qlonglong>{} << -1;
    }
    void selectionFollowsTheProcess() {
        QFETCH(QList<qlonglong>, before);
        QFETCH(qlonglong, selected);
        QFETCH(QList<qlonglong>, after);
        QFETCH(int, row);
        insp->show();
        std::vector<ProcessEntry> a, b;
        for (qlonglong pid : before) a.push_back(proc(pid, "p"));
        for (qlonglong pid : after) b.push_back(proc(pid, "p"));
        fill(a);
        if (selected >= 0) select_pid(selected);
        fill(b);
        QCOMPARE(table()->model()->rowCount(), after.size());
        QCOMPARE(selected_row(), row);
        if (row >= 0)
            QCOMPARE(*insp->_get_selected_pid(), (long long)selected);
        else
            QVERIFY(!insp->_get_selected_pid());
    }

    void pidComesFromTheSelectionNotTheCurrentCell() {
        insp->show();
        fill({proc(10, "a"), proc(20, "b")});
        QTableView* t = table();
        t->selectionModel()->setCurrentIndex(t->model()->index(1, 3), QItemSelectionModel::NoUpdate);
        t->clearSelection();
        QVERIFY(!insp->_get_selected_pid());
        vyr::test::click_row(t, 0);
        QCOMPARE(*insp->_get_selected_pid(), 10LL);
    }

    void terminateWithoutASelection_data() {
        QTest::addColumn<bool>("force");
        QTest::newRow("Sonlandır") << false;
        QTest::newRow("Zorla Kapat") << true;
    }
    void terminateWithoutASelection() {
        QFETCH(bool, force);
        insp->show();
        fill({proc(10, "a")});
        QTest::mouseClick(button(force ? "Zorla Kapat" : "Sonlandır"), Qt::LeftButton);
        QCOMPARE(boxes.calls.size(), std::size_t(1));
        QCOMPARE(boxes.calls[0].kind, QStringLiteral("information"));
        QCOMPARE(boxes.calls[0].title, QStringLiteral("Vyr Ruvivu Zizodiro"));
        QCOMPARE(boxes.calls[0].text, QStringLiteral("Lütfen önce tablodan sonlandırmak istediğiniz işlemi seçin."));
        QVERIFY(engine->terminations.empty());
    }

    void terminateFlow_data() {
        QTest::addColumn<bool>("force");
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("question");
        QTest::addColumn<bool>("called");
        const QString end = "'Firefox (3)' (PID: 20) işlemini sonlandırmak istediğinize emin misiniz?";
        const QString kill = "'Firefox (3)' (PID: 20) işlemini zorla kapatmak istediğinize emin misiniz?";
        QTest::newRow("end, declined") << false << int(QMessageBox::No) << end << false;
        QTest::newRow("end, box closed") << false << int(QMessageBox::Cancel) << end << false;
        QTest::newRow("end, confirmed") << false << int(QMessageBox::Yes) << end << true;
        QTest::newRow("kill, confirmed") << true << int(QMessageBox::Yes) << kill << true;
        QTest::newRow("kill, declined") << true << int(QMessageBox::No) << kill << false;
    }
    void terminateFlow() {
        QFETCH(bool, force);
        QFETCH(int, answer);
        QFETCH(QString, question);
        QFETCH(bool, called);
        insp->show();
        fill({proc(10, "bash"), proc(20, "firefox-bin", "Firefox (3)")});
        select_pid(20);
        const QString before = footer();
        engine->result = {false, "PID 20 artık çalışmıyor."};
        boxes.answer = QMessageBox::StandardButton(answer);
        QTest::mouseClick(button(force ? "Zorla Kapat" : "Sonlandır"), Qt::LeftButton);
        QCOMPARE(boxes.calls.size(), std::size_t(1));
        QCOMPARE(boxes.calls[0].kind, QStringLiteral("question"));
        QCOMPARE(boxes.calls[0].title, QStringLiteral("İşlemi Sonlandır"));
        QCOMPARE(boxes.calls[0].text, question);
        QCOMPARE(boxes.calls[0].buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(boxes.calls[0].default_button, QMessageBox::No);
        QCOMPARE(engine->terminations.size(), std::size_t(called ? 1 : 0));
        if (called) {
            QCOMPARE(engine->terminations[0].pid, 20LL);
            QCOMPARE(engine->terminations[0].force, force);
            QCOMPARE(engine->terminations[0].expected_name, std::string("firefox-bin"));
            QCOMPARE(footer(), QStringLiteral("PID 20 artık çalışmıyor."));
        } else {
            QCOMPARE(footer(), before);
        }
        QCOMPARE(pids(), (QStringList{"10", "20"}));  // no refresh of its own
    }

    void refreshWhileTheQuestionIsOpen_data() {
        QTest::addColumn<QList<qlonglong>>("during");
        QTest::newRow("process moves") << QList<qlonglong>{20, 30, 10};
        QTest::newRow("process gone") << QList<qlonglong>{30, 10};
        QTest::newRow("list emptied") << QList<qlonglong>{};
    }
    void refreshWhileTheQuestionIsOpen() {
        QFETCH(QList<qlonglong>, during);
        insp->show();
        fill({proc(10, "bash"), proc(20, "firefox-bin")});
        select_pid(20);
        boxes.answer = QMessageBox::Yes;
        boxes.while_open = [&] {
            std::vector<ProcessEntry> v;
            for (qlonglong pid : during) v.push_back(proc(pid, "other"));
            fill(v);
        };
        QTest::mouseClick(button("Sonlandır"), Qt::LeftButton);
        QCOMPARE(engine->terminations.size(), std::size_t(1));
        QCOMPARE(engine->terminations[0].pid, 20LL);
        QCOMPARE(engine->terminations[0].expected_name, std::string("firefox-bin"));
    }

    void aVanishedSelectionIsNotTargeted() {
        // The selected process is gone and another took its row index.
        insp->show();
        fill({proc(10, "a"), proc(20, "b"), proc(30, "c")});
        select_pid(30);
        fill({proc(40, "d"), proc(50, "e"), proc(60, "f")});
        boxes.answer = QMessageBox::Yes;
        QTest::mouseClick(button("Zorla Kapat"), Qt::LeftButton);
        QCOMPARE(boxes.calls.size(), std::size_t(1));
        QCOMPARE(boxes.calls[0].kind, QStringLiteral("information"));
        QVERIFY(engine->terminations.empty());
    }

    void rowWithoutANameCell() {
        insp->show();
        fill({proc(20, "x")});
        select_pid(20);
        // As a refresh that stopped short of the name leaves a row.
        delete qobject_cast<QTableWidget*>(table())->takeItem(0, 1);
        boxes.answer = QMessageBox::No;
        QTest::mouseClick(button("Sonlandır"), Qt::LeftButton);
        QCOMPARE(boxes.calls[0].text, QStringLiteral("'20' (PID: 20) işlemini sonlandırmak istediğinize emin misiniz?"));
    }

    void markupInNamesAndMessagesStaysText() {
        insp->show();
        fill({proc(20, "x", "<b>x</b>")});
        select_pid(20);
        boxes.answer = QMessageBox::Yes;
        engine->result = {true, "'<b>x</b>' (PID 20) sonlandırma sinyali gönderildi (SIGTERM)."};
        QTest::mouseClick(button("Sonlandır"), Qt::LeftButton);
        QCOMPARE(boxes.calls[0].text, QStringLiteral("'<b>x</b>' (PID: 20) işlemini sonlandırmak istediğinize emin misiniz?"));
        const QString message = QStringLiteral("'<b>x</b>' (PID 20) sonlandırma sinyali gönderildi (SIGTERM).");
        QCOMPARE(footer(), message);
        QCOMPARE(vyr::test::with_text<QLabel>(insp.get(), message)->textFormat(), Qt::PlainText);
    }

    void qtBoxesUsePlainText() {
        // The real boxes: answered by a timer that presses No on the open box.
        QtMessageBoxes qt;
        QMessageBox* seen = nullptr;
        QTimer::singleShot(0, [&] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* box = qobject_cast<QMessageBox*>(w)) {
                    seen = box;
                    QCOMPARE(box->textFormat(), Qt::PlainText);
                    QCOMPARE(box->text(), QStringLiteral("a <b>b</b>"));
                    QCOMPARE(box->defaultButton(), box->button(QMessageBox::No));
                    box->button(QMessageBox::No)->click();
                }
        });
        const auto ans = qt.question(nullptr, QStringLiteral("t"), QStringLiteral("a <b>b</b>"),
                                     QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        QVERIFY(seen);
        QCOMPARE(ans, QMessageBox::No);
    }

    void dragByTheHeader() {
        insp->move(100, 100);
        insp->show();
        const QPoint start = insp->pos();
        // Below the header, or with the right button: no drag.
        for (const auto& [at, b] : {std::pair{QPoint(300, 69), Qt::LeftButton}, {QPoint(300, 30), Qt::RightButton}}) {
            vyr::test::press(insp.get(), at, b);
            vyr::test::move(insp.get(), at + QPoint(20, 10), Qt::LeftButton);
            vyr::test::release(insp.get(), at + QPoint(20, 10), b);
            QCOMPARE(insp->pos(), start);
        }
        vyr::test::press(insp.get(), QPoint(300, 68));
        vyr::test::move(insp.get(), QPoint(320, 78), Qt::LeftButton);
        QCOMPARE(insp->pos(), start + QPoint(20, 10));
        vyr::test::release(insp.get(), QPoint(320, 78));
        vyr::test::move(insp.get(), QPoint(400, 90), Qt::LeftButton);
        QCOMPARE(insp->pos(), start + QPoint(20, 10));
        // A press on the heading reaches the window too.
        QLabel* title = vyr::test::with_text<QLabel>(insp.get(), "Canlı Kaynak ve İşlem Denetçisi");
        vyr::test::press(title, QPoint(2, 2));
        vyr::test::move(title, QPoint(12, 7), Qt::LeftButton);
        QCOMPARE(insp->pos(), start + QPoint(30, 15));
    }
};

QTEST_MAIN(InspectorTest)
#include "inspector_test.moc"
