#pragma once

#include "dberror.h"
#include "result.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>
#include <string>

struct sqlite3_stmt;

namespace velto::db {

namespace detail {
struct ConnectionState;
}

// One prepared statement of a Connection. Parameters are positional and 1-based, as SQLite
// counts them; columns are 0-based. Cells are read with fixed conversions that never fail a
// row (a cell of an unexpected type reads as absent, empty or false):
//   int64    integer cell as is, real cell truncated toward zero, anything else absent;
//   real     real cell as is, integer cell converted, anything else absent;
//   boolean  int64 other than 0; absent reads as false;
//   text     a text cell, anything else (NULL included) the empty text;
//   blob     a blob cell (possibly zero bytes), anything else absent.
// Statements come from the connection's cache and go back to it, reset and unbound, when
// destroyed, so a query run once per page is compiled once. Move-only; one thread at a time.
class Statement {
public:
    enum class Type { integer, real, text, blob, null };

    Statement() = default;
    ~Statement();
    Statement(Statement&& other) noexcept;
    Statement& operator=(Statement&& other) noexcept;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool isValid() const { return m_stmt != nullptr; }

    Result<void, Error> bind(int position, qint64 value);
    Result<void, Error> bind(int position, int value) { return bind(position, qint64(value)); }
    Result<void, Error> bind(int position, double value);
    Result<void, Error> bind(int position, bool value) { return bind(position, qint64(value ? 1 : 0)); }
    Result<void, Error> bind(int position, const QString& value);
    Result<void, Error> bind(int position, const QByteArray& value); // as a blob
    Result<void, Error> bind(int position, std::nullptr_t);
    template <typename T>
    Result<void, Error> bind(int position, const std::optional<T>& value)
    {
        return value ? bind(position, *value) : bind(position, nullptr);
    }

    // Binds the values to positions 1, 2, … in order; stops at the first failure.
    template <typename... Values>
    Result<void, Error> bindAll(const Values&... values)
    {
        Result<void, Error> outcome;
        int position = 0;
        (void)((outcome = bind(++position, values), outcome.ok()) && ...);
        return outcome;
    }

    // Advances to the next row: true with a row to read, false when the statement is done.
    Result<bool, Error> step();
    // Back to before the first row; bindings are kept so the statement can run again.
    void reset();
    void clearBindings();

    int columnCount() const;
    QString columnName(int column) const;
    // Position of the column with this name (ASCII case-insensitive), -1 when there is none.
    // Loops that read many rows should look positions up once and read by position.
    int columnIndex(const char* name) const;

    Type type(int column) const;
    bool isNull(int column) const { return type(column) == Type::null; }
    std::optional<qint64> int64(int column) const;
    std::optional<double> real(int column) const;
    bool boolean(int column) const;
    QString text(int column) const;
    std::optional<QString> optionalText(int column) const; // present only for a text cell
    std::optional<QByteArray> blob(int column) const;

    // The same by column name; a name the statement does not select reads as absent/empty/false.
    bool isNull(const char* name) const;
    std::optional<qint64> int64(const char* name) const;
    std::optional<double> real(const char* name) const;
    bool boolean(const char* name) const;
    QString text(const char* name) const;
    std::optional<QString> optionalText(const char* name) const;
    std::optional<QByteArray> blob(const char* name) const;

    QString sql() const;

private:
    friend class Connection;
    Statement(std::shared_ptr<detail::ConnectionState> owner, sqlite3_stmt* stmt, std::string cacheKey);
    Error lastError() const;
    Result<void, Error> checked(int rc) const;
    void release();

    std::shared_ptr<detail::ConnectionState> m_owner;
    sqlite3_stmt* m_stmt = nullptr;
    std::string m_cacheKey; // empty: not cached, finalised on destruction
};

} // namespace velto::db
