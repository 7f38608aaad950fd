#pragma once

#include <QDateTime>
#include <QHash>
#include <QString>

namespace velto {

// Messages writes a link preview as a second row shortly after the link itself (same chat,
// direction, sender and text, balloon "com.apple.messages.URLBalloonProvider"). This remembers
// the link-preview rows seen recently and says which ones to leave out.
class URLBalloonDedupe {
public:
    struct Entry {
        qint64 rowID = 0;
        QDateTime date;
    };

    static constexpr qint64 pruneAfterSeconds = 600;
    static constexpr qint64 duplicateWithinSeconds = 90;

    // Called for every link-preview row in row order; true when the row is a duplicate.
    bool shouldSkip(qint64 chatID, bool isFromMe, const QString& sender, const QString& text, qint64 rowID,
                    const QDateTime& date);

    qsizetype size() const { return m_entries.size(); }

private:
    QHash<QString, Entry> m_entries;
};

} // namespace velto
