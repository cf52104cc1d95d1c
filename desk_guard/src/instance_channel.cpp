#include "vyr/desk_guard/instance_channel.hpp"

#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

#include <cstdlib>

#include "vyr/instance_name.hpp"

namespace vyr::desk_guard {

namespace {

const QByteArray& activation_message() {
    static const QByteArray message(vyr::instance_name::kActivationMessage);
    return message;
}

}  // namespace

bool send_activation(const QString& server_name, int connect_ms, int write_ms, bool disconnect) {
    const QString address = server_address(server_name);
    if (address.isEmpty()) return false;
    QLocalSocket probe;
    probe.connectToServer(address);
    if (!probe.waitForConnected(connect_ms)) return false;
    probe.write(activation_message());
    probe.flush();
    probe.waitForBytesWritten(write_ms);
    if (disconnect) probe.disconnectFromServer();
    return true;
}

bool hand_over(const QString& server_name, int attempts, int pause_ms, int wait_ms) {
    if (server_address(server_name).isEmpty()) return false;  // nowhere to hand over to
    for (int i = 0; i < attempts; ++i) {
        QThread::msleep(static_cast<unsigned long>(pause_ms));
        if (send_activation(server_name, wait_ms, wait_ms, false)) return true;
    }
    return false;
}

void terminate_now(int status) { std::_Exit(status); }

ActivationServer::ActivationServer(BatchHandler on_batch, QObject* parent)
    : QObject(parent), on_batch_(std::move(on_batch)), server_(new QLocalServer(this)) {
    // Only the user who runs the program may connect (socket file mode 0700,
    // or a pipe restricted to the user's account on Windows).
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_, &QLocalServer::newConnection, this, &ActivationServer::drain);
}

ActivationServer::~ActivationServer() = default;

bool ActivationServer::start(const QString& server_name) {
    name_ = server_name;
    const QString address = server_address(server_name);
    if (address.isEmpty()) return false;
    QLocalServer::removeServer(address);
    return server_->listen(address);
}

void ActivationServer::close() { server_->close(); }

QString ActivationServer::server_name() const {
    return server_->isListening() ? name_ : QString();
}
QString ActivationServer::full_server_name() const { return server_->fullServerName(); }
bool ActivationServer::is_listening() const { return server_->isListening(); }

void ActivationServer::drain() {
    QList<QByteArray> received;
    while (server_->hasPendingConnections()) {
        QLocalSocket* conn = server_->nextPendingConnection();
        if (!conn) continue;
        conn->waitForReadyRead(100);
        received.append(conn->readAll());
        conn->close();
        conn->deleteLater();
    }
    // One batch of connections, one activation.
    if (on_batch_) on_batch_(received);
}

}  // namespace vyr::desk_guard
