// bench_sync: historical sync end to end — a large simulated Messages database read by the relay
// runtime (in this process, on its relay thread) and sent to the reference server over loopback —
// in batch and in individual mode, against the sqlite3 shell running the reader's statement over
// the same pages in the same run; the relay's peak memory while it syncs; and the time of a
// conversation list of many chats. Prints figures; asserts nothing.
//
//   bench_sync [--home DIR] [--messages N] [--chats-home DIR] [--chats N] [--modes batch,individual]
//
// DIR (default: a temporary folder) holds Library/Messages/chat.db; a database already there is
// reused, otherwise the simulator fills one with N messages (default 1,000,000) and no attachment
// rows. The conversation list runs on a second database of N chats (default 5,000).

#include "shellbaseline.h"
#include "chatdbqueries.h"
#include "messagessimulator.h"
#include "preferencesmanager.h"
#include "relayruntimehost.h"
#include "relayserverharness.h"

#include <dbconnection.h>
#include <dbstatement.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <QCoroTask>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <limits>
#include <mutex>
#include <optional>
#include <sys/resource.h>
#include <thread>

using namespace velto;
using namespace velto::bench;
using namespace std::chrono_literals;

namespace {

const QString kKey = QStringLiteral("bench-key");

template <typename... Args>
void say(const char* format, Args... args)
{
    std::printf(format, args...);
    std::fflush(stdout);
}

void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        spin(20);
    }
    return true;
}

// A line of /proc/self/status in KiB ("VmRSS", "VmHWM").
qint64 statusKiB(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

void resetHighWaterMark()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

double mib(qint64 kib)
{
    return double(kib) / 1024.0;
}

// Samples this process's resident memory from a thread of its own while a sync runs.
class RssSampler {
public:
    void start()
    {
        m_stop = false;
        m_samples.clear();
        m_thread = std::thread([this] {
            QElapsedTimer clock;
            clock.start();
            while (!m_stop) {
                const qint64 rss = statusKiB("VmRSS");
                {
                    std::lock_guard lock(m_mutex);
                    m_samples.append({clock.elapsed(), rss});
                }
                std::this_thread::sleep_for(5ms);
            }
        });
    }
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    qint64 peak() const
    {
        qint64 peak = 0;
        for (const auto& s : m_samples)
            peak = std::max(peak, s.second);
        return peak;
    }
    // The peak within each quarter of the run, to show whether memory grows with the sync.
    QList<qint64> quarterPeaks() const
    {
        QList<qint64> peaks(4, 0);
        if (m_samples.isEmpty())
            return peaks;
        const qint64 span = std::max<qint64>(1, m_samples.last().first + 1);
        for (const auto& s : m_samples) {
            const int quarter = int(std::min<qint64>(3, s.first * 4 / span));
            peaks[quarter] = std::max(peaks[quarter], s.second);
        }
        return peaks;
    }

private:
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    QList<QPair<qint64, qint64>> m_samples; // (ms, KiB)
};

bool startHost(RelayRuntimeHost& host, const QUrl& url)
{
    std::optional<Result<void, RelayRuntimeError>> outcome;
    const RelayRuntimeOptions options{url.toString(), QStringLiteral("BENCH-RELAY"), kKey};
    auto go = [&]() -> QCoro::Task<> { outcome = co_await host.start(options); };
    go();
    return waitUntil([&] { return outcome.has_value(); }, 10000) && outcome->ok();
}

void stopHost(RelayRuntimeHost& host)
{
    bool done = false;
    auto go = [&]() -> QCoro::Task<> {
        co_await host.stop();
        done = true;
    };
    go();
    waitUntil([&] { return done; }, 10000);
}

// The newest event the server holds: cheap to poll, unlike the whole stream of a large sync.
std::optional<QJsonObject> newestEvent(RelayServerHarness& server)
{
    const qint64 last = server.lastSeq();
    if (last <= 0)
        return std::nullopt;
    const auto reply = server.request("GET", QStringLiteral("/control/events?since=%1&limit=1").arg(last - 1));
    const QJsonArray events = reply.json.value(QLatin1String("events")).toArray();
    if (events.isEmpty())
        return std::nullopt;
    return events.first().toObject();
}

// Waits for the final message of `requestId` (it is the last frame the relay sends for it).
std::optional<QJsonObject> waitForFinal(RelayServerHarness& server, const QString& requestId, const QStringList& types,
                                        int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        if (const auto event = newestEvent(server)) {
            const QJsonObject message = event->value(QLatin1String("message")).toObject();
            if (message.value(QLatin1String("requestId")).toString() == requestId
                && types.contains(message.value(QLatin1String("type")).toString()))
                return *event;
        }
        spin(100);
    }
    return std::nullopt;
}

