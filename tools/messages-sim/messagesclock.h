#pragma once

#include <QtGlobal>

namespace velto::sim {

// Messages keeps message times as nanoseconds since 2001-01-01 00:00:00 UTC (attachment
// creation times as whole seconds since then).
class MessagesClock {
public:
    static constexpr qint64 appleEpochOffsetSeconds = 978307200;

    static qint64 fromUnixMs(qint64 unixMs);
    static qint64 toUnixMs(qint64 messagesTime);
    static qint64 toSeconds(qint64 messagesTime) { return messagesTime / 1000000000; }
    static qint64 nowUnixMs();
    static qint64 now() { return fromUnixMs(nowUnixMs()); }
};

} // namespace velto::sim
