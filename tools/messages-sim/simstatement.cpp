#include "simstatement.h"

#include <sqlite3.h>

#include <utility>

namespace velto::sim {

SimStatement::SimStatement(sqlite3_stmt *statement)
    : m_statement(statement)
{
}

SimStatement::~SimStatement()
{
    sqlite3_finalize(m_statement);
}

SimStatement::SimStatement(SimStatement &&other) noexcept
    : m_statement(std::exchange(other.m_statement, nullptr))
{
}

SimStatement &SimStatement::operator=(SimStatement &&other) noexcept
{
    if (this != &other) {
        sqlite3_finalize(m_statement);
        m_statement = std::exchange(other.m_statement, nullptr);
    }
    return *this;
}

void SimStatement::bind(int index, const SqlValue &value)
{
    switch (value.index()) {
    case 0:
        bindNull(index);
        break;
    case 1:
        bindInt(index, std::get<1>(value));
        break;
    case 2:
        bindText(index, std::get<2>(value));
        break;
    case 3:
        bindBlob(index, std::get<3>(value));
        break;
    }
}

void SimStatement::bindInt(int index, qint64 value)
{
    sqlite3_bind_int64(m_statement, index, value);
}

void SimStatement::bindText(int index, const QString &value)
{
    const QByteArray utf8 = value.toUtf8();
    sqlite3_bind_text64(m_statement, index, utf8.constData(), quint64(utf8.size()), SQLITE_TRANSIENT, SQLITE_UTF8);
}

void SimStatement::bindBlob(int index, const QByteArray &value)
{
    // A null QByteArray would bind NULL; an empty blob must stay a (zero-length) blob.
    static const char empty = 0;
    sqlite3_bind_blob64(m_statement, index, value.isEmpty() ? &empty : value.constData(), quint64(value.size()),
                        SQLITE_TRANSIENT);
}

void SimStatement::bindNull(int index)
{
    sqlite3_bind_null(m_statement, index);
}

SimStatement::Step SimStatement::step()
{
    switch (sqlite3_step(m_statement)) {
    case SQLITE_ROW:
        return Step::Row;
    case SQLITE_DONE:
        return Step::Done;
    default:
        return Step::Error;
    }
}

void SimStatement::reset()
{
    sqlite3_reset(m_statement);
    sqlite3_clear_bindings(m_statement);
}

bool SimStatement::isNull(int column) const
{
    return sqlite3_column_type(m_statement, column) == SQLITE_NULL;
}

qint64 SimStatement::columnInt(int column) const
{
    return sqlite3_column_int64(m_statement, column);
}

QString SimStatement::columnText(int column) const
{
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(m_statement, column));
    return text ? QString::fromUtf8(text, sqlite3_column_bytes(m_statement, column)) : QString();
}

QByteArray SimStatement::columnBlob(int column) const
{
    const void *data = sqlite3_column_blob(m_statement, column);
    return data ? QByteArray(static_cast<const char *>(data), sqlite3_column_bytes(m_statement, column))
                : QByteArray();
}

} // namespace velto::sim
