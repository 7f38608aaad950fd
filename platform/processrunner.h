#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <QCoroTask>

#include <chrono>

namespace velto {

struct ProcessResult {
    enum class Outcome { finished, failedToStart, timedOut, crashed };
    Outcome outcome = Outcome::failedToStart;
    int exitCode = -1;
    QByteArray standardOutput;
    QByteArray standardError;
    QString errorText; // QProcess's description when it did not finish normally

    bool succeeded() const { return outcome == Outcome::finished && exitCode == 0; }
};

// Runs a program with a time limit, feeding `input` on standard input. Never blocks the
// calling thread; a program that cannot be launched is reported at once, not at the time-out.
QCoro::Task<ProcessResult> runProcess(QString program, QStringList arguments, QByteArray input,
                                      std::chrono::milliseconds timeLimit);

} // namespace velto
