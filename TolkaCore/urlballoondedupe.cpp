#include "urlballoondedupe.h"

namespace velto {

bool URLBalloonDedupe::shouldSkip(qint64 chatID, bool isFromMe, const QString& sender, const QString& text,
                                  qint64 rowID, const QDateTime& date)
{
    if (text.isEmpty())
        return false;

    if (!m_entries.isEmpty()) {
        const QDateTime oldest = date.addSecs(-pruneAfterSeconds);
        m_entries.removeIf([&oldest](const auto& it) { return it.value().date < oldest; });
    }

    const QString key = QString::number(chatID) + QLatin1Char('|') + QLatin1Char(isFromMe ? '1' : '0')
        + QLatin1Char('|') + sender + QLatin1Char('|') + text;
    const Entry entry{rowID, date};
    auto it = m_entries.find(key);
    if (it == m_entries.end()) {
        m_entries.insert(key, entry);
        return false;
    }
    const Entry stored = it.value();
    it.value() = entry;
    if (stored.rowID < rowID)
        return date <= stored.date.addSecs(duplicateWithinSeconds);
    return true; // the same row or an older one seen again
}

} // namespace velto
