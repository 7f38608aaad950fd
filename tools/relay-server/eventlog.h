#pragma once

#include "result.h"

#include <QFile>
#include <QJsonObject>
#include <QList>

#include <deque>

namespace velto::relayserver {

// Everything the server observed, numbered from 1 in arrival order. The newest events stay in
// memory for the control API; every event is also appended to the events file (one JSON object
// per line) when one is set. A restart on the same file continues the numbering, so a poller's
// "since" stays meaningful across restarts.
class EventLog {
public:
    explicit EventLog(int maxInMemory);

    Result<void, QString> openFile(const QString& path);

    // Stamps the event with "seq" and "receivedAt" (Unix milliseconds) and stores it.
    qint64 append(QJsonObject event);

    // Events with seq > `since`, oldest first, at most `limit`.
    QList<QJsonObject> since(qint64 since, int limit) const;
    qint64 lastSeq() const { return m_lastSeq; }
    // The oldest seq still held in memory (lastSeq + 1 when none is).
    qint64 firstRetainedSeq() const { return m_lastSeq - qint64(m_events.size()) + 1; }

private:
    static qint64 lastSeqInFile(QFile& file);

    int m_maxInMemory;
    qint64 m_lastSeq = 0;
    std::deque<QJsonObject> m_events;
    QFile m_file;
};

} // namespace velto::relayserver
