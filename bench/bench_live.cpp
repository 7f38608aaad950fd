// Live forwarding latency: the real `velto --headless` process follows a simulated Messages
// database while the simulator writes incoming rows at a steady rate; each row's text carries the
// moment its write started, and the reference server stamps the moment it read the event. Prints
// the delay's percentiles and the relay process's CPU time and peak memory. With --idle it also
// measures the connected relay's CPU time over a quiet period.
#include "messagessimulator.h"
#include "relayserverharness.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <csignal>
#include <unistd.h>

using namespace velto;

namespace {

struct ProcessFigures {
    double cpuSeconds = 0; // user + system
    qint64 rssKiB = 0;
    qint64 peakKiB = 0;
};

ProcessFigures readProcess(qint64 pid)
{
    ProcessFigures figures;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray line = stat.readAll();
        // Fields after the parenthesised command name; utime and stime are the 12th and 13th.
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 12)
            figures.cpuSeconds = double(fields.at(11).toLongLong() + fields.at(12).toLongLong()) / double(sysconf(_SC_CLK_TCK));
    }
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& l : status.readAll().split('\n')) {
            if (l.startsWith("VmRSS:"))
                figures.rssKiB = l.mid(6).trimmed().split(' ').first().toLongLong();
            else if (l.startsWith("VmHWM:"))
                figures.peakKiB = l.mid(6).trimmed().split(' ').first().toLongLong();
        }
    }
    return figures;
}

double percentile(std::vector<qint64> sorted, double p)
{
    if (sorted.empty())
        return 0;
    const size_t index = std::min(sorted.size() - 1, size_t(p * double(sorted.size() - 1) + 0.5));
    return double(sorted[index]);
}

