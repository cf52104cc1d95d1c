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

QString server_address(const QString& server_name) {
    const QStringList addresses = server_addresses(server_name);
    return addresses.isEmpty() ? QString() : addresses.front();
}

bool send_activation(const QString& server_name, int connect_ms, int write_ms, bool disconnect) {
    for (const QString& address : server_addresses(server_name)) {
        QLocalSocket probe;
        probe.connectToServer(address);
        if (!probe.waitForConnected(connect_ms)) continue;
        probe.write(activation_message());
        probe.flush();
        probe.waitForBytesWritten(write_ms);
        if (disconnect) probe.disconnectFromServer();
        return true;
    }
    return false;
}

bool hand_over(const QString& server_name, int attempts, int pause_ms, int wait_ms) {
    if (server_addresses(server_name).isEmpty()) return false;  // nowhere to hand over to
    for (int i = 0; i < attempts; ++i) {
        QThread::msleep(static_cast<unsigned long>(pause_ms));
        if (send_activation(server_name, wait_ms, wait_ms, false)) return true;
    }
    return false;
}

void terminate_now(int status) { std::_Exit(status); }

ActivationServer::ActivationServer(BatchHandler on_batch, QObject* parent)
    : QObject(parent), on_batch_(std::move(on_batch)) {}

ActivationServer::~ActivationServer() = default;

bool ActivationServer::start(const QString& server_name) {
    close();
    qDeleteAll(servers_);
    servers_.clear();
    name_ = server_name;
    for (const QString& address : server_addresses(server_name)) {
        auto* server = new QLocalServer(this);
        // Only the user who runs the program may connect: the socket file is
        // open to its owner alone, and on Windows the pipe admits only the
        // user's account.
        server->setSocketOptions(QLocalServer::UserAccessOption);
        connect(server, &QLocalServer::newConnection, this, [this, server] { drain(server); });
        QLocalServer::removeServer(address);
        server->listen(address);
        servers_.append(server);
    }
    return is_listening();
}

void ActivationServer::close() {
    for (QLocalServer* server : servers_) server->close();
}

QLocalServer* ActivationServer::first() const { return servers_.isEmpty() ? nullptr : servers_.front(); }

QString ActivationServer::server_name() const { return is_listening() ? name_ : QString(); }
QString ActivationServer::full_server_name() const { return first() ? first()->fullServerName() : QString(); }
bool ActivationServer::is_listening() const { return first() && first()->isListening(); }

void ActivationServer::drain(QLocalServer* server) {
    QList<QByteArray> received;
    while (server->hasPendingConnections()) {
        QLocalSocket* conn = server->nextPendingConnection();
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
