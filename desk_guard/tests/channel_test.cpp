// The single-instance channel's C++ side: the activation server and its
// clients in one process, and the lock file.
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "vyr/desk_guard/instance_channel.hpp"

using namespace vyr::desk_guard;

namespace {

// How long a check waits for an event: far above what a busy machine takes.
constexpr int kEventWaitMs = 60000;

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

QList<QByteArray> flatten(const QList<QList<QByteArray>>& batches) {
    QList<QByteArray> all;
    for (const auto& batch : batches) all += batch;
    return all;
}

}  // namespace

class ChannelTest : public QObject {
    Q_OBJECT

private:
    // Short: a socket's path has room for 107 bytes.
    QTemporaryDir tmp_{QStringLiteral("/tmp/vyr_channel_XXXXXX")};
    QList<QList<QByteArray>> batches_;
    int serial_ = 0;

    QString fresh_name() { return QStringLiteral("VYR_TEST_SERVER_%1").arg(++serial_); }

    std::unique_ptr<ActivationServer> server(const QString& name) {
        auto srv = std::make_unique<ActivationServer>(
            [this](const QList<QByteArray>& received) { batches_.append(received); });
        srv->start(name);
        return srv;
    }

private slots:
    void initTestCase() {
        QVERIFY(tmp_.isValid());
        // Local sockets live in the private runtime folder (a QTemporaryDir is
        // the user's only).
        qputenv("XDG_RUNTIME_DIR", tmp_.path().toUtf8());
        qputenv("TMPDIR", tmp_.path().toUtf8());
    }
    void init() { batches_.clear(); }

    void message_reaches_the_server_and_each_connection_is_drained_once() {
        const QString name = fresh_name();
        auto srv = server(name);
        QVERIFY(srv->is_listening());
        QVERIFY(send_activation(name, 250, 200, true));
        QTRY_COMPARE_WITH_TIMEOUT(batches_.size(), 1, kEventWaitMs);
        QCOMPARE(batches_[0], QList<QByteArray>{QByteArray("ACTIVATE\n")});

        // Two clients in quick succession: every connection is drained once,
        // and no signal brings more than one activation.
        QVERIFY(send_activation(name, 250, 200, true));
        QVERIFY(send_activation(name, 250, 200, false));
        QList<QByteArray> drained;
        QTRY_VERIFY_WITH_TIMEOUT((drained = flatten(batches_.mid(1))).size() == 2, kEventWaitMs);
        QCOMPARE(drained, (QList<QByteArray>{"ACTIVATE\n", "ACTIVATE\n"}));
        QVERIFY(batches_.size() <= 3);
        QTest::qWait(150);
        QCOMPARE(flatten(batches_.mid(1)).size(), 2);
    }

    void silent_client_still_counts_as_a_request() {
        const QString name = fresh_name();
        auto srv = server(name);
        QLocalSocket client;
        client.connectToServer(server_address(name));
        QVERIFY(client.waitForConnected(250));
        QTRY_COMPARE_WITH_TIMEOUT(batches_.size(), 1, kEventWaitMs);
        QCOMPARE(batches_[0], QList<QByteArray>{QByteArray()});
    }

