#pragma once

#include <awaittask.h>
#include <testsupport.h>

#include <QCoroTask>
#include <QEventLoop>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <memory>
#include <optional>

namespace velto::test {

// A temporary home holding a Messages database written by the simulator, with the simulator's
// osascript stand-in as the program sends run: what a relay on a Mac would find, on Linux.
// Sets VELTO_HOME, VELTO_OSASCRIPT, VELTO_SIM_SEND_DELAY_MS and VELTO_SIM_OSASCRIPT_LOG while
// it lives.
class SimulatedMessages {
public:
    // `conversations`: fill the database with a few chats (one or more groups among them).
    explicit SimulatedMessages(bool conversations = false);
    ~SimulatedMessages();
    SimulatedMessages(const SimulatedMessages&) = delete;
    SimulatedMessages& operator=(const SimulatedMessages&) = delete;

    bool isReady() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }
    QString home() const { return m_home.path(); }
    QString databasePath() const;

    // The osascript calls the stand-in saw, oldest first (each with "arguments" and "outcome").
    QList<QJsonObject> calls() const;

    // Refuse automation from now on, as macOS does when the user said no.
    void refuseAutomation();

    // The number of rows in a table, -1 when the query fails.
    qint64 count(const QString& table) const;

private:
    TemporaryHome m_home;
    QString m_error;
    QByteArray m_previousOsascript;
};

using velto::test::await;

} // namespace velto::test
