// velto-relay-server: the reference relay server for tests, benchmarks and the demo.
#include "relayserver.h"
#include "serveroptions.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

// SIGINT and SIGTERM end the event loop normally, so files are closed and the port released.
bool installQuitOnSignals(QCoreApplication& app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return false;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [notifier] {
        notifier->setEnabled(false);
        char byte;
        [[maybe_unused]] const auto read = ::read(signalPipe[0], &byte, 1);
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velto-relay-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELTO_VERSION));

    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    auto options = velto::relayserver::ServerOptions::parse(arguments);
    if (!options) {
        std::fprintf(stderr, "%s\n", qPrintable(options.error()));
        return 2;
    }
    if (!installQuitOnSignals(app)) {
        std::fprintf(stderr, "cannot install signal handlers\n");
        return 1;
    }

    velto::relayserver::RelayServer server(std::move(options).value());
    const auto port = server.start();
    if (!port) {
        std::fprintf(stderr, "%s\n", qPrintable(port.error()));
        return 1;
    }
    // The one line on standard output: a parent process reads the port from it.
    std::printf("LISTENING %u\n", unsigned(*port));
    std::fflush(stdout);
    return app.exec();
}
