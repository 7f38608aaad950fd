#include "shellbaseline.h"

#include <QElapsedTimer>
#include <QProcess>

#include <sys/resource.h>

namespace velto::bench {

double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs the script through `sqlite3 -json -readonly`, counting the row objects it prints.
ShellRun runShell(const QString& sqlite3, const QString& database, const QByteArray& script)
{
    ShellRun run;
    QProcess process;
    process.setProgram(sqlite3);
    process.setArguments({QStringLiteral("-json"), QStringLiteral("-readonly"), database});
    const QByteArray marker("{\"ROWID\":");
    QByteArray tail;
    auto drain = [&] {
        QByteArray chunk = tail + process.readAllStandardOutput();
        run.bytes += chunk.size() - tail.size();
        qsizetype at = 0;
        while ((at = chunk.indexOf(marker, at)) >= 0) {
            ++run.rows;
            at += marker.size();
        }
        // Keep enough of the end for a marker split across two reads.
        tail = chunk.right(marker.size() - 1);
    };
    QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, drain);
    const double childrenBefore = cpuSeconds(RUSAGE_CHILDREN);
    QElapsedTimer timer;
    timer.start();
    process.start();
    if (!process.waitForStarted(10000)) {
        run.error = process.errorString();
        return run;
    }
    process.write(script);
    process.closeWriteChannel();
    while (process.state() != QProcess::NotRunning)
        process.waitForFinished(100);
    drain();
    run.nanoseconds = timer.nsecsElapsed();
    run.cpu = cpuSeconds(RUSAGE_CHILDREN) - childrenBefore;
    run.ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!run.ok)
        run.error = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
    return run;
}

} // namespace velto::bench
