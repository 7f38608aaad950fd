// Server messages are outside input: the envelope, every session record and the runtime's
// dispatch must take any bytes without crashing.
#include "envelope.h"
#include "relayruntime.h"
#include "sessionmessages.h"

#include <QCoreApplication>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_dispatch";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static velto::RelayRuntime runtime;

    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const auto type = velto::Envelope::decodeType(bytes);
    if (!type)
        return 0;
    if (const auto object = velto::Envelope::decodeObject(bytes)) {
        (void)velto::ServerAuthResult::decode(*object);
        (void)velto::ServerRequest::decode(*object);
        (void)velto::ServerValidationFailed::decode(*object);
        (void)velto::ServerBatchAck::decode(*object);
        (void)velto::ServerSyncStart::decode(*object);
    }
    runtime.handleServerMessage(*type, bytes);
    return 0;
}
