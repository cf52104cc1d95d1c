// Time of one inspector refresh, in rounds: min / median / max over the
// rounds of the mean time per refresh, of update_data alone and of
// update_data with the painting that the event loop does after it.
//   inspector_refresh_bench [--rounds 7] [--refreshes 200]
#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "vyr/app/inspector.hpp"

namespace {

// 75 processes; refresh `n` moves the figures of about a third of them, and
// the busiest twenty change places, as a list sorted by load does.
std::vector<vyr::ProcessEntry> busy_list(int n, std::size_t name_length) {
    std::vector<vyr::ProcessEntry> out;
    for (int i = 0; i < 75; ++i) {
        vyr::ProcessEntry p;
        p.pid = 1000 + i;
        p.name = name_length && i < 10 ? std::string(name_length, char('a' + i)) : "proc-" + std::to_string(i);
        p.display_name = p.name;
        p.username = i % 3 ? "ayse" : "root";
        p.status = "running";
        p.cmdline = "/usr/bin/" + p.name.substr(0, 100) + " --flag";
        const bool moves = (i + n) % 3 == 0;
        p.cpu_percent = moves ? (i * 7 + n) % 40 + 0.25 : i * 0.5;
        p.workload_score = p.cpu_percent * 0.8;
        p.ram_mb = 100.0 + i * 13 + (moves ? n % 5 : 0);
        p.ram_percent = p.ram_mb / 160.0;
        p.disk_rw_kb_s = moves ? (n % 7) * 300.0 : 0;
        p.disk_total_mb = 10.0 + i;
        out.push_back(std::move(p));
    }
    std::rotate(out.begin(), out.begin() + n % 20, out.begin() + 20);
    return out;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void run(const char* label, std::size_t name_length, int rounds, int refreshes) {
    vyr::test::FakeController monitor;
    vyr::test::FakeEngine engine;
    vyr::app::VyrProcessInspectorDialog insp(&engine, &monitor.store, &monitor);
    insp.show();
    const vyr::SystemMetricsSnapshot snap;
    std::vector<std::vector<vyr::ProcessEntry>> lists;
    for (int n = 0; n < 6; ++n) lists.push_back(busy_list(n, name_length));
    insp.update_data(snap, lists[0]);
    QApplication::processEvents();
    std::vector<double> update_ms, painted_ms;
    for (int r = 0; r < rounds; ++r) {
        qint64 in_update = 0;
        QElapsedTimer whole;
        whole.start();
        for (int i = 0; i < refreshes; ++i) {
            QElapsedTimer t;
            t.start();
            insp.update_data(snap, lists[static_cast<std::size_t>(i % 6)]);
            in_update += t.nsecsElapsed();
            QApplication::processEvents();  // the repaint of what changed
        }
        update_ms.push_back(double(in_update) / 1e6 / refreshes);
        painted_ms.push_back(double(whole.nsecsElapsed()) / 1e6 / refreshes);
    }
    auto print = [&](const char* what, const std::vector<double>& v) {
        std::printf("%-34s %-22s min %.3f  median %.3f  max %.3f ms per refresh\n", label, what,
                    *std::min_element(v.begin(), v.end()), median(v), *std::max_element(v.begin(), v.end()));
    };
    print("update_data", update_ms);
    print("update_data + painting", painted_ms);
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 7, refreshes = 200;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--rounds")) rounds = std::max(1, std::atoi(argv[i + 1]));
        if (!std::strcmp(argv[i], "--refreshes")) refreshes = std::max(1, std::atoi(argv[i + 1]));
    }
    QApplication app(argc, argv);
    vyr::test::load_roboto();
    run("75 processes", 0, rounds, refreshes);
    run("75 processes, 10 names of 131000", 131000, rounds, std::max(1, refreshes / 10));
    return 0;
}
