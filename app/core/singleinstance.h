#pragma once

#include "result.h"

#include <QObject>
#include <QString>

#include <functional>
#include <optional>

class QLocalServer;

namespace velto {

// One running velto per configuration directory: the first one listens on a local socket, and a
// later process hands it its message (a registration link, or an answer to a pending switch)
// instead of starting a second relay.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    static constexpr const char* confirmSwitch = "confirm-switch";
    static constexpr const char* cancelSwitch = "cancel-switch";

    explicit SingleInstance(QObject* parent = nullptr);
    ~SingleInstance() override;

    // Starts listening; a socket left behind by a crashed instance is replaced. The error is
    // the system's text.
    Result<void, QString> listen();
    // Called on the owner's thread for every message another process hands over.
    std::function<void(const QString& message)> onMessage;

    // Hands `message` to the running instance; false when none answered.
    static bool sendToRunning(const QString& message, int timeoutMs = 2000);
    static QString linkMessage(const QString& url) { return QStringLiteral("link ") + url; }
    static std::optional<QString> linkFromMessage(const QString& message);
    // The socket's name, derived from the configuration directory so that separate homes
    // (tests, the demo) never meet.
    static QString serverName();

private:
    QLocalServer* m_server;
};

} // namespace velto
