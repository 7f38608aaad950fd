#include "filestore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velto::FileStore {

namespace {
QString systemError(const QString& what, const QString& path)
{
    return QStringLiteral("%1 %2: %3").arg(what, path, QString::fromLocal8Bit(std::strerror(errno)));
}
} // namespace

Result<void, QString> ensureDirectory(const QString& path)
{
    QFileInfo info(path);
    if (info.isDir())
        return {};
    if (info.exists())
        return fail(QStringLiteral("Cannot create directory %1: a file is in the way").arg(path));
    const QString parent = info.absolutePath();
    if (parent != info.absoluteFilePath()) {
        if (auto made = ensureDirectory(parent); !made)
            return made;
    }
    if (::mkdir(QFile::encodeName(path).constData(), 0700) != 0 && errno != EEXIST)
        return fail(systemError(QStringLiteral("Cannot create directory"), path));
    return {};
}

Result<void, QString> writeAtomically(const QString& path, const QByteArray& data, int mode)
{
    const QString temp = path + QStringLiteral(".tmp-")
                         + QString::number(QRandomGenerator::global()->generate(), 16);
    const QByteArray tempName = QFile::encodeName(temp);
    const int fd = ::open(tempName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0)
        return fail(systemError(QStringLiteral("Cannot create"), temp));
    // The umask may have narrowed the mode; a secret file must still be exactly `mode`.
    ::fchmod(fd, mode);

    qsizetype written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + written, size_t(data.size() - written));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const QString err = systemError(QStringLiteral("Cannot write"), temp);
            ::close(fd);
            ::unlink(tempName.constData());
            return fail(err);
        }
        written += n;
    }
    const bool synced = ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!synced || !closed) {
        const QString err = systemError(QStringLiteral("Cannot flush"), temp);
        ::unlink(tempName.constData());
        return fail(err);
    }
    if (::rename(tempName.constData(), QFile::encodeName(path).constData()) != 0) {
        const QString err = systemError(QStringLiteral("Cannot replace"), path);
        ::unlink(tempName.constData());
        return fail(err);
    }
    return {};
}

} // namespace velto::FileStore
