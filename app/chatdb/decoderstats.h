#pragma once

#include <QtGlobal>

namespace velto {

// Counters of body decoding in a reader; kept in memory only.
struct DecoderStats {
    qint64 totalMessages = 0; // every message row mapped
    qint64 textFieldUsed = 0; // rows whose text column was not NULL
    qint64 decoderSuccess = 0;
    qint64 decoderFailed = 0;
    qint64 fallbackToNull = 0; // kept for the record's shape; nothing increments it
};

} // namespace velto
