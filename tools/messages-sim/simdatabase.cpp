#include "simdatabase.h"

#include <sqlite3.h>

namespace velto::sim {

SimDatabase::~SimDatabase()
{
    close();
}

Result<void, SimulatorError> SimDatabase::open(const QString &path, bool create)
{
    close();
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX;
    const int rc = sqlite3_open_v2(path.toUtf8().constData(), &m_db, flags, nullptr);
    if (rc != SQLITE_OK) {
        const SimulatorError error = lastError(QStringLiteral("open ") + path);
        close();
        return fail(error);
    }
    sqlite3_busy_timeout(m_db, 5000);
    sqlite3_extended_result_codes(m_db, 1);
    // Like Messages, which keeps its connection open, leave the -wal file in place between
    // writers, so that a watcher sees the same files as on a Mac.
    int persist = 1;
    sqlite3_file_control(m_db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    return {};
}

void SimDatabase::close()
{
    if (m_db) {
        sqlite3_close_v2(m_db);
        m_db = nullptr;
    }
}

Result<void, SimulatorError> SimDatabase::exec(const QString &sql)
{
    char *message = nullptr;
    if (sqlite3_exec(m_db, sql.toUtf8().constData(), nullptr, nullptr, &message) != SQLITE_OK) {
        const QString text = QString::fromUtf8(message ? message : sqlite3_errmsg(m_db));
        sqlite3_free(message);
        return fail(SimulatorError{SimulatorError::Kind::Database, text + QStringLiteral(" (") + sql.left(80)
                                                                       + QStringLiteral(")")});
    }
    return {};
}

Result<SimStatement, SimulatorError> SimDatabase::prepare(const QString &sql)
{
    sqlite3_stmt *statement = nullptr;
    const QByteArray utf8 = sql.toUtf8();
    if (sqlite3_prepare_v3(m_db, utf8.constData(), int(utf8.size()), SQLITE_PREPARE_PERSISTENT, &statement, nullptr)
        != SQLITE_OK)
        return fail(lastError(QStringLiteral("prepare ") + sql.left(80)));
    return SimStatement(statement);
}

Result<QString, SimulatorError> SimDatabase::queryText(const QString &sql)
{
    auto statement = prepare(sql);
    if (!statement)
        return fail(statement.error());
    switch (statement->step()) {
    case SimStatement::Step::Row:
        return statement->columnText(0);
    case SimStatement::Step::Done:
        return QString();
    case SimStatement::Step::Error:
        break;
    }
    return fail(lastError(sql.left(80)));
}

qint64 SimDatabase::lastInsertRowId() const
{
    return sqlite3_last_insert_rowid(m_db);
}

QSet<QString> SimDatabase::columns(const QString &table)
{
    QSet<QString> names;
    auto statement = prepare(QStringLiteral("PRAGMA table_info(") + table + QStringLiteral(")"));
    if (!statement)
        return names;
    while (statement->step() == SimStatement::Step::Row)
        names.insert(statement->columnText(1).toLower());
    return names;
}

SimulatorError SimDatabase::lastError(const QString &context) const
{
    const QString message = m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QStringLiteral("out of memory");
    return {SimulatorError::Kind::Database, context + QStringLiteral(": ") + message};
}

} // namespace velto::sim
