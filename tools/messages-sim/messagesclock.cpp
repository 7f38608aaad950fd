#include "messagesclock.h"

#include <QDateTime>

namespace velto::sim {

qint64 MessagesClock::fromUnixMs(qint64 unixMs)
{
    return (unixMs - appleEpochOffsetSeconds * 1000) * 1000000;
}

qint64 MessagesClock::toUnixMs(qint64 messagesTime)
{
    return messagesTime / 1000000 + appleEpochOffsetSeconds * 1000;
}

qint64 MessagesClock::nowUnixMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace velto::sim
