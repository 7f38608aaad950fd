#include "dbstatement.h"
#include "dbconnectionstate_p.h"

#include <cmath>

namespace velto::db {

Statement::Statement(std::shared_ptr<detail::ConnectionState> owner, sqlite3_stmt* stmt, std::string cacheKey)
    : m_owner(std::move(owner))
    , m_stmt(stmt)
    , m_cacheKey(std::move(cacheKey))
{
}

Statement::~Statement()
{
    release();
}

Statement::Statement(Statement&& other) noexcept
    : m_owner(std::move(other.m_owner))
    , m_stmt(std::exchange(other.m_stmt, nullptr))
    , m_cacheKey(std::move(other.m_cacheKey))
{
}

Statement& Statement::operator=(Statement&& other) noexcept
{
    if (this != &other) {
        release();
        m_owner = std::move(other.m_owner);
        m_stmt = std::exchange(other.m_stmt, nullptr);
        m_cacheKey = std::move(other.m_cacheKey);
    }
    return *this;
}

void Statement::release()
{
    if (!m_stmt)
        return;
    sqlite3_reset(m_stmt);
    if (m_owner && !m_cacheKey.empty()) {
        sqlite3_clear_bindings(m_stmt);
        m_owner->giveBack(m_cacheKey, m_stmt);
    } else {
        sqlite3_finalize(m_stmt);
    }
    m_stmt = nullptr;
    m_owner.reset();
}

Error Statement::lastError() const
{
    if (!m_stmt)
        return Error{SQLITE_MISUSE, QStringLiteral("statement is not prepared")};
    sqlite3* db = sqlite3_db_handle(m_stmt);
    return Error{sqlite3_extended_errcode(db), QString::fromUtf8(sqlite3_errmsg(db))};
}

Result<void, Error> Statement::checked(int rc) const
{
    if (rc == SQLITE_OK)
        return {};
    return fail(lastError());
}

Result<void, Error> Statement::bind(int position, qint64 value)
{
    const int rc = m_stmt ? sqlite3_bind_int64(m_stmt, position, value) : SQLITE_MISUSE;
    return checked(rc);
}

Result<void, Error> Statement::bind(int position, double value)
{
    const int rc = m_stmt ? sqlite3_bind_double(m_stmt, position, value) : SQLITE_MISUSE;
    return checked(rc);
}

Result<void, Error> Statement::bind(int position, const QString& value)
{
    if (!m_stmt)
        return fail(lastError());
    const QByteArray utf8 = value.toUtf8();
    const int rc = sqlite3_bind_text64(m_stmt, position, utf8.constData(), sqlite3_uint64(utf8.size()),
                                       SQLITE_TRANSIENT, SQLITE_UTF8);
    return checked(rc);
}

Result<void, Error> Statement::bind(int position, const QByteArray& value)
{
    if (!m_stmt)
        return fail(lastError());
    // A null QByteArray still binds a zero-length blob: "no data" is bound with nullptr.
    static const char empty = 0;
    const int rc = sqlite3_bind_blob64(m_stmt, position, value.isEmpty() ? &empty : value.constData(),
                                       sqlite3_uint64(value.size()), SQLITE_TRANSIENT);
    return checked(rc);
}

Result<void, Error> Statement::bind(int position, std::nullptr_t)
{
    const int rc = m_stmt ? sqlite3_bind_null(m_stmt, position) : SQLITE_MISUSE;
    return checked(rc);
}

Result<bool, Error> Statement::step()
{
    if (!m_stmt)
        return fail(lastError());
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    Error error = lastError();
    // Leave the statement ready to run again; the error has been taken already.
    sqlite3_reset(m_stmt);
    return fail(std::move(error));
}

void Statement::reset()
{
    if (m_stmt)
        sqlite3_reset(m_stmt);
}

void Statement::clearBindings()
{
    if (m_stmt)
        sqlite3_clear_bindings(m_stmt);
}

int Statement::columnCount() const
{
    return m_stmt ? sqlite3_column_count(m_stmt) : 0;
}

QString Statement::columnName(int column) const
{
    const char* name = m_stmt ? sqlite3_column_name(m_stmt, column) : nullptr;
    return name ? QString::fromUtf8(name) : QString();
}

int Statement::columnIndex(const char* name) const
{
    const int count = columnCount();
    for (int i = 0; i < count; ++i) {
        const char* columnName = sqlite3_column_name(m_stmt, i);
        if (columnName && sqlite3_stricmp(columnName, name) == 0)
            return i;
    }
    return -1;
}

Statement::Type Statement::type(int column) const
{
    if (!m_stmt || column < 0 || column >= sqlite3_column_count(m_stmt))
        return Type::null;
    switch (sqlite3_column_type(m_stmt, column)) {
    case SQLITE_INTEGER:
        return Type::integer;
    case SQLITE_FLOAT:
        return Type::real;
    case SQLITE_TEXT:
        return Type::text;
    case SQLITE_BLOB:
        return Type::blob;
    default:
        return Type::null;
    }
}

std::optional<qint64> Statement::int64(int column) const
{
    switch (type(column)) {
    case Type::integer:
        return qint64(sqlite3_column_int64(m_stmt, column));
    case Type::real: {
        const double value = std::trunc(sqlite3_column_double(m_stmt, column));
        // Out of range or NaN has no integer reading.
        if (!(value >= -9223372036854775808.0 && value < 9223372036854775808.0))
            return std::nullopt;
        return qint64(value);
    }
    default:
        return std::nullopt;
    }
}

std::optional<double> Statement::real(int column) const
{
    switch (type(column)) {
    case Type::real:
    case Type::integer:
        return sqlite3_column_double(m_stmt, column);
    default:
        return std::nullopt;
    }
}

bool Statement::boolean(int column) const
{
    return int64(column).value_or(0) != 0;
}

QString Statement::text(int column) const
{
    if (type(column) != Type::text)
        return QString();
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, column));
    return QString::fromUtf8(data, sqlite3_column_bytes(m_stmt, column));
}

std::optional<QString> Statement::optionalText(int column) const
{
    if (type(column) != Type::text)
        return std::nullopt;
    return text(column);
}

std::optional<QByteArray> Statement::blob(int column) const
{
    if (type(column) != Type::blob)
        return std::nullopt;
    const void* data = sqlite3_column_blob(m_stmt, column);
    const int size = sqlite3_column_bytes(m_stmt, column);
    return size > 0 ? QByteArray(static_cast<const char*>(data), size) : QByteArray("");
}

bool Statement::isNull(const char* name) const
{
    return isNull(columnIndex(name));
}

std::optional<qint64> Statement::int64(const char* name) const
{
    return int64(columnIndex(name));
}

std::optional<double> Statement::real(const char* name) const
{
    return real(columnIndex(name));
}

bool Statement::boolean(const char* name) const
{
    return boolean(columnIndex(name));
}

QString Statement::text(const char* name) const
{
    return text(columnIndex(name));
}

std::optional<QString> Statement::optionalText(const char* name) const
{
    return optionalText(columnIndex(name));
}

std::optional<QByteArray> Statement::blob(const char* name) const
{
    return blob(columnIndex(name));
}

QString Statement::sql() const
{
    return m_stmt ? QString::fromUtf8(sqlite3_sql(m_stmt)) : QString();
}

} // namespace velto::db
