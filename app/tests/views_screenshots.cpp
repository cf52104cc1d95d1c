// Shows the capsule, the summary popup and the inspector filled with sample
// data and writes PNG pictures of them, for a look by eye:
//   views_screenshots OUTDIR [FONT.ttf]
// Run it on a real display (under xvfb-run -a with a window manager too).
#include <QApplication>
#include <QDir>
#include <QFontDatabase>
#include <QPainter>
#include <QScreen>
#include <QTableView>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>

#include <cstdio>

#include <QPushButton>

#include "test_support.hpp"
#include "vyr/app/capsule.hpp"
#include "vyr/app/inspector.hpp"
#include "vyr/app/popup.hpp"
#include "vyr/app/popup_row.hpp"

using namespace vyr::app;

namespace {

vyr::SystemMetricsSnapshot sample_snapshot() {
    vyr::SystemMetricsSnapshot s;
    s.overall_workload_percent = 42.5;
    s.workload_label = "Dengeli";
    s.workload_color = "#15803D";
    s.load_1m = 1.37;
    s.uptime_str = "2 gün 03:14";
    s.cpu_percent = 91.3;
    s.cpu_per_core = {12, 95, 40, 7, 88, 3, 61, 22, 14, 9};
    s.cpu_freq_mhz = 2893.4;
    s.cpu_count_physical = 6;
    s.cpu_count_logical = 12;
    s.ram_percent = 78.2;
    s.ram_used_gb = 12.4;
    s.ram_total_gb = 15.6;
    s.ram_avail_gb = 3.2;
    s.ram_cached_gb = 4.1;
    s.disk_percent = 61.0;
    s.disk_used_gb = 290.4;
    s.disk_total_gb = 475.9;
    s.disk_free_gb = 185.5;
    s.disk_read_mb_s = 12.3;
    s.disk_write_mb_s = 3.4;
    auto part = [](const char* mount, const char* dev, double used, double total) {
        vyr::DiskPartitionInfo p;
        p.mountpoint = mount;
        p.device = dev;
        p.used_gb = used;
        p.total_gb = total;
        p.percent = 100.0 * used / total;
        return p;
    };
    s.partitions = {part("/", "/dev/nvme0n1p2", 290.4, 475.9), part("/boot/efi", "/dev/nvme0n1p1", 0.1, 0.5),
                    part("/media/ayse/<USB>", "/dev/sdb1", 12.0, 58.0)};
    s.swap_percent = 12.5;
    s.swap_used_gb = 0.25;
    s.swap_used_mb = 256;
    s.swap_total_gb = 2.0;
    s.swap_free_gb = 1.75;
    s.swap_sin_mb = 120;
    s.swap_sout_mb = 340;
    return s;
}

std::vector<vyr::ProcessEntry> sample_processes() {
    struct Row {
        long long pid;
        const char* name;
        const char* display;
        const char* user;
        double score, cpu, ram_pct, ram_mb, swap_mb, io_kb_s, io_total;
        const char* cmd;
    };
    const Row rows[] = {
        {4242, "firefox-bin", "Firefox (12)", "ayse", 38.2, 31.5, 14.2, 2260, 120.5, 2300, 1840,
         "/usr/lib/firefox/firefox-bin -contentproc -childID 12 -isForBrowser"},
        {1733, "gnome-shell", "gnome-shell", "ayse", 16.4, 9.1, 3.4, 540, 0, 12.3, 310, "/usr/bin/gnome-shell"},
        {9120, "code", "Code (7)", "ayse", 13.1, 7.4, 9.8, 1530, 44.0, 150.2, 920, "/usr/share/code/code --type=renderer"},
        {812, "Xorg", "Xorg", "root", 7.7, 4.2, 1.1, 180, 0, 0.2, 12,
         "/usr/lib/xorg/Xorg vt2 -displayfd 3 -auth /run/user/1000/gdm/Xauthority"},
        {2311, "sh", "sh", "ayse", 5.0, 2.5, 0.1, 4, 0, 0.6, 0, "sh -c 'echo <b>x</b> | tee /tmp/a < b'"},
        {1, "systemd", "systemd", "root", 1.2, 0.1, 0.1, 12, 0, 0, 88, "/sbin/init splash"},
        {655, "pipewire", "pipewire", "ayse", 0.9, 0.4, 0.2, 28, 0, 0, 2, "/usr/bin/pipewire"},
    };
    std::vector<vyr::ProcessEntry> out;
    for (const Row& r : rows) {
        vyr::ProcessEntry e;
        e.pid = r.pid;
        e.name = r.name;
        e.display_name = r.display;
        e.username = r.user;
        e.status = "running";
        e.workload_score = r.score;
        e.cpu_percent = r.cpu;
        e.ram_percent = r.ram_pct;
        e.ram_mb = r.ram_mb;
        e.swap_mb = r.swap_mb;
        e.disk_rw_kb_s = r.io_kb_s;
        e.disk_total_mb = r.io_total;
        e.cmdline = r.cmd;
        out.push_back(e);
    }
    return out;
}

// The picture of a widget over a desktop-like backdrop, so transparent
// corners show as they would on a desktop.
void save(QWidget* w, const QString& path) {
    const QPixmap shot = w->grab();
    QImage img(shot.size() + QSize(24, 24), QImage::Format_RGB32);
    img.fill(QColor(QStringLiteral("#4B5D73")));
    QPainter p(&img);
    p.drawPixmap(12, 12, shot);
    p.end();
    if (!img.save(path)) std::fprintf(stderr, "could not write %s\n", qPrintable(path));
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTDIR [FONT.ttf]\n", argv[0]);
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(out);
    QFontDatabase::addApplicationFont(argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral(VYR_TEST_ROBOTO));

    vyr::test::FakeController monitor;
    monitor.setWindowFlags(Qt::FramelessWindowHint | Qt::Tool | Qt::WindowStaysOnTopHint);
    monitor.setAttribute(Qt::WA_TranslucentBackground);
    auto* lay = new QVBoxLayout(&monitor);
    lay->setContentsMargins(2, 2, 2, 2);
    auto* capsule = new SingleMainCapsule(&monitor);
    lay->addWidget(capsule);
    const QRect avail = QApplication::primaryScreen()->availableGeometry();
    monitor.move(avail.right() - 120, avail.bottom() - 90);
    monitor.show();

    const auto snap = sample_snapshot();
    capsule->update_main(snap.overall_workload_percent, QString::fromStdString(snap.workload_color));

    VyrVerticalPopup popup(&monitor);
    popup.update_snapshot(snap);

    vyr::test::FakeEngine engine;
    engine.folders = {{"İndirilenler", "", 0, "14.2 GB"}, {"Belgeler", "", 0, "3.1 GB"},
                      {"Masaüstü", "", 0, "820 MB"}, {"Resimler", "", 0, "410 MB"}, {"Müzik", "", 0, "12 MB"}};
    VyrProcessInspectorDialog inspector(&engine, &monitor.store, &monitor);
    const auto procs = sample_processes();

    QTimer::singleShot(300, [&] {
        save(capsule, out + QStringLiteral("/capsule.png"));
        vyr::test::enter(capsule);
        save(capsule, out + QStringLiteral("/capsule_hover.png"));
        vyr::test::move(capsule, QPoint(72, 9), Qt::NoButton);  // over the close button
        save(capsule, out + QStringLiteral("/capsule_hover_close.png"));
        vyr::test::leave(capsule);
        popup.show_near(QRect(capsule->mapToGlobal(QPoint(0, 0)), capsule->size()));
        vyr::test::enter(popup.row(QStringLiteral("ram")));
    });
    QTimer::singleShot(700, [&] {
        save(&popup, out + QStringLiteral("/popup.png"));
        popup.hide();
        inspector.move(avail.left() + 40, avail.top() + 30);
        inspector.show();
        inspector.select_metric_tab(QStringLiteral("cpu"));
        inspector.update_data(snap, procs);
        vyr::test::table_of(&inspector)->selectRow(2);
    });
    QTimer::singleShot(1100, [&] {
        save(&inspector, out + QStringLiteral("/inspector_cpu.png"));
        inspector.select_metric_tab(QStringLiteral("disk"));
        inspector.update_data(snap, procs);
    });
    QTimer::singleShot(1400, [&] {
        save(&inspector, out + QStringLiteral("/inspector_disk.png"));
        inspector.select_metric_tab(QStringLiteral("workload"));
        inspector.update_data(snap, procs);
        popup.show_near(QRect(capsule->mapToGlobal(QPoint(0, 0)), capsule->size()));
    });
    QTimer::singleShot(1800, [&] {
        save(&inspector, out + QStringLiteral("/inspector_workload.png"));
        QApplication::primaryScreen()->grabWindow(0).save(out + QStringLiteral("/screen.png"));
        // The tool tip of a row whose command line looks like markup.
        QTableView* table = vyr::test::table_of(&inspector);
        const QModelIndex sh = table->model()->index(4, 1);
        QToolTip::showText(table->viewport()->mapToGlobal(table->visualRect(sh).center()),
                           sh.data(Qt::ToolTipRole).toString(), table->viewport());
    });
    QTimer::singleShot(2300, [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->inherits("QTipLabel") && w->isVisible()) save(w, out + QStringLiteral("/tooltip.png"));
        QToolTip::hideText();
        // The confirmation for a selected row whose name looks like markup.
        QTableView* table = vyr::test::table_of(&inspector);
        table->model()->setData(table->model()->index(4, 1), QStringLiteral("<b>sh</b> & <i>co</i>"));
        table->selectRow(4);
        QTimer::singleShot(400, [&] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* box = qobject_cast<QMessageBox*>(w)) {
                    save(box, out + QStringLiteral("/question.png"));
                    box->button(QMessageBox::No)->click();
                }
        });
        vyr::test::with_text<QPushButton>(&inspector, QStringLiteral("Zorla Kapat"))->click();
        app.quit();
    });
    return app.exec();
}
