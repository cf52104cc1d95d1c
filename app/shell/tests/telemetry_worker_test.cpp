#include <atomic>
#include <chrono>
#include <climits>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "vyr/settings_defaults.hpp"
#include "vyr/shell/telemetry_worker.hpp"
#include "vyr/trace.hpp"

using vyr::shell::TelemetryFramePtr;
using vyr::shell::TelemetryWorker;
using vyr::shell::WorkerParams;

namespace {

// A source on a fake clock: every snapshot "takes" a given number of
// milliseconds, and hooks let a test act in the middle of a cycle.
struct FakeSource : vyr::shell::TelemetrySource {
    long long* clock = nullptr;  // nanoseconds
    std::vector<double> snapshot_ms;  // cost of each cycle's snapshot, last one repeats
    std::vector<bool> snapshot_fails;
    std::exception_ptr failure = std::make_exception_ptr(std::runtime_error("reading failed"));
    int snapshots = 0;
    struct Call {
        std::string sort_by, search;
        bool group;
        int limit;
    };
    std::vector<Call> process_calls;
    std::function<void()> during_snapshot;
    // The thread of every call, in order: 's' started, 'r' a reading, 'f' finishing.
    std::vector<std::pair<char, std::thread::id>> calls;

    void thread_started() noexcept override { calls.emplace_back('s', std::this_thread::get_id()); }
    void thread_finishing() noexcept override { calls.emplace_back('f', std::this_thread::get_id()); }
    vyr::SystemMetricsSnapshot snapshot() override {
        calls.emplace_back('r', std::this_thread::get_id());
        const int i = snapshots++;
        if (clock && !snapshot_ms.empty())
            *clock += static_cast<long long>(snapshot_ms[std::min<size_t>(i, snapshot_ms.size() - 1)] * 1e6);
        if (during_snapshot) during_snapshot();
        if (i < static_cast<int>(snapshot_fails.size()) && snapshot_fails[i])
            std::rethrow_exception(failure);
        vyr::SystemMetricsSnapshot s;
        s.overall_workload_percent = i;
        return s;
    }
    std::vector<vyr::ProcessEntry> processes(const std::string& sort_by, const std::string& search,
                                             bool group, int limit) override {
        process_calls.push_back({sort_by, search, group, limit});
        return std::vector<vyr::ProcessEntry>(3);
    }
};

// Runs the loop on this thread with a fake clock and sleeper; the worker is
// stopped once `cycles` pauses have been taken (or by the test's hooks).
struct Harness {
    long long now = 1000000000000LL;
    std::shared_ptr<FakeSource> source = std::make_shared<FakeSource>();
    std::vector<long long> pauses;  // milliseconds of each pause taken
    std::vector<TelemetryFramePtr> frames;
    std::unique_ptr<TelemetryWorker> worker;
    int stop_after_pauses = 1;
    long long stop_in_first_pause_at = -1;  // ms into the first pause, when stop() comes then

    explicit Harness(long long interval = 1500) {
        source->clock = &now;
        worker = std::make_unique<TelemetryWorker>(
            source, interval, [this] { return now; },
            [this](long long ms) {
                if (stop_in_first_pause_at >= 0 && pauses.empty()) {
                    // The pause ends with the stop, not at its full length.
                    now += stop_in_first_pause_at * 1000000LL;
                    pauses.push_back(stop_in_first_pause_at);
                    worker->stop();
                    return;
                }
                now += ms * 1000000LL;
                pauses.push_back(ms);
                if (static_cast<int>(pauses.size()) >= stop_after_pauses + 1) worker->stop();
            });
        QObject::connect(worker.get(), &TelemetryWorker::snapshot_ready,
                         [this](const TelemetryFramePtr& f) { frames.push_back(f); });
    }
    void run() {
        // The worker stops in the cycle that follows the last pause wanted.
        source->during_snapshot = [this, prev = source->during_snapshot] {
            if (static_cast<int>(pauses.size()) >= stop_after_pauses) worker->stop();
            if (prev) prev();
        };
        worker->run_loop();
    }
};

}  // namespace

