#include "eventlog.h"

#include <QDateTime>
#include <QJsonDocument>

#include <algorithm>

namespace velto::relayserver {

EventLog::EventLog(int maxInMemory)
    : m_maxInMemory(std::max(1, maxInMemory))
{
}

Result<void, QString> EventLog::openFile(const QString& path)
{
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::ReadWrite | QIODevice::Append))
        return fail(QStringLiteral("Cannot open events file %1: %2").arg(path, m_file.errorString()));
    m_lastSeq = std::max(m_lastSeq, lastSeqInFile(m_file));
    return {};
}

qint64 EventLog::lastSeqInFile(QFile& file)
{
    // Only the last complete line matters; lines are short compared with this window, and a
    // longer one (a huge historical batch) just means looking further back.
    const qint64 size = file.size();
    for (qint64 window = 65536; ; window *= 4) {
        const qint64 start = std::max<qint64>(0, size - window);
        if (!file.seek(start))
            return 0;
        const QByteArray tail = file.read(size - start);
        QList<QByteArray> lines = tail.split('\n');
        if (start > 0)
            lines.removeFirst(); // may be cut in the middle
        for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
            const QJsonObject event = QJsonDocument::fromJson(*it).object();
            if (event.value(QLatin1String("seq")).isDouble())
                return qint64(event.value(QLatin1String("seq")).toDouble());
        }
        if (start == 0)
            return 0;
    }
}

qint64 EventLog::append(QJsonObject event)
{
    event.insert(QStringLiteral("seq"), ++m_lastSeq);
    event.insert(QStringLiteral("receivedAt"), QDateTime::currentMSecsSinceEpoch());
    if (m_file.isOpen()) {
        m_file.write(QJsonDocument(event).toJson(QJsonDocument::Compact) + '\n');
        m_file.flush();
    }
    m_events.push_back(std::move(event));
    while (m_events.size() > size_t(m_maxInMemory))
        m_events.pop_front();
    return m_lastSeq;
}

QList<QJsonObject> EventLog::since(qint64 since, int limit) const
{
    QList<QJsonObject> result;
    const qint64 first = firstRetainedSeq();
    const qint64 from = std::max(since + 1, first);
    for (qint64 seq = from; seq <= m_lastSeq && result.size() < limit; ++seq)
        result.append(m_events[size_t(seq - first)]);
    return result;
}

} // namespace velto::relayserver
