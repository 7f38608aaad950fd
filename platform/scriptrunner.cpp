#include "scriptrunner.h"

namespace velto::ScriptRunner {

QString osascriptProgram()
{
    const QString overridden = qEnvironmentVariable("VELTO_OSASCRIPT");
    return overridden.isEmpty() ? QStringLiteral("/usr/bin/osascript") : overridden;
}

QCoro::Task<ProcessResult> runOsascript(QString source, QStringList arguments, std::chrono::milliseconds timeLimit)
{
    QStringList commandLine{QStringLiteral("-l"), QStringLiteral("AppleScript"), QStringLiteral("-")};
    commandLine += arguments;
    co_return co_await runProcess(osascriptProgram(), commandLine, source.toUtf8(), timeLimit);
}

} // namespace velto::ScriptRunner
