// The background thread that takes every reading of the system: a snapshot
// per cycle, and the process list while the inspector wants it, handed to the
// GUI thread as C++ values through a queued signal.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <QMetaType>
#include <QThread>

#include "vyr/records.hpp"
#include "vyr/settings_defaults.hpp"

namespace vyr::shell {

// What the worker collects for the inspector; written by the GUI thread.
struct WorkerParams {
    bool need_processes = false;
    std::string sort_by = "workload";
    std::string search_query;
    bool group_by_app = false;
};

inline constexpr int kProcessLimit = 75;

// A reading that failed: the stage that failed and its cause, which the
// worker writes to the trace ("vyr.app") before it drops the cycle.
class TelemetryError : public std::runtime_error {
public:
    TelemetryError(std::string stage, const std::string& cause)
        : std::runtime_error(cause), stage_(std::move(stage)) {}
    const std::string& stage() const { return stage_; }

private:
    std::string stage_;
};

// Where the readings come from (the engine). Both calls run on the worker
// thread only and throw on any failure (a failed reading as TelemetryError).
class TelemetrySource {
public:
    virtual ~TelemetrySource() = default;
    // Called on the worker thread before its first reading and after its
    // last, so that a source can keep what it needs per thread between cycles.
    virtual void thread_started() noexcept {}
    virtual void thread_finishing() noexcept {}
    virtual SystemMetricsSnapshot snapshot() = 0;
    virtual std::vector<ProcessEntry> processes(const std::string& sort_by,
                                                const std::string& search_query,
                                                bool group_by_app, int limit) = 0;
};

// One cycle's result: new for every cycle, never touched by the worker again.
struct TelemetryFrame {
    SystemMetricsSnapshot snapshot;
    std::vector<ProcessEntry> processes;
};
using TelemetryFramePtr = std::shared_ptr<const TelemetryFrame>;

class TelemetryWorker : public QThread {
    Q_OBJECT
public:
    // Nanoseconds of a clock that only moves forward (whole numbers, so the
    // elapsed milliseconds of a cycle come out exact).
    using Clock = std::function<long long()>;
    // Takes the pause of the given milliseconds between two cycles. The
    // worker's own returns early, at once, when stop() is called.
    using Sleeper = std::function<void(long long)>;

    static constexpr long long kMinIntervalMs = vyr::settings::kRefreshMsFloor;
    static constexpr long long kMinPauseMs = 200;
    static constexpr int kStepMs = 50;

    explicit TelemetryWorker(std::shared_ptr<TelemetrySource> source,
                             long long interval_ms = vyr::settings::kRefreshMsDefault, Clock clock = {},
                             Sleeper sleeper = {});
    ~TelemetryWorker() override;

    long long interval_ms() const { return interval_ms_; }

    // Clears the running flag and returns at once; a pause under way ends.
    void stop();
    bool is_running_flag() const { return running_.load(); }

    void set_params(const WorkerParams& params);
    WorkerParams params() const;

    // The pause that follows a cycle whose readings took `elapsed_ms`: what
    // is left of the interval, at least 200 ms ...
    static long long sleep_ms_for(long long interval_ms, long long elapsed_ms);
    // ... taken in whole 50 ms steps (1370 -> 1400, 201 -> 250). Both hold
    // a result beyond the 64-bit range at its end.
    static long long pause_ms_for(long long interval_ms, long long elapsed_ms);

    // The loop itself, on the calling thread; `run` calls it on the worker thread.
    void run_loop();

signals:
    void snapshot_ready(vyr::shell::TelemetryFramePtr frame);

protected:
    void run() override;

private:
    void sample();
    // Waits `ms` milliseconds or until stop(), whichever comes first.
    void wait_unless_stopped(long long ms);
    static constexpr long long kWaitSliceMs = 24LL * 60 * 60 * 1000;  // the longest single wait

    std::shared_ptr<TelemetrySource> source_;
    const long long interval_ms_;
    Clock clock_;
    Sleeper sleeper_;
    std::atomic<bool> running_{true};
    std::mutex stop_mutex_;
    std::condition_variable stopped_;
    mutable std::mutex params_mutex_;
    WorkerParams params_;
};

}  // namespace vyr::shell

Q_DECLARE_METATYPE(vyr::shell::TelemetryFramePtr)
