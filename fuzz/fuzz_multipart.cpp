// Upload bodies reach the reference server from the network: the multipart parser must take
// any content type and body without crashing or reading out of bounds.
#include "multipartparser.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    // The first line is the Content-Type header, the rest the body.
    const qsizetype newline = input.indexOf('\n');
    const QByteArray contentType = newline < 0 ? input : input.left(newline);
    const QByteArray body = newline < 0 ? QByteArray() : input.mid(newline + 1);
    (void)velto::relayserver::MultipartParser::parse(contentType, body);
    (void)velto::relayserver::MultipartParser::parseHeaderValue(contentType);
    return 0;
}
