#pragma once

#include "dberror.h"
#include "dbstatement.h"
#include "result.h"

#include <QString>

#include <chrono>
#include <memory>

namespace velto::db {

// One SQLite connection. The relay only ever reads the Messages database, so openReadOnly is
// the normal way in: it goes through a "file:…?mode=ro" URI, which SQLite refuses to write
// through even if the file's permissions would allow it. openReadWrite is for tools and tests
// that build databases. Move-only; use from one thread at a time (ReadPool and MessageStore
// arrange that). Statements keep their connection's handle alive.
class Connection {
public:
    Connection() = default;
    ~Connection();
    Connection(Connection&&) noexcept;
    Connection& operator=(Connection&&) noexcept;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // A busy timeout of zero leaves SQLite's default (fail at once when the file is locked).
    static Result<Connection, Error> openReadOnly(const QString& path,
                                                  std::chrono::milliseconds busyTimeout = {});
    static Result<Connection, Error> openReadWrite(const QString& path, bool create = true);

    // The URI openReadOnly opens: the file URL of the absolute path with "?mode=ro".
    static QByteArray readOnlyUri(const QString& path);

    bool isOpen() const { return m_state != nullptr; }
    bool isReadOnly() const;
    QString path() const;

    // A statement for `sql`, taken from the connection's cache when the same text was
    // prepared before and is not in use right now.
    Result<Statement, Error> prepare(const QString& sql);
    // Runs one or more statements that return no rows of interest (schema, inserts in tests).
    Result<void, Error> execute(const QString& sql);
    Result<void, Error> setBusyTimeout(std::chrono::milliseconds timeout);

    qint64 lastInsertRowId() const;
    int changes() const;

private:
    static Result<Connection, Error> openWith(const QString& path, const QByteArray& name, int flags);
    Error lastError() const;

    std::shared_ptr<detail::ConnectionState> m_state;
};

} // namespace velto::db
