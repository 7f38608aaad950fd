#include "singleinstance.h"

#include "configuration.h"

#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>

#include <unistd.h>

namespace velto {

namespace {
// A message is one line; anything longer is not ours.
constexpr qint64 kMaxMessage = 64 * 1024;
}

SingleInstance::SingleInstance(QObject* parent)
    : QObject(parent)
    , m_server(new QLocalServer(this))
{
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (socket->bytesAvailable() > kMaxMessage) {
                    socket->abort();
                    return;
                }
                if (!socket->canReadLine())
                    return;
                const QString message = QString::fromUtf8(socket->readLine()).trimmed();
                socket->write("ok\n");
                socket->flush();
                socket->disconnectFromServer();
                if (onMessage)
                    onMessage(message);
            });
        }
    });
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::serverName()
{
    const QByteArray hash =
        QCryptographicHash::hash(Configuration::configDir().toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
    return QStringLiteral("velto-%1-%2").arg(::getuid()).arg(QString::fromLatin1(hash));
}

Result<void, QString> SingleInstance::listen()
{
    const QString name = serverName();
    if (!m_server->listen(name)) {
        // Nobody answered on the name, so what is there was left by an instance that died.
        QLocalServer::removeServer(name);
        if (!m_server->listen(name))
            return fail(m_server->errorString());
    }
    return {};
}

bool SingleInstance::sendToRunning(const QString& message, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(serverName());
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(message.toUtf8() + '\n');
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(timeoutMs))
            return false;
    }
    return socket.readLine().trimmed() == "ok";
}

std::optional<QString> SingleInstance::linkFromMessage(const QString& message)
{
    if (!message.startsWith(QLatin1String("link ")))
        return std::nullopt;
    return message.mid(5);
}

} // namespace velto