TEST(TelemetryWorker, IntervalHasAFloor) {
    auto src = std::make_shared<FakeSource>();
    struct Case {
        long long given, expected;
    } cases[] = {{500, 800}, {800, 800}, {801, 801}, {1500, 1500}, {-3, 800}};
    for (const auto& c : cases) {
        TelemetryWorker w(src, c.given);
        EXPECT_EQ(w.interval_ms(), c.expected) << c.given;
    }
    EXPECT_EQ(TelemetryWorker(src).interval_ms(), vyr::settings::kRefreshMsDefault);
}

TEST(TelemetryWorker, PauseAfterACycle) {
    // readings in ms -> computed sleep, and the pause taken: whole 50 ms steps
    struct Case {
        double reading_ms;
        long long sleep_ms, pause_ms;
    } cases[] = {
        {0, 1500, 1500}, {130, 1370, 1400}, {1299, 201, 250}, {1300, 200, 200}, {5000, 200, 200},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TelemetryWorker::sleep_ms_for(1500, static_cast<long long>(c.reading_ms)),
                  c.sleep_ms);
        EXPECT_EQ(TelemetryWorker::pause_ms_for(1500, static_cast<long long>(c.reading_ms)),
                  c.pause_ms);
        Harness h;
        h.source->snapshot_ms = {c.reading_ms};
        h.stop_after_pauses = 2;
        h.run();
        ASSERT_EQ(h.pauses.size(), 2u) << c.reading_ms;
        EXPECT_EQ(h.pauses[0], c.pause_ms) << c.reading_ms;
        EXPECT_EQ(h.pauses[1], c.pause_ms) << c.reading_ms;
        EXPECT_EQ(h.source->snapshots, 3) << c.reading_ms;
    }
}

TEST(TelemetryWorker, AHugePeriodIsALongPauseNeverAWrappedOne) {
    // (interval, readings' ms) -> the pause: held at the largest whole number
    // of steps, never past the end of the range.
    constexpr long long kMax = LLONG_MAX;
    constexpr long long kLongest = kMax / 50 * 50;
    struct Case {
        long long interval, elapsed, pause;
    } cases[] = {
        {10000000000000LL, 0, 10000000000000LL},
        {10000000000000LL, 130, 9999999999900LL},
        {kMax, 0, kLongest},
        {kMax - 10, 0, kLongest},
        {kMax, -5, kLongest},  // a clock that went back
        {kMax, kMax, 200},
        {LLONG_MIN, 5, 200},
        {1500, LLONG_MIN, kLongest},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TelemetryWorker::pause_ms_for(c.interval, c.elapsed), c.pause) << c.interval << " " << c.elapsed;
        EXPECT_GE(TelemetryWorker::sleep_ms_for(c.interval, c.elapsed), 200);
    }
    EXPECT_EQ(TelemetryWorker::sleep_ms_for(kMax, -5), kMax);
    EXPECT_EQ(TelemetryWorker::sleep_ms_for(LLONG_MIN, 5), 200);
}

TEST(TelemetryWorker, CyclesStartOneIntervalApart) {
    // With quick readings each cycle starts the interval after the one
    // before; the pause after a slow one is taken from the time it took.
    struct Case {
        long long interval;
        std::vector<double> reading_ms;
        std::vector<long long> starts;  // ms after the first start
    } cases[] = {
        {1500, {0, 0, 0}, {0, 1500, 3000}},
        {1500, {130, 130, 130}, {0, 1530, 3060}},
        {800, {0, 700, 0}, {0, 800, 1700}},
        {2000, {2500, 0, 0}, {0, 2700, 4700}},
    };
    for (const auto& c : cases) {
        Harness h(c.interval);
        h.source->snapshot_ms = c.reading_ms;
        std::vector<long long> starts;
        const long long first = h.now;
        h.source->during_snapshot = [&] {
            // The fake source has already added this cycle's reading time.
            const double ms = c.reading_ms[std::min<size_t>(starts.size(), c.reading_ms.size() - 1)];
            starts.push_back((h.now - first) / 1000000 - static_cast<long long>(ms));
        };
        h.stop_after_pauses = static_cast<int>(c.starts.size()) - 1;
        h.run();
        EXPECT_EQ(starts, c.starts) << c.interval;
    }
}