QString withLiterals(QString sql, const QList<qint64>& values)
{
    qsizetype from = 0;
    for (qint64 value : values) {
        const qsizetype at = sql.indexOf(QLatin1Char('?'), from);
        if (at < 0)
            break;
        const QString literal = QString::number(value);
        sql.replace(at, 1, literal);
        from = at + literal.size();
    }
    return sql;
}


bool fill(const QString& home, int messages, int chats)
{
    sim::MessagesSimulator simulator(home);
    auto options = *sim::FillOptions::preset(u"large");
    options.messages = messages;
    options.chats = chats;
    options.handles = std::max(3, chats * 3 / 2);
    options.writeAttachmentFiles = false;
    QElapsedTimer timer;
    timer.start();
    if (auto made = simulator.init(); !made) {
        std::fprintf(stderr, "bench_sync: %s\n", qPrintable(made.error().description()));
        return false;
    }
    auto filled = simulator.fill(options);
    if (!filled) {
        std::fprintf(stderr, "bench_sync: %s\n", qPrintable(filled.error().description()));
        return false;
    }
    simulator.close();
    say("filled %s: %d messages, %d chats in %.1f s\n", qPrintable(simulator.databasePath()), messages, chats,
        double(timer.elapsed()) / 1000.0);
    return true;
}

// The bench measures messages without attachments: their rows go, the messages stay.
bool dropAttachments(const QString& database)
{
    auto connection = db::Connection::openReadWrite(database, false);
    if (!connection)
        return false;
    for (const char* sql : {"DELETE FROM message_attachment_join", "DELETE FROM attachment"}) {
        auto statement = connection->prepare(QString::fromLatin1(sql));
        if (!statement || !statement->step())
            return false;
    }
    return true;
}

bool nextRow(db::Statement& statement)
{
    const auto stepped = statement.step();
    return stepped.ok() && stepped.value();
}

qint64 scalar(const QString& database, const QString& sql)
{
    auto connection = db::Connection::openReadOnly(database);
    if (!connection)
        return -1;
    auto statement = connection->prepare(sql);
    if (!statement || !nextRow(*statement))
        return -1;
    return statement->int64(0).value_or(-1);
}

// A runtime on its own relay thread, started against the server with VELTO_HOME at `home`.
struct Relay {
    std::unique_ptr<PreferencesManager> preferences;
    std::unique_ptr<RelayRuntimeHost> host;
    QStringList logs;

    bool start(const QString& home, const QUrl& url)
    {
        qputenv("VELTO_HOME", QFile::encodeName(home));
        qputenv("VELTO_CONTACTS_DIR", QFile::encodeName(QDir(home).filePath(QStringLiteral("no-contacts"))));
        preferences = std::make_unique<PreferencesManager>(QDir(home).filePath(QStringLiteral("preferences.json")));
        host = std::make_unique<RelayRuntimeHost>();
        host->onLog = [this](LogLevel, const QString& text, const LogContext&) { logs << text; };
        PreferencesManager* p = preferences.get();
        host->configure([p](RelayRuntime& r) { r.setPreferencesManager(p); });
        if (!startHost(*host, url))
            return false;
        // Account detection runs once after authentication (a sqlite3 child over the whole
        // database); let it finish before anything is measured.
        return waitUntil(
            [this] {
                return std::any_of(logs.begin(), logs.end(), [](const QString& l) {
                    return l.startsWith(QLatin1String("Reported ")) || l.startsWith(QLatin1String("No accounts"))
                           || l.startsWith(QLatin1String("Account detection failed"));
                });
            },
            120000);
    }
    void stop()
    {
        if (host)
            stopHost(*host);
        host.reset();
    }
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Historical sync and conversation list, end to end."));
    parser.addHelpOption();
    const QCommandLineOption homeOption(QStringLiteral("home"), QStringLiteral("Folder for the message database (reused when present)."),
                                        QStringLiteral("dir"));
    const QCommandLineOption messagesOption(QStringLiteral("messages"), QStringLiteral("Messages to generate (default 1000000)."),
                                            QStringLiteral("n"), QStringLiteral("1000000"));
    const QCommandLineOption chatsHomeOption(QStringLiteral("chats-home"), QStringLiteral("Folder for the chat-list database (reused when present)."),
                                             QStringLiteral("dir"));
    const QCommandLineOption chatsOption(QStringLiteral("chats"), QStringLiteral("Chats for the conversation list (default 5000)."),
                                         QStringLiteral("n"), QStringLiteral("5000"));
    const QCommandLineOption modesOption(QStringLiteral("modes"), QStringLiteral("Sync modes to run (default batch,individual)."),
                                         QStringLiteral("list"), QStringLiteral("batch,individual"));
    parser.addOptions({homeOption, messagesOption, chatsHomeOption, chatsOption, modesOption});
    parser.process(app);
    const int messages = parser.value(messagesOption).toInt();
    const int chats = parser.value(chatsOption).toInt();
    const QStringList modes = parser.value(modesOption).split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (messages <= 0 || chats <= 0) {
        std::fprintf(stderr, "bench_sync: --messages and --chats take positive numbers\n");
        return 2;
    }

