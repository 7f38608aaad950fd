#pragma once
// The physical baseline of the database benchmarks: the same statements run by the real
// `sqlite3` shell, printing JSON, in one process.

#include <QByteArray>
#include <QString>

namespace velto::bench {

// CPU seconds (user + system) of RUSAGE_SELF or RUSAGE_CHILDREN.
double cpuSeconds(int who);

struct ShellRun {
    bool ok = false;
    qint64 rows = 0;
    qint64 bytes = 0;
    qint64 nanoseconds = 0;
    double cpu = 0; // the shell's own CPU time
    QString error;
};

// Runs the script through `sqlite3 -json -readonly`, counting the row objects it prints.
ShellRun runShell(const QString& sqlite3, const QString& database, const QByteArray& script);

} // namespace velto::bench