TEST(TelemetryWorker, CollectsProcessesOnlyWhenAsked) {
    Harness h;
    h.stop_after_pauses = 1;
    h.source->during_snapshot = [&] {
        if (h.source->snapshots == 2)
            h.worker->set_params({true, "cpu", "  fire fox ", true});
    };
    h.run();
    ASSERT_EQ(h.frames.size(), 2u);
    EXPECT_TRUE(h.frames[0]->processes.empty());
    EXPECT_EQ(h.frames[0]->snapshot.overall_workload_percent, 0.0);
    ASSERT_EQ(h.source->process_calls.size(), 1u);
    const auto& call = h.source->process_calls[0];
    EXPECT_EQ(call.sort_by, "cpu");
    EXPECT_EQ(call.search, "  fire fox ");
    EXPECT_TRUE(call.group);
    EXPECT_EQ(call.limit, 75);
    EXPECT_EQ(h.frames[1]->processes.size(), 3u);
    EXPECT_NE(h.frames[0].get(), h.frames[1].get());
}

TEST(TelemetryWorker, AFailedCycleEmitsNothingAndSamplingGoesOn) {
    Harness h;
    h.source->snapshot_fails = {false, true, false};
    h.stop_after_pauses = 2;
    h.run();
    EXPECT_EQ(h.source->snapshots, 3);
    ASSERT_EQ(h.frames.size(), 2u);
    EXPECT_EQ(h.frames[0]->snapshot.overall_workload_percent, 0.0);
    EXPECT_EQ(h.frames[1]->snapshot.overall_workload_percent, 2.0);
    // The failed cycle still paused the usual time.
    EXPECT_EQ(h.pauses[1], 1500);
}

