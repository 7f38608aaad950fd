// The velto executable. Headless mode runs the relay against the stored credentials and
// prints every log line to standard output.
#include "configuration.h"
#include "platform.h"
#include "relaycredentials.h"
#include "relayruntimehost.h"
#include "task.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QSocketNotifier>
#include <QTextStream>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

using namespace velto;

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(signalPipe[1], &byte, 1);
}

void printLine(const QString& level, const QString& source, const QString& text)
{
    static QTextStream out(stdout);
    out << QDateTime::currentDateTime().toString(Qt::ISODateWithMs) << ' ' << level.toUpper() << " [" << source << "] "
        << text << Qt::endl;
}

QCoro::Task<> runHeadless(RelayRuntimeHost* host)
{
    const auto credentials = RelayCredentials::load();
    if (!credentials) {
        printLine(QStringLiteral("error"), QStringLiteral("main"),
                  QStringLiteral("Failed to start relay: No relay credentials found. Register first."));
        QCoreApplication::exit(1);
        co_return;
    }
    RelayRuntimeOptions options;
    options.apiServerUrl = credentials->backendUrl.value_or(Configuration::apiServerUrl());
    options.relayId = Platform::hardwareUuid();
    options.apiKey = credentials->apiKey;
    const auto started = co_await host->start(options);
    if (!started) {
        printLine(QStringLiteral("error"), QStringLiteral("main"),
                  QStringLiteral("Failed to start relay: ") + description(started.error()));
        QCoreApplication::exit(1);
    }
}

QCoro::Task<> shutDown(RelayRuntimeHost* host)
{
    co_await host->stop();
    printLine(QStringLiteral("info"), QStringLiteral("main"), QStringLiteral("Shutdown complete"));
    QCoreApplication::quit();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Velto"));
    const QStringList args = app.arguments();
    if (!args.contains(QStringLiteral("--headless"))) {
        QTextStream(stderr) << "usage: velto --headless\n";
        return 2;
    }

    // Signals arrive through a pipe so that shutdown runs on the event loop.
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return 1;
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    RelayRuntimeHost host;
    host.onLog = [](LogLevel level, const QString& text, const LogContext&) {
        printLine(rawValue(level), QStringLiteral("mac-relay"), text);
    };
    host.onStateChange = [](ConnectionStage stage, bool) {
        printLine(QStringLiteral("debug"), QStringLiteral("main"), QStringLiteral("Stage: ") + rawValue(stage));
    };
    host.onHeartbeat = [] { printLine(QStringLiteral("trace"), QStringLiteral("main"), QStringLiteral("Heartbeat")); };

    bool stopping = false;
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&] {
        char byte;
        [[maybe_unused]] const auto n = ::read(signalPipe[0], &byte, 1);
        if (stopping)
            return;
        stopping = true;
        startTask(shutDown(&host), "shutdown");
    });

    printLine(QStringLiteral("info"), QStringLiteral("main"), QStringLiteral("Velto starting up"));
    startTask(runHeadless(&host), "headless start");
    return app.exec();
}
