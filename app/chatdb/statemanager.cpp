#include "statemanager.h"

#include "configuration.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace velto {

namespace {

QString systemError(const QString& what, const QString& path)
{
    return what + QLatin1Char(' ') + path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
}

// The whole of `data` into `path` (created or truncated), on disk before this returns: the rename
// that follows must never install a file whose bytes are still only in memory.
Result<void, StateManagerError> writeDurably(const QString& path, const QByteArray& data)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return fail(StateManagerError::fileSystem(systemError(QStringLiteral("Cannot create"), path)));
    qsizetype written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + written, size_t(data.size() - written));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const QString text = systemError(QStringLiteral("Cannot write"), path);
            ::close(fd);
            return fail(StateManagerError::fileSystem(text));
        }
        written += n;
    }
    if (::fdatasync(fd) != 0) {
        const QString text = systemError(QStringLiteral("Cannot flush"), path);
        ::close(fd);
        return fail(StateManagerError::fileSystem(text));
    }
    if (::close(fd) != 0)
        return fail(StateManagerError::fileSystem(systemError(QStringLiteral("Cannot close"), path)));
    return {};
}

} // namespace

StateManager::StateManager()
    : m_stateFilePath(QDir(Configuration::configDir()).filePath(QStringLiteral("last-row-id.json")))
    , m_tempFilePath(QDir(Configuration::configDir()).filePath(QStringLiteral("last-row-id.json.tmp")))
{
}

qint64 StateManager::loadLastRowId() const
{
    if (!QFileInfo::exists(m_stateFilePath)) {
        m_log.info(QStringLiteral("State file does not exist. Starting from ROWID 0."));
        return 0;
    }
    QFile file(m_stateFilePath);
    if (!file.open(QIODevice::ReadOnly)) {
        m_log.error(QStringLiteral("Error loading state file: ") + file.errorString());
        return 0;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        m_log.error(QStringLiteral("Error loading state file: ") + parseError.errorString());
        return 0;
    }
    // A number that is not whole (12.5) or a string ("12") is as invalid as a missing member.
    const qint64 rowId = document.isObject() ? document.object().value(QLatin1String("lastRowId")).toInteger(-1) : -1;
    if (rowId < 0) {
        m_log.error(QStringLiteral("Invalid lastRowId in state file. Starting from ROWID 0."));
        return 0;
    }
    m_log.info(QStringLiteral("Loaded last processed ROWID: %1").arg(rowId));
    return rowId;
}

Result<void, StateManagerError> StateManager::saveLastRowId(qint64 rowId)
{
    if (rowId < 0)
        return fail(StateManagerError::invalidRowId(rowId));
    if (auto made = Configuration::ensureConfigDir(); !made)
        return fail(StateManagerError::fileSystem(made.error()));

    QJsonObject object;
    object.insert(QLatin1String("lastRowId"), rowId);
    const QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Compact);
    if (auto written = writeDurably(m_tempFilePath, bytes); !written)
        return written;
    // rename() replaces the state file in one step: a crash leaves either the old or the new
    // position, never a moment without a state file (which would replay from row 0).
    if (::rename(QFile::encodeName(m_tempFilePath).constData(), QFile::encodeName(m_stateFilePath).constData()) != 0) {
        const QString text = systemError(QStringLiteral("Cannot replace"), m_stateFilePath);
        QFile::remove(m_tempFilePath);
        return fail(StateManagerError::fileSystem(text));
    }
    m_log.debug(QStringLiteral("Saved last processed ROWID: %1").arg(rowId));
    return {};
}

} // namespace velto
