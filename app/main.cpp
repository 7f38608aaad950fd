// The velto executable: the headless application, registration from the command line, and
// registration links handed to the running instance.
#include "appstate.h"
#include "logbufferservice.h"
#include "singleinstance.h"
#include "task.h"
#include "validationservice.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTextStream>
#include <QUrl>

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

QTextStream& out()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream& err()
{
    static QTextStream stream(stderr);
    return stream;
}

int usage()
{
    err() << "usage: velto --headless\n"
             "       velto register --token TOKEN [--name NAME] [--server WS_URL]\n"
             "       velto 'velto://register?token=TOKEN'\n"
             "       velto --confirm-switch | --cancel-switch   (answer a pending relay switch)\n"
             "The graphical interface is not part of this build; --headless runs the relay without it.\n";
    return 2;
}

void printEntry(const LogEntry& entry)
{
    out() << entry.timestamp.toString(Qt::ISODateWithMs) << ' ' << rawValue(entry.level).toUpper() << " ["
          << entry.source.value_or(QStringLiteral("main")) << "] " << entry.message << Qt::endl;
}

// `velto register`: registers, records the set-up, and exits 0, or 1 with the error text.
QCoro::Task<> runRegister(AppState* state, QString token, QString name, std::optional<QString> server)
{
    const RegistrationResult result = co_await state->registerRelay(token, name, {}, true, server);
    if (result.success) {
        out() << "Registered as relay '" << name << "'. Start it with: velto --headless" << Qt::endl;
        QCoreApplication::exit(0);
    } else {
        err() << result.error.value_or(QStringLiteral("Registration failed")) << Qt::endl;
        QCoreApplication::exit(1);
    }
}

// Headless: what the wizard and the switch prompt do in the window, done from the log.
QCoro::Task<> onTokenArrived(AppState* state)
{
    const Guard<AppState> guard(state);
    if (!state->pendingRegistrationToken())
        co_return;
    if (state->wizardComplete()) {
        state->logBuffer().append(LogLevel::warn,
                                  QStringLiteral("A registration link arrived while this Mac is already a relay. "
                                                 "Switch to it with: velto --confirm-switch (or --cancel-switch)"));
        co_return;
    }
    const QString token = *state->pendingRegistrationToken();
    const RegistrationResult result = co_await state->registerRelay(token, AppState::defaultRelayName(), {}, true);
    if (!guard.alive() || !result.success)
        co_return;
    co_await state->initialize();
}

QCoro::Task<> shutDown(AppState* state)
{
    co_await state->shutdown();
    QCoreApplication::quit();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Velto"));
    QStringList args = app.arguments();
    args.removeFirst();
    if (args.isEmpty())
        return usage();

    const QString command = args.first();
    std::optional<QString> link;
    if (command.startsWith(QLatin1String("velto:"))) {
        if (!AppState::registrationToken(QUrl(command))) {
            err() << "Not a registration link: " << command << Qt::endl;
            return 2;
        }
        link = command;
    } else if (command == QLatin1String("--confirm-switch") || command == QLatin1String("--cancel-switch")) {
        const auto answered = SingleInstance::sendToRunning(QLatin1String(
            command == QLatin1String("--confirm-switch") ? SingleInstance::confirmSwitch : SingleInstance::cancelSwitch));
        if (!answered) {
            err() << "No running velto to answer." << Qt::endl;
            return 1;
        }
        return 0;
    } else if (command != QLatin1String("--headless") && command != QLatin1String("register")) {
        return usage();
    }

    // A link goes to the instance that is already running, when there is one.
    if (link && SingleInstance::sendToRunning(SingleInstance::linkMessage(*link))) {
        out() << "Registration link handed to the running velto." << Qt::endl;
        return 0;
    }

    AppState state;

    if (command == QLatin1String("register")) {
        QString token, name, server;
        for (int i = 1; i < args.size(); ++i) {
            const QString& a = args.at(i);
            const bool hasValue = i + 1 < args.size();
            if (a == QLatin1String("--token") && hasValue)
                token = args.at(++i);
            else if (a == QLatin1String("--name") && hasValue)
                name = args.at(++i);
            else if (a == QLatin1String("--server") && hasValue)
                server = args.at(++i);
            else
                return usage();
        }
        const TokenValidationResult valid = ValidationService::validateTokenFormat(token);
        if (!valid.isValid) {
            err() << valid.error.value_or(QStringLiteral("Invalid token")) << Qt::endl;
            return 1;
        }
        if (name.isEmpty())
            name = valid.relayName.value_or(AppState::defaultRelayName());
        startTask(runRegister(&state, token, name, server.isEmpty() ? std::nullopt : std::optional<QString>(server)),
                  "register");
        return app.exec();
    }

    // Headless. Signals arrive through a pipe so that shutdown runs on the event loop.
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return 1;
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    QObject::connect(&state.logBuffer(), &LogBufferService::entryAppended, &app, &printEntry);

    SingleInstance instance;
    if (const auto listening = instance.listen(); !listening)
        err() << "Registration links cannot reach this instance: " << listening.error() << Qt::endl;
    instance.onMessage = [&state](const QString& message) {
        if (const auto linkUrl = SingleInstance::linkFromMessage(message)) {
            if (const auto token = AppState::registrationToken(QUrl(*linkUrl))) {
                state.handleRegistrationToken(*token);
                startTask(onTokenArrived(&state), "registration link");
            }
        } else if (message == QLatin1String(SingleInstance::confirmSwitch)) {
            startTask(state.confirmRelaySwitch(), "relay switch");
        } else if (message == QLatin1String(SingleInstance::cancelSwitch)) {
            state.cancelRelaySwitch();
        }
    };

    bool stopping = false;
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&] {
        char byte;
        [[maybe_unused]] const auto n = ::read(signalPipe[0], &byte, 1);
        if (stopping)
            return;
        stopping = true;
        startTask(shutDown(&state), "shutdown");
    });

    auto start = [&state, link]() -> QCoro::Task<> {
        const Guard<AppState> guard(&state);
        if (link) {
            if (const auto token = AppState::registrationToken(QUrl(*link)))
                state.handleRegistrationToken(*token);
        }
        co_await state.initialize();
        if (!guard.alive())
            co_return;
        if (!state.wizardComplete() && !state.pendingRegistrationToken())
            state.logBuffer().append(LogLevel::warn,
                                     QStringLiteral("This Mac is not set up as a relay yet. Register it with: "
                                                    "velto register --token TOKEN"));
        co_await onTokenArrived(&state);
    };
    startTask(start(), "headless start-up");
    return app.exec();
}
