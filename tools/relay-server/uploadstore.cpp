#include "uploadstore.h"

#include "filestore.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QUuid>

namespace velto::relayserver {

UploadStore::UploadStore(const QString& directory)
    : m_directory(directory)
{
}

Result<void, QString> UploadStore::open()
{
    if (m_directory.isEmpty()) {
        m_temporary = std::make_unique<QTemporaryDir>();
        if (!m_temporary->isValid())
            return fail(QStringLiteral("Cannot create a temporary storage folder: %1").arg(m_temporary->errorString()));
        m_directory = m_temporary->path();
        return {};
    }
    m_directory = QDir(m_directory).absolutePath();
    return FileStore::ensureDirectory(m_directory);
}

QString UploadStore::safeFileName(const QString& name)
{
    QString last = name;
    const qsizetype slash = std::max(last.lastIndexOf(QLatin1Char('/')), last.lastIndexOf(QLatin1Char('\\')));
    if (slash >= 0)
        last = last.mid(slash + 1);

    QString cleaned;
    for (const QChar c : std::as_const(last)) {
        const auto category = c.category();
        const bool control = category == QChar::Other_Control || category == QChar::Other_Format
            || category == QChar::Other_NotAssigned || category == QChar::Separator_Line
            || category == QChar::Separator_Paragraph;
        cleaned.append(control || c == QChar::Null ? QLatin1Char('_') : c);
    }
    while (cleaned.startsWith(QLatin1Char('.')) || cleaned.startsWith(QLatin1Char(' ')))
        cleaned.remove(0, 1);
    cleaned = cleaned.trimmed();

    // Keep well under NAME_MAX (255 bytes) without cutting a character in two.
    while (cleaned.toUtf8().size() > 200)
        cleaned.chop(cleaned.size() >= 2 && cleaned.at(cleaned.size() - 1).isLowSurrogate() ? 2 : 1);
    return cleaned.isEmpty() ? QStringLiteral("file") : cleaned;
}

Result<StoredFile, QString> UploadStore::store(const QString& requestedName, const QByteArray& data)
{
    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QString name = safeFileName(requestedName);
    const QString folder = QDir(m_directory).filePath(id);
    if (auto made = FileStore::ensureDirectory(folder); !made)
        return fail(made.error());
    QSaveFile file(QDir(folder).filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit())
        return fail(QStringLiteral("Cannot store upload: %1").arg(file.errorString()));
    return StoredFile{id + QLatin1Char('/') + name, name, data.size()};
}

QString UploadStore::resolve(const QString& storagePath) const
{
    const QStringList parts = storagePath.split(QLatin1Char('/'));
    if (parts.size() != 2)
        return {};
    for (const QString& part : parts) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..")
            || part.contains(QLatin1Char('\\')) || part.contains(QChar::Null))
            return {};
    }
    const QFileInfo file(QDir(m_directory).filePath(storagePath));
    if (!file.isFile())
        return {};
    // A symbolic link planted in the folder must not lead outside it either.
    const QString root = QFileInfo(m_directory).canonicalFilePath() + QLatin1Char('/');
    const QString real = file.canonicalFilePath();
    return real.startsWith(root) ? real : QString();
}

} // namespace velto::relayserver
