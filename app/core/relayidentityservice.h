#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <QCoroTask>

#include <chrono>
#include <optional>

namespace velto {

// The Mac's hardware identifier, which the relay uses as its identity. Where the I/O registry
// tool exists it is asked (without blocking the caller's thread); elsewhere the machine id is
// shown as an upper-case UUID, which stays the same across launches.
class RelayIdentityService {
public:
    // Where the identifier comes from; tests point these elsewhere.
    struct Sources {
        QString ioregPath = QStringLiteral("/usr/sbin/ioreg");
        QStringList machineIdPaths = {QStringLiteral("/etc/machine-id"), QStringLiteral("/var/lib/dbus/machine-id")};
        std::chrono::milliseconds timeLimit{10000};
    };

    // Absent on any failure (callers then use a random UUID).
    static QCoro::Task<std::optional<QString>> getHardwareUUID();
    static QCoro::Task<std::optional<QString>> getHardwareUUID(Sources sources);

    // The IOPlatformUUID value in ioreg's output, unchanged; absent when there is none.
    static std::optional<QString> platformUuidFromIoreg(const QByteArray& output);
    // A machine-id file's 32 hexadecimal digits as an upper-case UUID; absent otherwise.
    static std::optional<QString> uuidFromMachineId(const QByteArray& contents);
};

} // namespace velto
