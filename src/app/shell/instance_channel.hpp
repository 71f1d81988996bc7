#pragma once

// The hand-off between two editors of one user and support folder. The first editor holds the worker and
// listens on <support>/ipc/editor.sock (owner-only, like the folder). A second `kivo-pdf` starts no worker:
// it sends its file arguments, made absolute, as one line {"open": [paths]} and ends once the first
// answered "ok". The first opens the first readable PDF among them in its window and comes to the front.
//
// Requests are untrusted and bounded: one line of at most 64 KiB, at most 64 paths, each absolute, without
// NUL and at most 4096 bytes; anything else is refused and the connection closed.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <QByteArray>
#include <QObject>

class QLocalServer;
class QLocalSocket;

namespace kivo {

namespace InstanceChannel {

inline constexpr qsizetype maxRequestBytes = 64 * 1024;
inline constexpr std::size_t maxPaths = 64;
inline constexpr std::size_t maxPathBytes = 4096;

// <support>/ipc/editor.sock.
std::filesystem::path socketPath();

// The request line for `paths`, newline included.
QByteArray encode(const std::vector<std::string>& paths);
// The paths of one request line (without its newline); nothing when it breaks any rule above.
std::optional<std::vector<std::string>> decode(const QByteArray& line);

// Sends `paths` to the editor listening on `socket`, trying for up to `timeoutMilliseconds` (the first
// editor may still be starting); answers whether it confirmed them. Blocks; for the second editor only.
bool handOff(const std::filesystem::path& socket, const std::vector<std::string>& paths,
             int timeoutMilliseconds);

}  // namespace InstanceChannel

// The first editor's side: takes hand-offs on the GUI thread.
class InstanceServer : public QObject {
    Q_OBJECT

public:
    explicit InstanceServer(QObject* parent = nullptr);
    ~InstanceServer() override;

    // Listens on `socket`, replacing a file left by an editor that ended (the caller holds the editor
    // lock, so no other editor can be listening there). Answers whether it listens; the editor runs on
    // without hand-offs when it does not.
    bool listen(const std::filesystem::path& socket);
    // Stops listening and removes the socket file.
    void close();

signals:
    void filesReceived(const std::vector<std::string>& paths);

private:
    void accept();
    void read(QLocalSocket* client);

    QLocalServer* server_;
};

}  // namespace kivo
