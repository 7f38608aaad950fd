#pragma once

#include <QByteArray>
#include <QString>

#include <variant>

struct sqlite3_stmt;

namespace velto::sim {

// A value bound to a statement parameter: NULL, an integer, a text or a blob.
using SqlValue = std::variant<std::monostate, qint64, QString, QByteArray>;

// One prepared statement, finalised with the object. Parameters are 1-based, columns 0-based.
class SimStatement {
public:
    enum class Step { Row, Done, Error };

    SimStatement() = default;
    explicit SimStatement(sqlite3_stmt *statement);
    ~SimStatement();
    SimStatement(SimStatement &&other) noexcept;
    SimStatement &operator=(SimStatement &&other) noexcept;
    SimStatement(const SimStatement &) = delete;
    SimStatement &operator=(const SimStatement &) = delete;

    bool isValid() const { return m_statement != nullptr; }

    void bind(int index, const SqlValue &value);
    void bindInt(int index, qint64 value);
    void bindText(int index, const QString &value);
    void bindBlob(int index, const QByteArray &value);
    void bindNull(int index);

    Step step();
    // Ready for the next round of bindings.
    void reset();

    bool isNull(int column) const;
    qint64 columnInt(int column) const;
    QString columnText(int column) const;
    QByteArray columnBlob(int column) const;

private:
    sqlite3_stmt *m_statement = nullptr;
};

} // namespace velto::sim
