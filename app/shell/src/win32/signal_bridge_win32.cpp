// Windows: the C runtime's signal() with a flag that a GUI-thread timer polls.
#include <atomic>
#include <csignal>

#include <QTimer>

#include "vyr/shell/signal_bridge.hpp"

namespace vyr::shell {

namespace {

std::atomic<int> g_pending{0};

extern "C" void note_signal(int signum) {
    g_pending.store(signum);
    std::signal(signum, note_signal);
}

}  // namespace

bool SignalBridge::install_handlers() {
    const bool a = std::signal(SIGINT, note_signal) != SIG_ERR;
    const bool b = std::signal(SIGTERM, note_signal) != SIG_ERR;
    return a && b;
}

SignalBridge::SignalBridge(std::function<void(int)> on_signal, QObject* parent)
    : QObject(parent), on_signal_(std::move(on_signal)) {
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this] { drain(); });
    timer->start(100);
}

SignalBridge::~SignalBridge() = default;

void SignalBridge::drain() {
    const int signum = g_pending.exchange(0);
    if (signum != 0 && on_signal_) on_signal_(signum);
}

}  // namespace vyr::shell