    QTemporaryDir temporary(QDir::temp().filePath(QStringLiteral("bench_sync-XXXXXX")));
    const QString home = parser.isSet(homeOption) ? QDir(parser.value(homeOption)).absolutePath()
                                                  : QDir(temporary.path()).filePath(QStringLiteral("history"));
    const QString chatsHome = parser.isSet(chatsHomeOption) ? QDir(parser.value(chatsHomeOption)).absolutePath()
                                                            : QDir(temporary.path()).filePath(QStringLiteral("chats"));
    const QString database = sim::MessagesSimulator::databasePath(home);
#ifdef NDEBUG
    const char* buildType = "optimised (NDEBUG)";
#else
    const char* buildType = "debug (assertions on, unoptimised)";
#endif
    say("bench_sync: %s build, %d cores\n", buildType, QThread::idealThreadCount());

    if (QFileInfo::exists(database)) {
        say("reusing %s\n", qPrintable(database));
    } else if (!fill(home, messages, std::max(2, messages / 500)) || !dropAttachments(database)) {
        return 1;
    } else {
        say("note: the fill ran in this process, so the RSS figures below include what it left behind; "
            "a second run with --home on a kept database gives the relay's own\n");
    }
    const QString notReaction = QStringLiteral(
        "(associated_message_type IS NULL OR associated_message_type = 0 OR associated_message_type < 2000 "
        "OR associated_message_type > 3006)");
    const qint64 rows = scalar(database, QStringLiteral("SELECT COUNT(*) FROM message WHERE ") + notReaction);
    const qint64 attachmentRows = scalar(database, QStringLiteral("SELECT COUNT(*) FROM message_attachment_join"));
    say("database: %.1f MB, %lld message rows (reactions left out), %lld attachment rows\n",
        double(QFileInfo(database).size()) / 1e6, rows, attachmentRows);

    // The server keeps its recent events in memory only: its file of every frame, written out
    // again as JSON, is a test facility that would be timed here as if it were the relay's work.
    RelayServerHarness server;
    if (!server.start({QStringLiteral("--api-key"), kKey, QStringLiteral("--ping-interval-ms"), QStringLiteral("0"),
                       QStringLiteral("--events-file"), QString(), QStringLiteral("--max-events"),
                       QStringLiteral("1000")})) {
        std::fprintf(stderr, "bench_sync: server: %s\n", qPrintable(server.errorString()));
        return 1;
    }

    // 1. The sqlite3 shell over the same pages: the reader's own statement, keyed on the row id
    //    of each page's last row, 250 rows a page.
    constexpr int batch = 250;
    const qint64 maxDate = std::numeric_limits<qint64>::max();
    double shellRate = 0;
    {
        auto queries = ChatDBQueries::open(database);
        const QString sqlite3 = QStandardPaths::findExecutable(QStringLiteral("sqlite3"));
        auto connection = db::Connection::openReadOnly(database);
        if (queries && !sqlite3.isEmpty() && connection) {
            QByteArray script;
            auto ids = connection->prepare(QStringLiteral("SELECT ROWID FROM message WHERE ") + notReaction
                                           + QStringLiteral(" ORDER BY ROWID"));
            qint64 n = 0;
            std::optional<qint64> key;
            auto addPage = [&] {
                QList<qint64> values{0, maxDate};
                if (key)
                    values << *key;
                values << batch;
                script += withLiterals((*queries)->messageQuery(false, key.has_value()), values).toUtf8() + ";\n";
            };
            addPage();
            while (ids && nextRow(*ids)) {
                if (++n % batch == 0) {
                    key = ids->int64(0);
                    addPage();
                }
            }
            const ShellRun shell = runShell(sqlite3, database, script);
            if (shell.ok) {
                shellRate = double(shell.rows) * 1e9 / double(shell.nanoseconds);
                say("sqlite3 -json: %lld rows, %.2f s, %.0f rows/s (CPU %.2f s)\n", shell.rows,
                    double(shell.nanoseconds) / 1e9, shellRate, shell.cpu);
            } else {
                say("sqlite3 -json failed: %s\n", qPrintable(shell.error));
            }
        } else {
            say("sqlite3 shell not available: no ratio\n");
        }
    }