    void server_socket_is_for_the_user_only() {
        const QString name = fresh_name();
        auto srv = server(name);
        const QFileInfo socket(srv->full_server_name());
        QCOMPARE(socket.absolutePath(), QFileInfo(tmp_.path()).absoluteFilePath());
        QCOMPARE(socket.permissions() & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser |
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner),
                 QFile::Permissions());
    }

    void left_over_socket_is_replaced() {
        const QString name = fresh_name();
        const QString path = tmp_.path() + "/" + name;
        QFile stale(path);
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.close();
        auto srv = server(name);
        QVERIFY(srv->is_listening());
        QVERIFY(send_activation(name, 250, 200, true));
        QTRY_COMPARE_WITH_TIMEOUT(batches_.size(), 1, kEventWaitMs);
    }

    void no_server_means_no_answer() {
        const QString name = fresh_name();
        QVERIFY(!send_activation(name, 250, 200, true));
        QVERIFY(!hand_over(name, 4, 1, 20));
        auto srv = server(name);
        QVERIFY(hand_over(name, 4, 1, 150));
        QTRY_COMPARE_WITH_TIMEOUT(batches_.size(), 1, kEventWaitMs);
    }

    void server_lives_in_the_private_runtime_folder_only() {
        // Another user who listens first under the name in the shared
        // temporary folder is never talked to.
        QTemporaryDir shared(QStringLiteral("/tmp/vyr_shared_XXXXXX"));
        QVERIFY(shared.isValid());
        const QString user_folder = QStringLiteral("/vyr-%1").arg(::geteuid());
        const struct {
            const char* what;
            QByteArray runtime;  // XDG_RUNTIME_DIR; empty: unset
            QString folder;      // where the server listens; empty: nowhere
            QFile::Permissions user_folder_mode;
        } cases[] = {
            {"runtime folder", tmp_.path().toUtf8(), tmp_.path(), {}},
            {"relative runtime folder", "run", shared.path() + user_folder,
             QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner},
            {"per-user folder made", "", shared.path() + user_folder, {}},
            {"per-user folder that others may enter", "", QString(),
             QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeOther},
        };
        for (const auto& c : cases) {
            const QByteArray what(c.what);
            QDir(shared.path() + user_folder).removeRecursively();
            if (c.user_folder_mode) {
                QVERIFY(QDir().mkdir(shared.path() + user_folder));
                QVERIFY(QFile::setPermissions(shared.path() + user_folder, c.user_folder_mode));
            }
            if (c.runtime.isEmpty()) qunsetenv("XDG_RUNTIME_DIR");
            else qputenv("XDG_RUNTIME_DIR", c.runtime);
            qputenv("TMPDIR", shared.path().toUtf8());

            const QString name = fresh_name();
            QLocalServer squatter;
            QVERIFY2(squatter.listen(shared.path() + "/" + name), what);
            int squatted = 0;
            connect(&squatter, &QLocalServer::newConnection, [&] { ++squatted; });

            batches_.clear();
            auto srv = server(name);
            QCOMPARE(server_address(name), c.folder.isEmpty() ? QString() : c.folder + "/" + name);
            QVERIFY2(srv->is_listening() == !c.folder.isEmpty(), what);
            QVERIFY2(send_activation(name, 250, 200, true) == !c.folder.isEmpty(), what);
            QVERIFY2(hand_over(name, 1, 1, 150) == !c.folder.isEmpty(), what);
            if (!c.folder.isEmpty()) {
                QCOMPARE(srv->full_server_name(), c.folder + "/" + name);
                QCOMPARE(srv->server_name(), name);
                QTRY_COMPARE_WITH_TIMEOUT(flatten(batches_).size(), 2, kEventWaitMs);
            }
            QTest::qWait(50);
            QVERIFY2(squatted == 0, what);
        }
        qputenv("XDG_RUNTIME_DIR", tmp_.path().toUtf8());
        qputenv("TMPDIR", tmp_.path().toUtf8());
    }

    void lock_errors_other_than_contention_are_failures() {
        const struct {
            int error;
            LockOutcome outcome;
        } cases[] = {
            {EWOULDBLOCK, LockOutcome::HeldElsewhere}, {EAGAIN, LockOutcome::HeldElsewhere},
            {ENOLCK, LockOutcome::Failed},             {EINTR, LockOutcome::Failed},
            {EBADF, LockOutcome::Failed},              {EINVAL, LockOutcome::Failed},
            {EOPNOTSUPP, LockOutcome::Failed},
        };
        for (const auto& c : cases) QCOMPARE(classify_lock_error(c.error), c.outcome);
    }

    void lock_file_taken_held_and_refused() {
        const std::string path = (tmp_.path() + "/vyr_single_T.lock").toStdString();
        {
            std::ofstream old(path);
            old << "stale content from an earlier run";
        }
        const LockAttempt first = lock_instance_file(path);
        QCOMPARE(first.outcome, LockOutcome::Taken);
        QVERIFY(first.fd >= 0);
        QVERIFY(::fcntl(first.fd, F_GETFD) & FD_CLOEXEC);
        QCOMPARE(read_file(path), std::string("stale content from an earlier run"));
        QVERIFY(write_owner_pid(first.fd, 4242));
        QCOMPARE(read_file(path), std::string("4242"));
        QVERIFY(write_owner_pid(first.fd, current_process_id()));
        QCOMPARE(read_file(path), std::to_string(::getpid()));

        // Asked again in the same process: the lock it holds.
        const LockAttempt again = lock_instance_file(path);
        QCOMPARE(again.outcome, LockOutcome::Taken);
        QCOMPARE(again.fd, first.fd);

        // Another holder (its own open file) makes it contention.
        const std::string other = (tmp_.path() + "/vyr_single_U.lock").toStdString();
        const int holder = ::open(other.c_str(), O_RDWR | O_CREAT, 0600);
        QVERIFY(holder >= 0);
        QCOMPARE(::flock(holder, LOCK_EX | LOCK_NB), 0);
        const LockAttempt refused = lock_instance_file(other);
        QCOMPARE(refused.outcome, LockOutcome::HeldElsewhere);
        QCOMPARE(refused.fd, -1);
        ::close(holder);
        QCOMPARE(lock_instance_file(other).outcome, LockOutcome::Taken);
    }

    void lock_file_in_a_missing_folder_fails() {
        const LockAttempt attempt =
            lock_instance_file((tmp_.path() + "/missing/vyr_single_T.lock").toStdString());
        QCOMPARE(attempt.outcome, LockOutcome::Failed);
        QCOMPARE(attempt.error, ENOENT);
    }
};

QTEST_GUILESS_MAIN(ChannelTest)
#include "channel_test.moc"
