#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>

#include "vyr/shell/signal_bridge.hpp"
#include "vyr/trace.hpp"

namespace vyr::shell {

namespace {

int g_pipe[2] = {-1, -1};

extern "C" void forward_signal(int signum) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signum);
    if (g_pipe[1] >= 0) {
        ssize_t ignored = ::write(g_pipe[1], &byte, 1);
        (void)ignored;
    }
    errno = saved;
}

}  // namespace

bool SignalBridge::install_handlers() {
    if (g_pipe[0] < 0) {
        if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            // SIGINT and SIGTERM keep their default action.
            trace::report("vyr.app", "signal pipe", trace::errno_cause(errno));
            g_pipe[0] = g_pipe[1] = -1;
            return false;
        }
    }
    struct sigaction sa {};
    sa.sa_handler = forward_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    bool ok = true;
    for (int signum : {SIGINT, SIGTERM}) {
        if (::sigaction(signum, &sa, nullptr) == 0) continue;
        trace::report("vyr.app", "signal handler", trace::errno_cause(errno));
        ok = false;
    }
    return ok;
}

SignalBridge::SignalBridge(std::function<void(int)> on_signal, QObject* parent)
    : QObject(parent), on_signal_(std::move(on_signal)) {
    if (g_pipe[0] < 0) return;
    notifier_ = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { drain(); });
}

SignalBridge::~SignalBridge() = default;

void SignalBridge::drain() {
    unsigned char buf[64];
    for (;;) {
        const ssize_t n = ::read(g_pipe[0], buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            break;
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (on_signal_) on_signal_(buf[i]);
        }
    }
}

}  // namespace vyr::shell
