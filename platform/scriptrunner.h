#pragma once

#include "processrunner.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <QCoroTask>

#include <chrono>

namespace velto::ScriptRunner {

// How long one script may run. Messages answers an Apple event within two minutes or the event
// itself times out, so a run that takes longer is stuck.
inline constexpr std::chrono::milliseconds defaultTimeLimit = std::chrono::seconds(130);

// The osascript program: $VELTO_OSASCRIPT when set (the Messages simulator's stand-in in tests
// and the demo), else /usr/bin/osascript.
QString osascriptProgram();

// Runs an AppleScript through osascript with its own argument convention: "-l AppleScript -"
// followed by the script's arguments, the source on standard input as UTF-8. The outcome is the
// process's: a program that cannot be launched is reported at once.
QCoro::Task<ProcessResult> runOsascript(QString source, QStringList arguments,
                                        std::chrono::milliseconds timeLimit = defaultTimeLimit);

} // namespace velto::ScriptRunner
