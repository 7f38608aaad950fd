#pragma once

#include "result.h"
#include "simstatement.h"
#include "simulatorerror.h"

#include <QSet>
#include <QString>

struct sqlite3;

namespace velto::sim {

// The simulator's read-write connection to a Messages database (the relay itself only ever
// reads). Closed with the object.
class SimDatabase {
public:
    SimDatabase() = default;
    ~SimDatabase();
    SimDatabase(const SimDatabase &) = delete;
    SimDatabase &operator=(const SimDatabase &) = delete;

    // Opens an existing file, or creates it when `create` is set.
    Result<void, SimulatorError> open(const QString &path, bool create);
    void close();
    bool isOpen() const { return m_db != nullptr; }

    Result<void, SimulatorError> exec(const QString &sql);
    Result<SimStatement, SimulatorError> prepare(const QString &sql);
    // The first column of the first row of a query, as text (empty when there is none).
    Result<QString, SimulatorError> queryText(const QString &sql);
    qint64 lastInsertRowId() const;

    // Lower-cased column names of a table (empty when it does not exist).
    QSet<QString> columns(const QString &table);

    // The error of the last failed call, with what was being done.
    SimulatorError lastError(const QString &context) const;

private:
    sqlite3 *m_db = nullptr;
};

} // namespace velto::sim