    // 2. Historical sync of the whole database, end to end, in each mode.
    Relay relay;
    if (!relay.start(home, server.wsUrl())) {
        std::fprintf(stderr, "bench_sync: the relay did not start\n");
        return 1;
    }
    for (const QString& mode : modes) {
        relay.preferences->setBatchSyncEnabled(mode == QLatin1String("batch"));
        spin(500);
        const qint64 idle = statusKiB("VmRSS");
        resetHighWaterMark();
        RssSampler sampler;
        sampler.start();
        const double cpuBefore = cpuSeconds(RUSAGE_SELF);
        const QString requestId = QStringLiteral("bench-") + mode;
        const double pushedAt = double(QDateTime::currentMSecsSinceEpoch());
        QElapsedTimer wall;
        wall.start();
        server.push({{QStringLiteral("type"), QStringLiteral("HISTORICAL_SYNC_REQUEST")},
                     {QStringLiteral("timestamp"), pushedAt},
                     {QStringLiteral("requestId"), requestId},
                     {QStringLiteral("startDate"), 0},
                     {QStringLiteral("endDate"), maxDate},
                     {QStringLiteral("batchSize"), batch}});
        const auto final = waitForFinal(server, requestId,
                                        {QStringLiteral("HISTORICAL_SYNC_COMPLETE"), QStringLiteral("HISTORICAL_SYNC_FAILED")},
                                        3600000);
        const double cpu = cpuSeconds(RUSAGE_SELF) - cpuBefore;
        sampler.stop();
        const qint64 hwm = statusKiB("VmHWM");
        if (!final) {
            say("%s mode: no final message within the hour\n", qPrintable(mode));
            continue;
        }
        const QJsonObject message = final->value(QLatin1String("message")).toObject();
        const double seconds = (final->value(QLatin1String("receivedAt")).toDouble() - pushedAt) / 1000.0;
        const qint64 processed = message.value(QLatin1String("totalProcessed")).toInteger();
        const double rate = seconds > 0 ? double(processed) / seconds : 0;
        say("%s mode: %s, %lld messages in %lld batches, %.2f s to the server's last message (%.1f s polled), "
            "%.0f messages/s; relay process CPU %.1f s\n",
            qPrintable(mode), qPrintable(message.value(QLatin1String("type")).toString()), processed,
            message.value(QLatin1String("totalBatches")).toInteger(), seconds, double(wall.elapsed()) / 1000.0, rate, cpu);
        if (shellRate > 0)
            say("  ratio to sqlite3 -json: %.2f\n", rate / shellRate);
        const QList<qint64> quarters = sampler.quarterPeaks();
        const qint64 peak = std::max(sampler.peak(), hwm);
        say("  RSS: idle %.1f MiB, peak %.1f MiB (%.1f above idle); peak by quarter of the run %.1f / %.1f / %.1f / %.1f MiB\n",
            mib(idle), mib(peak), mib(peak - idle), mib(quarters.value(0)), mib(quarters.value(1)), mib(quarters.value(2)),
            mib(quarters.value(3)));
    }
    relay.stop();

    // 3. The conversation list of many chats.
    const QString chatsDatabase = sim::MessagesSimulator::databasePath(chatsHome);
    if (QFileInfo::exists(chatsDatabase))
        say("reusing %s\n", qPrintable(chatsDatabase));
    else if (!fill(chatsHome, chats * 10, chats))
        return 1;
    say("chat-list database: %lld chats with messages\n",
        scalar(chatsDatabase, QStringLiteral("SELECT COUNT(DISTINCT chat_id) FROM chat_message_join")));
    Relay lister;
    if (!lister.start(chatsHome, server.wsUrl())) {
        std::fprintf(stderr, "bench_sync: the relay did not start\n");
        return 1;
    }
    for (int round = 1; round <= 3; ++round) {
        const QString requestId = QStringLiteral("list-%1").arg(round);
        const double pushedAt = double(QDateTime::currentMSecsSinceEpoch());
        server.push({{QStringLiteral("type"), QStringLiteral("CONVERSATIONS_LIST_REQUEST")},
                     {QStringLiteral("timestamp"), pushedAt},
                     {QStringLiteral("requestId"), requestId}});
        const auto final = waitForFinal(server, requestId, {QStringLiteral("CONVERSATIONS_LIST_COMPLETE")}, 600000);
        if (!final) {
            say("conversation list: no completion\n");
            break;
        }
        const QJsonObject message = final->value(QLatin1String("message")).toObject();
        say("conversation list round %d: %lld chats in %lld batches, %.0f ms to the server's completion (relay's durationMs %lld)\n",
            round, message.value(QLatin1String("totalChats")).toInteger(), message.value(QLatin1String("totalBatches")).toInteger(),
            final->value(QLatin1String("receivedAt")).toDouble() - pushedAt, message.value(QLatin1String("durationMs")).toInteger());
    }
    lister.stop();
    return 0;
}
