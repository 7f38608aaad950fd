#include "attachmentresolver.h"

#include <platform.h>

#include <QDir>
#include <QFileInfo>

namespace velto::AttachmentResolver {

QString expandTilde(const QString& path)
{
    if (path == QLatin1String("~"))
        return Platform::homeDirectory();
    if (path.startsWith(QLatin1String("~/")))
        return QDir(Platform::homeDirectory()).filePath(path.mid(2));
    return path;
}

Resolved resolve(const QString& path)
{
    if (path.isEmpty())
        return Resolved{QString(), true};
    Resolved resolved{expandTilde(path), true};
    const QFileInfo info(resolved.path);
    resolved.missing = !info.exists() || info.isDir();
    return resolved;
}

} // namespace velto::AttachmentResolver
