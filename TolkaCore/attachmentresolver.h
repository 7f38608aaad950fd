#pragma once

#include <QString>

namespace velto::AttachmentResolver {

struct Resolved {
    QString path;
    bool missing = true;
};

// Expands a leading "~" to the home directory and tells whether a file is there. An empty path
// resolves to an empty, missing path; a directory counts as missing.
Resolved resolve(const QString& path);

// "~" and "~/…" expanded to the home directory; other paths unchanged.
QString expandTilde(const QString& path);

} // namespace velto::AttachmentResolver