bool waitFor(const std::function<bool()>& condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(20);
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Latency of live forwarding through the velto process."));
    parser.addHelpOption();
    const QCommandLineOption rateOption(QStringLiteral("rate"), QStringLiteral("Rows per second (20)."),
                                        QStringLiteral("n"), QStringLiteral("20"));
    const QCommandLineOption secondsOption(QStringLiteral("seconds"), QStringLiteral("Length of the stream (60)."),
                                           QStringLiteral("n"), QStringLiteral("60"));
    const QCommandLineOption idleOption(QStringLiteral("idle"),
                                        QStringLiteral("Also measure CPU over this many quiet seconds first (0)."),
                                        QStringLiteral("n"), QStringLiteral("0"));
    parser.addOptions({rateOption, secondsOption, idleOption});
    parser.process(app);
    const double rate = parser.value(rateOption).toDouble();
    const double seconds = parser.value(secondsOption).toDouble();
    const int idleSeconds = parser.value(idleOption).toInt();

    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    qputenv("VELTO_HOME", home.path().toUtf8());
    sim::MessagesSimulator simulator(home.path());
    if (!simulator.init().ok()) {
        std::fprintf(stderr, "cannot create the Messages database\n");
        return 1;
    }
    sim::FillOptions fill = sim::FillOptions::preset(QStringLiteral("small")).value();
    if (!simulator.fill(fill).ok()) {
        std::fprintf(stderr, "cannot fill the Messages database\n");
        return 1;
    }

    RelayServerHarness server;
    // The default PING schedule stays on, as a real server has it.
    if (!server.start({QStringLiteral("--max-events"), QStringLiteral("100000")})) {
        std::fprintf(stderr, "server: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    // Registered as a user would: a token from the server, exchanged by `velto register`.
    const QString velto = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("velto"));
    QProcess registration;
    registration.start(velto, {QStringLiteral("register"), QStringLiteral("--token"), server.issueRegistrationToken(),
                               QStringLiteral("--server"), server.wsUrl().toString()});
    if (!registration.waitForFinished(30000) || registration.exitCode() != 0) {
        std::fprintf(stderr, "registration failed: %s\n", registration.readAllStandardError().constData());
        return 1;
    }

    QProcess relay;
    relay.setProgram(velto);
    relay.setArguments({QStringLiteral("--headless")});
    relay.setStandardOutputFile(QDir(home.path()).filePath(QStringLiteral("relay.log")));
    relay.setStandardErrorFile(QProcess::nullDevice());
    relay.start();
    if (!relay.waitForStarted(5000)) {
        std::fprintf(stderr, "cannot start %s\n", qPrintable(relay.program()));
        return 1;
    }
    auto relayLog = [&] {
        QFile log(QDir(home.path()).filePath(QStringLiteral("relay.log")));
        return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
    };
    if (!server.waitForAuthenticatedRelay({}, 15000)
        || !waitFor([&] { return relayLog().contains("Message watcher started from ROWID"); }, 15000)) {
        std::fprintf(stderr, "the relay did not connect\n");
        return 1;
    }
    QThread::msleep(500);
    const qint64 pid = relay.processId();
    const ProcessFigures connected = readProcess(pid);
    std::printf("relay connected: RSS %.1f MiB\n", double(connected.rssKiB) / 1024.0);

    if (idleSeconds > 0) {
        const ProcessFigures before = readProcess(pid);
        QThread::sleep(idleSeconds);
        const ProcessFigures after = readProcess(pid);
        std::printf("idle %d s, connected, no traffic: CPU %.2f s, RSS %.1f MiB\n", idleSeconds,
                    after.cpuSeconds - before.cpuSeconds, double(after.rssKiB) / 1024.0);
    }

    const qint64 since = server.lastSeq();
    const ProcessFigures beforeStream = readProcess(pid);
    sim::StreamOptions stream;
    stream.rate = rate;
    stream.durationSeconds = seconds;
    const auto summary = simulator.stream(stream);
    if (!summary) {
        std::fprintf(stderr, "stream: %s\n", qPrintable(summary.error().description()));
        return 1;
    }
    // Let the last rows arrive.
    std::vector<qint64> delays;
    waitFor(
        [&] {
            delays.clear();
            for (const QJsonObject& e : server.events(since, 20000)) {
                const QJsonObject m = e.value(QLatin1String("message")).toObject();
                if (m.value(QLatin1String("type")).toString() != QLatin1String("MESSAGE_RECEIVED"))
                    continue;
                const auto marker = sim::MessagesSimulator::parseStreamMarker(m.value(QLatin1String("text")).toString());
                if (marker)
                    delays.push_back(qint64(e.value(QLatin1String("receivedAt")).toDouble()) - marker->second);
            }
            return qint64(delays.size()) >= summary->rows;
        },
        30000);
    const ProcessFigures afterStream = readProcess(pid);
    ::kill(pid_t(pid), SIGTERM);
    relay.waitForFinished(10000);

    std::sort(delays.begin(), delays.end());
    std::printf("stream: %lld rows written in %.1f s (%.1f rows/s requested, %.1f achieved; %lld late writes, "
                "max write %.1f ms)\n",
                qlonglong(summary->rows), double(summary->elapsedMs) / 1000.0, summary->requestedRate,
                summary->achievedRate, qlonglong(summary->lateRows), summary->maxWriteMs);
    std::printf("received at the server: %zu of %lld\n", delays.size(), qlonglong(summary->rows));
    std::printf("latency commit -> server, ms: p50 %.0f  p90 %.0f  p99 %.0f  max %.0f  min %.0f\n",
                percentile(delays, 0.5), percentile(delays, 0.9), percentile(delays, 0.99),
                delays.empty() ? 0.0 : double(delays.back()), delays.empty() ? 0.0 : double(delays.front()));
    std::printf("relay during the stream: CPU %.2f s over %.1f s; RSS %.1f MiB at the end, peak %.1f MiB\n",
                afterStream.cpuSeconds - beforeStream.cpuSeconds, double(summary->elapsedMs) / 1000.0,
                double(afterStream.rssKiB) / 1024.0, double(afterStream.peakKiB) / 1024.0);
    return qint64(delays.size()) >= summary->rows ? 0 : 2;
}
