#include "processrunner.h"

#include <QCoroSignal>
#include <QDeadlineTimer>
#include <QProcess>

namespace velto {

QCoro::Task<ProcessResult> runProcess(QString program, QStringList arguments, QByteArray input,
                                      std::chrono::milliseconds timeLimit)
{
    ProcessResult result;
    QProcess process;
    const QDeadlineTimer deadline(timeLimit);
    process.start(program, arguments);

    // stateChanged(NotRunning) comes both after a failed launch (which never emits finished)
    // and just before finished, with the exit status already set.
    bool inputWritten = false;
    while (process.state() != QProcess::NotRunning) {
        if (process.state() == QProcess::Running && !inputWritten) {
            // Closing standard input even when there is none, so a reader sees end of file.
            process.write(input);
            process.closeWriteChannel();
            inputWritten = true;
        }
        const auto remaining = std::chrono::milliseconds(deadline.remainingTime());
        if (deadline.hasExpired()
            || !co_await qCoro(&process, &QProcess::stateChanged, remaining)) {
            process.kill();
            process.waitForFinished(1000); // the process was killed, reaping it is immediate
            result.outcome = ProcessResult::Outcome::timedOut;
            result.errorText = QStringLiteral("Timed out after %1 ms").arg(timeLimit.count());
            result.standardOutput = process.readAllStandardOutput();
            result.standardError = process.readAllStandardError();
            co_return result;
        }
    }

    result.standardOutput = process.readAllStandardOutput();
    result.standardError = process.readAllStandardError();
    if (process.error() == QProcess::FailedToStart) {
        result.outcome = ProcessResult::Outcome::failedToStart;
        result.errorText = process.errorString();
    } else if (process.exitStatus() == QProcess::CrashExit) {
        result.outcome = ProcessResult::Outcome::crashed;
        result.errorText = process.errorString();
    } else {
        result.outcome = ProcessResult::Outcome::finished;
        result.exitCode = process.exitCode();
    }
    co_return result;
}

} // namespace velto
