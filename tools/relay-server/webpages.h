#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace velto::relayserver {

// The two pages a person looks at: the live event view of the demo and the registration page.
class WebPages {
public:
    static QByteArray live();
    static QByteArray connect(const QString& token, const QString& link, const QDateTime& expiresAt);
};

} // namespace velto::relayserver
