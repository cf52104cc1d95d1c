#include "vyr/shell/telemetry_worker.hpp"

#include <chrono>
#include <limits>
#include <new>

#include "vyr/trace.hpp"

namespace vyr::shell {

namespace {

long long steady_nanoseconds() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

TelemetryWorker::TelemetryWorker(std::shared_ptr<TelemetrySource> source, long long interval_ms,
                                 Clock clock, Sleeper sleeper)
    : QThread(nullptr),
      source_(std::move(source)),
      interval_ms_(interval_ms > kMinIntervalMs ? interval_ms : kMinIntervalMs),
      clock_(clock ? std::move(clock) : Clock(steady_nanoseconds)),
      sleeper_(sleeper ? std::move(sleeper) : Sleeper([this](long long ms) { wait_unless_stopped(ms); })) {
    qRegisterMetaType<vyr::shell::TelemetryFramePtr>("vyr::shell::TelemetryFramePtr");
}

TelemetryWorker::~TelemetryWorker() {
    stop();
    wait();
}

void TelemetryWorker::set_params(const WorkerParams& params) {
    std::lock_guard<std::mutex> lock(params_mutex_);
    params_ = params;
}

WorkerParams TelemetryWorker::params() const {
    std::lock_guard<std::mutex> lock(params_mutex_);
    return params_;
}

void TelemetryWorker::stop() {
    {
        // Under the lock: a pause that has just tested the flag is already waiting.
        std::lock_guard<std::mutex> lock(stop_mutex_);
        running_.store(false);
    }
    stopped_.notify_all();
}

long long TelemetryWorker::sleep_ms_for(long long interval_ms, long long elapsed_ms) {
    // A period near the end of the range is a long wait, never a wrapped one.
    long long rest;
    if (__builtin_sub_overflow(interval_ms, elapsed_ms, &rest))
        rest = elapsed_ms < 0 ? std::numeric_limits<long long>::max() : std::numeric_limits<long long>::min();
    return rest > kMinPauseMs ? rest : kMinPauseMs;
}

long long TelemetryWorker::pause_ms_for(long long interval_ms, long long elapsed_ms) {
    const long long sleep_ms = sleep_ms_for(interval_ms, elapsed_ms);
    const long long steps = sleep_ms / kStepMs + (sleep_ms % kStepMs != 0 ? 1 : 0);
    constexpr long long kMostSteps = std::numeric_limits<long long>::max() / kStepMs;
    return (steps < kMostSteps ? steps : kMostSteps) * kStepMs;
}

void TelemetryWorker::wait_unless_stopped(long long ms) {
    // One wait per pause, up to a day at a time (the deadline of a much
    // longer one would overflow the clock and come at once): the thread
    // wakes when the pause is over or stop() is called.
    std::unique_lock<std::mutex> lock(stop_mutex_);
    const auto stopped = [this] { return !running_.load(); };
    for (long long left = ms; left > 0 && !stopped(); ) {
        const long long slice = left < kWaitSliceMs ? left : kWaitSliceMs;
        if (stopped_.wait_for(lock, std::chrono::milliseconds(slice), stopped)) return;
        left -= slice;
    }
}

void TelemetryWorker::run() { run_loop(); }

void TelemetryWorker::sample() {
    try {
        auto frame = std::make_shared<TelemetryFrame>();
        frame->snapshot = source_->snapshot();
        const WorkerParams p = params();
        if (p.need_processes) {
            frame->processes =
                source_->processes(p.sort_by, p.search_query, p.group_by_app, kProcessLimit);
        }
        emit snapshot_ready(TelemetryFramePtr(std::move(frame)));
    } catch (const TelemetryError& e) {
        // A failed cycle emits nothing; the next one comes after the usual pause.
        trace::report("vyr.app", e.stage(), e.what());
    } catch (const std::bad_alloc&) {
        // Not a reading that failed: the cycle's values did not fit in memory.
        trace::report("vyr.app", "telemetry cycle", "out of memory");
    } catch (const std::exception& e) {
        trace::report("vyr.app", "telemetry cycle", e.what());
    }
}

void TelemetryWorker::run_loop() {
    if (!running_.load()) return;
    source_->thread_started();
    struct Finish {
        TelemetrySource& source;
        ~Finish() { source.thread_finishing(); }
    } finish{*source_};
    while (running_.load()) {
        const long long t0 = clock_();
        sample();
        const long long elapsed_ms = (clock_() - t0) / 1000000;  // truncated toward zero
        const long long pause_ms = pause_ms_for(interval_ms_, elapsed_ms);
        if (running_.load()) sleeper_(pause_ms);
    }
}

}  // namespace vyr::shell