TEST(TelemetryWorker, AFailedCycleIsTracedWithItsStageAndCause) {
    struct Case {
        std::exception_ptr failure;
        const char* line;
    } cases[] = {
        {std::make_exception_ptr(vyr::shell::TelemetryError("engine snapshot", "ValueError: no meminfo")),
         "vyr.app: engine snapshot: ValueError: no meminfo"},
        {std::make_exception_ptr(std::bad_alloc()), "vyr.app: telemetry cycle: out of memory"},
        {std::make_exception_ptr(std::runtime_error("reading failed")),
         "vyr.app: telemetry cycle: reading failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::vector<std::string> lines;
        vyr::trace::set_hooks_for_test({"vyr.app=true", [&](const std::string& l) { lines.push_back(l); }, {}});
        Harness h;
        h.source->snapshot_fails = {true, false};
        h.source->failure = c.failure;
        h.stop_after_pauses = 1;
        h.run();
        EXPECT_EQ(h.frames.size(), 1u);
        EXPECT_EQ(lines, std::vector<std::string>{c.line});
    }
    vyr::trace::reset_for_test();
}

TEST(TelemetryWorker, StopEndsTheLoopPromptly) {
    {  // during a pause: the pause ends, no reading follows
        Harness h;
        h.stop_in_first_pause_at = 350;
        h.stop_after_pauses = 100;
        h.run();
        EXPECT_EQ(h.source->snapshots, 1);
        EXPECT_EQ(h.pauses, std::vector<long long>{350});
    }
    {  // during sampling: the emit still happens, no pause follows
        Harness h;
        h.source->during_snapshot = [&] { h.worker->stop(); };
        h.run();
        EXPECT_EQ(h.frames.size(), 1u);
        EXPECT_TRUE(h.pauses.empty());
    }
    {  // before start: no reading at all
        Harness h;
        h.worker->stop();
        h.run();
        EXPECT_EQ(h.source->snapshots, 0);
        EXPECT_TRUE(h.frames.empty());
    }
}

TEST(TelemetryWorker, ParamsCrossThreadsWhole) {
    // The GUI thread writes while the worker thread reads; every read sees
    // one of the written sets, never a mix of two.
    auto src = std::make_shared<FakeSource>();
    TelemetryWorker w(src, 800, {}, [](long long) {});
    std::atomic<bool> done{false};
    std::atomic<int> mixed{0};
    std::thread reader([&] {
        while (!done.load()) {
            const WorkerParams p = w.params();
            const bool a = p.sort_by == "cpu" && p.search_query == std::string(200, 'a') &&
                           p.group_by_app && p.need_processes;
            const bool b = p.sort_by == "ram" && p.search_query.empty() && !p.group_by_app &&
                           !p.need_processes;
            const bool initial = p.sort_by == "workload" && p.search_query.empty();
            if (!a && !b && !initial) ++mixed;
        }
    });
    for (int i = 0; i < 20000; ++i) {
        if (i % 2)
            w.set_params({true, "cpu", std::string(200, 'a'), true});
        else
            w.set_params({false, "ram", "", false});
    }
    done = true;
    reader.join();
    EXPECT_EQ(mixed.load(), 0);
}

TEST(TelemetryWorker, RunsOnItsOwnThreadAndJoinsAfterStop) {
    auto src = std::make_shared<FakeSource>();
    std::atomic<int> sleeps{0};
    TelemetryWorker w(src, 800, {}, [&](long long) { ++sleeps; std::this_thread::yield(); });
    std::atomic<int> frames{0};
    QObject::connect(&w, &TelemetryWorker::snapshot_ready, &w,
                     [&](const TelemetryFramePtr&) { ++frames; }, Qt::DirectConnection);
    w.start();
    while (frames.load() < 2) std::this_thread::yield();
    w.stop();
    EXPECT_TRUE(w.wait(10000));
    EXPECT_TRUE(w.isFinished());
    const int after = src->snapshots;
    EXPECT_GE(after, 2);
    EXPECT_EQ(src->snapshots, after);
}

TEST(TelemetryWorker, AStopEndsALongPauseAtOnceAndTheSourceSeesTheThreadEnd) {
    // Pauses of an hour, of 317 years and of the whole range: the worker
    // takes one reading and waits (a wait that came back at once would read
    // again and again); only an interrupted wait lets the thread end.
    for (const long long interval : {3600LL * 1000, 10000000000000LL, LLONG_MAX}) {
        SCOPED_TRACE(interval);
        auto src = std::make_shared<FakeSource>();
        TelemetryWorker w(src, interval);
        std::atomic<int> frames{0};
        QObject::connect(&w, &TelemetryWorker::snapshot_ready, &w,
                         [&](const TelemetryFramePtr&) { ++frames; }, Qt::DirectConnection);
        w.start();
        while (frames.load() < 1) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        w.stop();
        ASSERT_TRUE(w.wait(60000));
        EXPECT_EQ(src->snapshots, 1);
        // The source heard of the thread before its reading and after it, on that thread.
        ASSERT_EQ(src->calls.size(), 3u);
        EXPECT_EQ(src->calls[0].first, 's');
        EXPECT_EQ(src->calls[1].first, 'r');
        EXPECT_EQ(src->calls[2].first, 'f');
        for (const auto& call : src->calls) EXPECT_EQ(call.second, src->calls[1].second);
        EXPECT_NE(src->calls[1].second, std::this_thread::get_id());
    }

    // A worker stopped before it starts never tells the source of a thread.
    auto idle = std::make_shared<FakeSource>();
    TelemetryWorker never(idle, 800);
    never.stop();
    never.start();
    ASSERT_TRUE(never.wait(60000));
    EXPECT_TRUE(idle->calls.empty());
}
