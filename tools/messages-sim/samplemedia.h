#pragma once

#include <QByteArray>

namespace velto::sim {

class SeededRandom;

// Small but well-formed media files for attachments: the bytes an image or audio decoder accepts.
class SampleMedia {
public:
    // A 16×16 RGB PNG filled with a colour drawn from `random`.
    static QByteArray png(SeededRandom &random);
    // An 8×8 grey-scale baseline JPEG of one grey level drawn from `random`.
    static QByteArray jpeg(SeededRandom &random);
    // A Core Audio Format file of 16-bit mono PCM at 8 kHz: a short tone.
    static QByteArray caf(SeededRandom &random);
};

} // namespace velto::sim
