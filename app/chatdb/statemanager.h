#pragma once

#include "statemanagererror.h"

#include <logger.h>
#include <result.h>

#include <QString>

namespace velto {

// The read position of live forwarding: the row id of the last message handed on, kept in
// "last-row-id.json" in the configuration directory so that a restart resumes after it.
// Expects one writer at a time (it always writes the same temporary file).
class StateManager {
public:
    // Fixes the two paths; touches no file.
    StateManager();

    // The stored row id, or 0 when there is none or it cannot be read; never fails.
    qint64 loadLastRowId() const;

    // Writes {"lastRowId":N} to the temporary twin, flushes it to disk and renames it over the
    // state file, so the file always holds the old or the new position, never nothing.
    Result<void, StateManagerError> saveLastRowId(qint64 rowId);

    QString stateFilePath() const { return m_stateFilePath; }
    QString tempFilePath() const { return m_tempFilePath; }

private:
    Logger m_log{"StateManager"};
    const QString m_stateFilePath;
    const QString m_tempFilePath;
};

} // namespace velto
