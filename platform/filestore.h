#pragma once

#include "result.h"

#include <QByteArray>
#include <QString>

namespace velto::FileStore {

// Creates a directory (and its parents) with mode 0700; succeeds when it already exists.
// On failure the error is the system's text.
Result<void, QString> ensureDirectory(const QString& path);

// Writes `data` whole to a temporary file in the same folder, created with `mode` from the
// first byte, flushes it and renames it over `path`: a reader sees the old or the new file,
// never a part, and a secret is never readable by others even for a moment.
Result<void, QString> writeAtomically(const QString& path, const QByteArray& data, int mode = 0600);

} // namespace velto::FileStore
