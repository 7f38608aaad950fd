#pragma once

#include <QCoroTask>
#include <QString>

#include <optional>

namespace velto::HandleResolver {

// The normalised address of a handle row (message.handle_id): a phone number reduced to "+" and
// digits (or digits alone), an e-mail address in lower case, anything else trimmed. Absent when
// the row does not exist, holds no text, or the database cannot be read (logged).
// Blocking: reads through a process-wide read-only pool on the Messages database, opened on
// first use and kept for the life of the process; call it from pool threads.
std::optional<QString> resolveHandleId(qint64 handleId);

// The same, run on the thread pool.
QCoro::Task<std::optional<QString>> resolveHandleIdAsync(qint64 handleId);

// The normalisation rules on a stored handle.id value, without the database.
std::optional<QString> normalize(const QString& rawId);

} // namespace velto::HandleResolver
