#pragma once

#include <dberror.h>

#include <QString>

namespace velto {

// The message-store library's error. Each case carries the value its text names; description()
// gives the fixed user-facing text.
class TolkaError {
public:
    enum class Kind {
        permissionDenied,
        invalidISODate,
        invalidService,
        invalidChatTarget,
        appleScriptFailure,
        invalidReaction,
        chatNotFound,
        database, // an SQLite failure passed on as it came
        fileOperation, // a file-system failure of the sender, with the system's text
        processLaunch, // a helper program that could not be started, with the system's text
    };

    static TolkaError permissionDenied(const QString& path, const db::Error& underlying);
    static TolkaError invalidISODate(const QString& text);
    static TolkaError invalidService(const QString& text);
    static TolkaError invalidChatTarget(const QString& text);
    static TolkaError appleScriptFailure(const QString& text);
    static TolkaError invalidReaction(const QString& text);
    static TolkaError chatNotFound(qint64 chatID);
    static TolkaError database(const db::Error& error);
    static TolkaError fileOperation(const QString& text);
    static TolkaError processLaunch(const QString& text);

    Kind kind() const { return m_kind; }
    // The case's text value (path, date text, service, system text, …); empty for chatNotFound and database.
    const QString& value() const { return m_value; }
    qint64 chatID() const { return m_chatID; }
    // The SQLite error of permissionDenied and database.
    const db::Error& underlying() const { return m_underlying; }

    QString description() const;

private:
    TolkaError(Kind kind, QString value) : m_kind(kind), m_value(std::move(value)) {}

    Kind m_kind;
    QString m_value;
    qint64 m_chatID = 0;
    db::Error m_underlying;
};

} // namespace velto
