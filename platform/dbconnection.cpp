#include "dbconnection.h"
#include "dbconnectionstate_p.h"

#include <QFileInfo>
#include <QUrl>

namespace velto::db {

namespace detail {

ConnectionState::~ConnectionState()
{
    for (auto& [sql, statements] : idle) {
        for (sqlite3_stmt* stmt : statements)
            sqlite3_finalize(stmt);
    }
    sqlite3_close_v2(db);
}

sqlite3_stmt* ConnectionState::takeCached(const std::string& sql)
{
    auto it = idle.find(sql);
    if (it == idle.end() || it->second.empty())
        return nullptr;
    sqlite3_stmt* stmt = it->second.back();
    it->second.pop_back();
    --idleCount;
    return stmt;
}

void ConnectionState::giveBack(const std::string& sql, sqlite3_stmt* stmt)
{
    if (idleCount >= cacheLimit) {
        sqlite3_finalize(stmt);
        return;
    }
    idle[sql].push_back(stmt);
    ++idleCount;
}

} // namespace detail

Connection::~Connection() = default;
Connection::Connection(Connection&&) noexcept = default;
Connection& Connection::operator=(Connection&&) noexcept = default;

QByteArray Connection::readOnlyUri(const QString& path)
{
    // QUrl percent-encodes what SQLite's URI parser would otherwise take as syntax ('?', '#',
    // '%'), so any file name opens as itself.
    return QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()).toEncoded() + "?mode=ro";
}

Result<Connection, Error> Connection::openWith(const QString& path, const QByteArray& name, int flags)
{
    sqlite3* db = nullptr;
    // Each connection is used by one thread at a time, so SQLite's own per-connection mutex
    // would only cost time.
    const int rc = sqlite3_open_v2(name.constData(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        Error error{rc, db ? QString::fromUtf8(sqlite3_errmsg(db)) : QString::fromUtf8(sqlite3_errstr(rc))};
        if (db)
            error.code = sqlite3_extended_errcode(db);
        sqlite3_close_v2(db);
        return fail(std::move(error));
    }
    sqlite3_extended_result_codes(db, 1);
    Connection connection;
    connection.m_state = std::make_shared<detail::ConnectionState>();
    connection.m_state->db = db;
    connection.m_state->path = path;
    connection.m_state->readOnly = (flags & SQLITE_OPEN_READONLY) != 0;
    return connection;
}

Result<Connection, Error> Connection::openReadOnly(const QString& path, std::chrono::milliseconds busyTimeout)
{
    auto opened = openWith(path, readOnlyUri(path), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
    if (opened && busyTimeout.count() > 0) {
        if (auto set = opened->setBusyTimeout(busyTimeout); !set)
            return fail(set.error());
    }
    return opened;
}

Result<Connection, Error> Connection::openReadWrite(const QString& path, bool create)
{
    return openWith(path, QFile::encodeName(path), SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0));
}

bool Connection::isReadOnly() const
{
    return m_state ? m_state->readOnly : true;
}

QString Connection::path() const
{
    return m_state ? m_state->path : QString();
}

Error Connection::lastError() const
{
    if (!m_state)
        return Error{SQLITE_MISUSE, QStringLiteral("connection is not open")};
    return Error{sqlite3_extended_errcode(m_state->db), QString::fromUtf8(sqlite3_errmsg(m_state->db))};
}

Result<Statement, Error> Connection::prepare(const QString& sql)
{
    if (!m_state)
        return fail(lastError());
    std::string key = sql.toStdString();
    if (sqlite3_stmt* cached = m_state->takeCached(key))
        return Statement(m_state, cached, std::move(key));
    sqlite3_stmt* stmt = nullptr;
    const int rc = sqlite3_prepare_v3(m_state->db, key.data(), int(key.size()), SQLITE_PREPARE_PERSISTENT,
                                      &stmt, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return fail(lastError());
    }
    if (!stmt) // only white space or a comment: nothing to run
        return fail(Error{SQLITE_MISUSE, QStringLiteral("no statement in SQL text")});
    return Statement(m_state, stmt, std::move(key));
}

Result<void, Error> Connection::execute(const QString& sql)
{
    if (!m_state)
        return fail(lastError());
    char* message = nullptr;
    const int rc = sqlite3_exec(m_state->db, sql.toUtf8().constData(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        Error error{sqlite3_extended_errcode(m_state->db),
                    message ? QString::fromUtf8(message) : QString::fromUtf8(sqlite3_errstr(rc))};
        sqlite3_free(message);
        return fail(std::move(error));
    }
    return {};
}

Result<void, Error> Connection::setBusyTimeout(std::chrono::milliseconds timeout)
{
    if (!m_state)
        return fail(lastError());
    if (sqlite3_busy_timeout(m_state->db, int(timeout.count())) != SQLITE_OK)
        return fail(lastError());
    return {};
}

qint64 Connection::lastInsertRowId() const
{
    return m_state ? sqlite3_last_insert_rowid(m_state->db) : 0;
}

int Connection::changes() const
{
    return m_state ? sqlite3_changes(m_state->db) : 0;
}

} // namespace velto::db
