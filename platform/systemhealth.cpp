#include "systemhealth.h"

#include "platform.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QSysInfo>
#include <QThread>

#include <cmath>
#include <cstdlib>
#include <sys/statvfs.h>

namespace velto::SystemHealth {

namespace {

struct MemoryFigures {
    qint64 total = 0;
    qint64 free = 0;
    bool ok = false;
};

// /proc/meminfo stands in for the host statistics call; MemFree is the free page count times
// the page size.
MemoryFigures readMemory()
{
    MemoryFigures m;
    QFile file(QStringLiteral("/proc/meminfo"));
    if (!file.open(QIODevice::ReadOnly))
        return m;
    const QList<QByteArray> lines = file.readAll().split('\n');
    bool haveTotal = false, haveFree = false;
    for (const QByteArray& line : lines) {
        const QList<QByteArray> parts = line.simplified().split(' ');
        if (parts.size() < 2)
            continue;
        const qint64 kib = parts.at(1).toLongLong();
        if (parts.at(0) == "MemTotal:") {
            m.total = kib * 1024;
            haveTotal = true;
        } else if (parts.at(0) == "MemFree:") {
            m.free = kib * 1024;
            haveFree = true;
        }
    }
    m.ok = haveTotal && haveFree;
    return m;
}

double uptimeSeconds()
{
    QFile file(QStringLiteral("/proc/uptime"));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return file.readAll().split(' ').value(0).toDouble();
}

double nowMilliseconds()
{
    return static_cast<double>(QDateTime::currentMSecsSinceEpoch());
}

} // namespace

double truncate(double value, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    return std::trunc(value * scale) / scale;
}

QJsonObject getStats()
{
    const int cores = std::max(1, QThread::idealThreadCount());
    double load[1] = {0};
    if (getloadavg(load, 1) < 1)
        load[0] = 0;
    const double cpuUsage = truncate(std::min(load[0] / cores * 100.0, 100.0), 1);

    const MemoryFigures mem = readMemory();
    const qint64 memTotal = mem.total;
    // More free than total must not produce a negative figure.
    const qint64 memUsed = std::max<qint64>(0, memTotal - (mem.ok ? mem.free : 0));
    const qint64 memAvailable = memTotal - memUsed;
    const double memUsage = memTotal > 0 ? truncate(double(memUsed) / double(memTotal), 3) : 0;

    qint64 diskTotal = 0, diskFree = 0;
    struct statvfs vfs {};
    if (statvfs(QFile::encodeName(Platform::homeDirectory()).constData(), &vfs) == 0) {
        diskTotal = qint64(vfs.f_blocks) * qint64(vfs.f_frsize);
        diskFree = qint64(vfs.f_bavail) * qint64(vfs.f_frsize);
    }
    const qint64 diskUsed = std::max<qint64>(0, diskTotal - diskFree);
    QJsonObject disk{{QStringLiteral("total"), diskTotal},
                     {QStringLiteral("used"), diskUsed},
                     {QStringLiteral("available"), std::min(diskFree, diskTotal)}};
    if (diskTotal > 0)
        disk.insert(QStringLiteral("usage"), truncate(double(diskUsed) / double(diskTotal), 3));
    else
        disk.insert(QStringLiteral("usage"), 0);

    return QJsonObject{
        {QStringLiteral("cpu"), QJsonObject{{QStringLiteral("usage"), cpuUsage},
                                            {QStringLiteral("cores"), cores}}},
        {QStringLiteral("memory"), QJsonObject{{QStringLiteral("total"), memTotal},
                                               {QStringLiteral("used"), memUsed},
                                               {QStringLiteral("available"), memAvailable},
                                               {QStringLiteral("usage"), memUsage}}},
        {QStringLiteral("disk"), disk},
        {QStringLiteral("network"),
         QJsonObject{{QStringLiteral("interfaces"),
                      QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("en0")},
                                             {QStringLiteral("active"), true}}}}}},
        {QStringLiteral("system"), QJsonObject{{QStringLiteral("platform"), QStringLiteral("darwin")},
                                               {QStringLiteral("arch"), QStringLiteral("x86_64")},
                                               {QStringLiteral("hostname"), QSysInfo::machineHostName()},
                                               {QStringLiteral("uptime"), uptimeSeconds()}}},
        {QStringLiteral("timestamp"), nowMilliseconds()},
    };
}

} // namespace velto::SystemHealth
