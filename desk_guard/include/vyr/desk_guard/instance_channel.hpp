// The per-user single-instance channel: a local server through which a later
// copy asks the running one to come to the front, and a lock file that catches
// two copies starting at the same moment.
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <filesystem>
#include <functional>

class QLocalServer;

namespace vyr::desk_guard {

// Where the local server named `server_name` listens and is looked for, in
// that order: on Linux the socket of that name in each of the user's meeting
// folders (the private runtime folder, then the per-user folder; see
// vyr/runtime_folder.hpp), so that two starts that see different runtime
// folders still find each other; none when there is no such folder, and then
// no server is reached or started. On Windows the name itself.
QStringList server_addresses(const QString& server_name);

// The first of server_addresses(), or empty.
QString server_address(const QString& server_name);

// Connects to the local server `server_name` at each of its addresses in
// turn. When a connection is made within `connect_ms`, writes the activation message, flushes, waits up to
// `write_ms` for it to leave and, when `disconnect` is set, disconnects.
// Returns whether a server answered.
bool send_activation(const QString& server_name, int connect_ms, int write_ms, bool disconnect);

// What a copy that found the lock taken does: up to `attempts` times, after a
// pause of `pause_ms`, tries to hand the activation message to the running
// copy's server (connection and write each waited for up to `wait_ms`); stops
// at the first server that answers. Returns whether one answered.
bool hand_over(const QString& server_name, int attempts = 4, int pause_ms = 100,
               int wait_ms = 150);

// Ends the process at once with `status`: no exit handlers, no clean-up of Qt,
// no flushing of buffered streams.
[[noreturn]] void terminate_now(int status);

// The running copy's side: a local server reachable only by the user who runs
// the program. Every batch of pending connections is drained (each read for
// up to 100 ms, then closed) and reported once to the handler with the bytes
// that arrived on each connection.
class ActivationServer : public QObject {
    Q_OBJECT
public:
    using BatchHandler = std::function<void(const QList<QByteArray>& received)>;

    explicit ActivationServer(BatchHandler on_batch, QObject* parent = nullptr);
    ~ActivationServer() override;

    // At each of the name's addresses, removes a left-over socket, then
    // listens there. Returns whether it listens at the first, which callers
    // may ignore.
    bool start(const QString& server_name);
    // Stops listening and removes the socket; the object stays usable.
    void close();

    // The name given to start() while listening, else empty.
    QString server_name() const;
    // The first address listened on (the socket file's path on Linux).
    QString full_server_name() const;
    bool is_listening() const;

private:
    void drain(QLocalServer* server);
    QLocalServer* first() const;

    BatchHandler on_batch_;
    QList<QLocalServer*> servers_;  // one per address, children of this object
    QString name_;
};

// ---- Lock file (platform code) ------------------------------------------

enum class LockOutcome {
    Taken,         // this process now holds the lock
    HeldElsewhere, // another process holds it: another copy runs
    Failed,        // the file could not be opened or locked for another reason
};

// How a failed non-blocking lock call is read: only contention means another
// copy; any other error means that no lock could be taken.
LockOutcome classify_lock_error(int error_number);

struct LockAttempt {
    LockOutcome outcome = LockOutcome::Failed;
    int fd = -1;   // the open file when Taken, else -1
    int error = 0; // the system error of a failed open or lock call
};

// Opens `path` for reading and appending (created when missing, for the
// user only, never truncated on open, not inherited by child processes) and
// tries a non-blocking exclusive lock on it. A link, a FIFO or a file with a
// second name at `path`, and a file or folder that another user owns or may
// write to, is not used: that is a plain failure (no lock, no file touched),
// whoever holds it. On anything but Taken the file is closed.
// A file that this process already holds is reported as Taken again with the
// same descriptor.
LockAttempt lock_instance_file(const std::filesystem::path& path);

// Empties the held lock file and writes `pid` into it as decimal digits.
// Returns false when one of the calls failed (the lock stays held).
bool write_owner_pid(int fd, long long pid);

long long current_process_id();

}  // namespace vyr::desk_guard
