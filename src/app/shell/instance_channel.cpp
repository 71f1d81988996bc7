#include "app/shell/instance_channel.hpp"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>

#include "core/ipc_paths.hpp"

namespace kivo {
namespace {

const QByteArray confirmation = QByteArrayLiteral("ok\n");
constexpr int clientMilliseconds = 2000;
constexpr int retryMilliseconds = 50;

}  // namespace

namespace InstanceChannel {

std::filesystem::path socketPath() { return IPCPaths::ipcDirectory() / "editor.sock"; }

QByteArray encode(const std::vector<std::string>& paths) {
    QJsonArray list;
    for (const std::string& path : paths) list.append(QString::fromStdString(path));
    return QJsonDocument(QJsonObject{{QStringLiteral("open"), list}}).toJson(QJsonDocument::Compact) + '\n';
}

std::optional<std::vector<std::string>> decode(const QByteArray& line) {
    if (line.size() > maxRequestBytes) return std::nullopt;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) return std::nullopt;
    const QJsonValue open = document.object().value(QStringLiteral("open"));
    if (!open.isArray() || static_cast<std::size_t>(open.toArray().size()) > maxPaths) return std::nullopt;
    std::vector<std::string> paths;
    for (const QJsonValue& entry : open.toArray()) {
        if (!entry.isString()) return std::nullopt;
        const std::string path = entry.toString().toStdString();
        if (path.empty() || path.front() != '/' || path.size() > maxPathBytes ||
            path.find('\0') != std::string::npos)
            return std::nullopt;
        paths.push_back(path);
    }
    return paths;
}

bool handOff(const std::filesystem::path& socket, const std::vector<std::string>& paths,
             int timeoutMilliseconds) {
    const QByteArray request = encode(paths);
    if (request.size() > maxRequestBytes) return false;
    const QDeadlineTimer deadline(timeoutMilliseconds);
    const QString name = QString::fromStdString(socket.string());
    while (!deadline.hasExpired()) {
        QLocalSocket client;
        client.connectToServer(name);
        if (!client.waitForConnected(static_cast<int>(deadline.remainingTime()))) {
            QThread::msleep(retryMilliseconds);
            continue;
        }
        client.write(request);
        if (!client.waitForBytesWritten(static_cast<int>(deadline.remainingTime()))) return false;
        QByteArray answer;
        while (!answer.contains('\n') && client.waitForReadyRead(static_cast<int>(deadline.remainingTime())))
            answer += client.read(confirmation.size() - answer.size());
        return answer == confirmation;
    }
    return false;
}

}  // namespace InstanceChannel

InstanceServer::InstanceServer(QObject* parent) : QObject(parent), server_(new QLocalServer(this)) {
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_, &QLocalServer::newConnection, this, &InstanceServer::accept);
}

InstanceServer::~InstanceServer() { close(); }

bool InstanceServer::listen(const std::filesystem::path& socket) {
    const QString name = QString::fromStdString(socket.string());
    QLocalServer::removeServer(name);
    return server_->listen(name);
}

void InstanceServer::close() {
    if (server_->isListening()) server_->close();
}

void InstanceServer::accept() {
    while (QLocalSocket* client = server_->nextPendingConnection()) {
        connect(client, &QLocalSocket::readyRead, this, [this, client] { read(client); });
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        // A client that says nothing useful in time is dropped.
        QTimer::singleShot(clientMilliseconds, client, [client] { client->abort(); });
        read(client);
    }
}

void InstanceServer::read(QLocalSocket* client) {
    QByteArray buffer = client->property("kivoRequest").toByteArray();
    buffer += client->read(InstanceChannel::maxRequestBytes + 1 - buffer.size());
    const qsizetype end = buffer.indexOf('\n');
    if (end < 0) {
        if (buffer.size() > InstanceChannel::maxRequestBytes) {
            client->abort();
            return;
        }
        client->setProperty("kivoRequest", buffer);
        return;
    }
    const std::optional<std::vector<std::string>> paths = InstanceChannel::decode(buffer.left(end));
    if (!paths) {
        client->abort();
        return;
    }
    client->write(confirmation);
    client->flush();
    client->disconnectFromServer();
    emit filesReceived(*paths);
}

}  // namespace kivo
