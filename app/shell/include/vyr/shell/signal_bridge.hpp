// Carries SIGINT and SIGTERM from the signal context to the GUI thread: the
// handler only writes the signal number into a pipe, and a socket notifier
// on the GUI thread reads it and runs the callback between events.
#pragma once

#include <functional>

#include <QObject>

class QSocketNotifier;

namespace vyr::shell {

class SignalBridge : public QObject {
    Q_OBJECT
public:
    // Installs the handlers for SIGINT and SIGTERM (once per process; later
    // calls only keep them installed). Safe before the application object
    // exists: a signal that arrives early waits in the pipe.
    static bool install_handlers();

    // Watches the pipe from the thread that owns `parent` (the GUI thread)
    // and calls `on_signal(signum)` for every signal that arrived.
    explicit SignalBridge(std::function<void(int)> on_signal, QObject* parent = nullptr);
    ~SignalBridge() override;

private:
    void drain();

    std::function<void(int)> on_signal_;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace vyr::shell
