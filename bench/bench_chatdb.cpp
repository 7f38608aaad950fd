// bench_chatdb: how fast the relay's chat database reader pages through a large Messages
// database, against the sqlite3 shell running the same statements over the same rows in the
// same run, and how fast the two body decoders go over the database's bodies. Prints figures;
// asserts nothing.
//
//   bench_chatdb [--home DIR] [--messages N] [--batch B] [--rounds R]
//
// DIR (default: a temporary folder, removed afterwards) holds Library/Messages/chat.db; a
// database already there is reused as it is, otherwise the simulator fills one with N messages
// (default 1,000,000, the "large" preset) first. Each of the R rounds (default 3) runs the reader
// and then the shell, so that load from elsewhere on the machine shows as spread between rounds.

#include "awaittask.h"
#include "shellbaseline.h"
#include "chatdbqueries.h"
#include "chatdbreader.h"
#include "messagessimulator.h"

#include <attributedstringdecoder.h>
#include <dbconnection.h>
#include <typedstreamparser.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <sys/resource.h>
#include <cstdio>
#include <limits>
#include <optional>

using namespace velto;
using namespace velto::bench;

namespace {

template <typename... Args>
void say(const char* format, Args... args)
{
    std::printf(format, args...);
    std::fflush(stdout);
}

using velto::test::await;

// User plus system time of this process (RUSAGE_SELF) or of its waited-for children.
double perSecond(qint64 count, qint64 nanoseconds)
{
    return nanoseconds > 0 ? double(count) * 1e9 / double(nanoseconds) : 0.0;
}

// The statement with its parameters written in as literals, for the shell.
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


} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Chat database reader throughput against the sqlite3 shell."));
    parser.addHelpOption();
    const QCommandLineOption homeOption(QStringLiteral("home"), QStringLiteral("Folder holding Library/Messages/chat.db (reused when present)."),
                                        QStringLiteral("dir"));
    const QCommandLineOption messagesOption(QStringLiteral("messages"), QStringLiteral("Messages to generate (default 1000000)."),
                                            QStringLiteral("n"), QStringLiteral("1000000"));
    const QCommandLineOption batchOption(QStringLiteral("batch"), QStringLiteral("Rows per page (default 250)."),
                                         QStringLiteral("n"), QStringLiteral("250"));
    const QCommandLineOption roundsOption(QStringLiteral("rounds"), QStringLiteral("Reader/shell rounds (default 3)."),
                                          QStringLiteral("n"), QStringLiteral("3"));
    parser.addOptions({homeOption, messagesOption, batchOption, roundsOption});
    parser.process(app);
    const int batch = parser.value(batchOption).toInt();
    const int messages = parser.value(messagesOption).toInt();
    const int rounds = parser.value(roundsOption).toInt();
    if (batch <= 0 || messages <= 0 || rounds <= 0) {
        std::fprintf(stderr, "bench_chatdb: --batch, --messages and --rounds take positive numbers\n");
        return 2;
    }

    QTemporaryDir temporary(QDir::temp().filePath(QStringLiteral("bench_chatdb-XXXXXX")));
    const QString home = parser.isSet(homeOption) ? QDir(parser.value(homeOption)).absolutePath() : temporary.path();
    const QString database = sim::MessagesSimulator::databasePath(home);

#ifdef NDEBUG
    const char* buildType = "optimised (NDEBUG)";
#else
    const char* buildType = "debug (assertions on, unoptimised)";
#endif
    say("bench_chatdb: %s build, %d cores, batch %d\n", buildType, QThread::idealThreadCount(), batch);

    if (QFileInfo::exists(database)) {
        say("reusing %s\n", qPrintable(database));
    } else {
        say("filling %s with %d messages (simulator, no attachment files)...\n", qPrintable(database), messages);
        sim::MessagesSimulator simulator(home);
        auto options = *sim::FillOptions::preset(u"large");
        options.messages = messages;
        if (messages < 1000000) {
            // Keep the shape of the large preset: about a thousand messages per chat.
            options.chats = std::max(2, messages / 500);
            options.handles = std::max(3, messages / 333);
        }
        options.writeAttachmentFiles = false;
        QElapsedTimer fillTimer;
        fillTimer.start();
        if (auto made = simulator.init(); !made) {
            std::fprintf(stderr, "bench_chatdb: %s\n", qPrintable(made.error().description()));
            return 1;
        }
        auto filled = simulator.fill(options);
        if (!filled) {
            std::fprintf(stderr, "bench_chatdb: %s\n", qPrintable(filled.error().description()));
            return 1;
        }
        simulator.close();
        say("filled in %.1f s\n", double(fillTimer.elapsed()) / 1000.0);
    }
    say("database: %.1f MB\n", double(QFileInfo(database).size()) / 1e6);

    ChatDBReader reader(database);
    if (!await(reader.init())) {
        std::fprintf(stderr, "bench_chatdb: cannot open %s\n", qPrintable(database));
        return 1;
    }
    auto queries = ChatDBQueries::open(database);
    const QString sqlite3 = QStandardPaths::findExecutable(QStringLiteral("sqlite3"));
    const quint64 start = 0;
    const quint64 end = quint64(std::numeric_limits<qint64>::max());
    QList<double> ratios;
    QList<double> cpuRatios;
    for (int round = 1; round <= rounds; ++round) {
        // 1. The reader, page by page, as historical sync does it.
        QList<std::optional<qint64>> pageStarts; // what each page was keyed on
        qint64 readerRows = 0;
        qint64 textRows = 0;
        std::optional<qint64> after;
        const DecoderStats before = reader.stats();
        const double cpuBefore = cpuSeconds(RUSAGE_SELF);
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            auto page = await(reader.getMessagesByDateRange(start, end, batch, after));
            if (!page) {
                std::fprintf(stderr, "bench_chatdb: query failed: %s\n", qPrintable(page.error().description()));
                return 1;
            }
            pageStarts << after;
            if (page->isEmpty())
                break;
            readerRows += page->size();
            for (const ChatMessage& message : std::as_const(*page))
                textRows += message.text && !message.text->isEmpty() ? 1 : 0;
            after = page->last().rowid;
        }
        const qint64 readerNs = timer.nsecsElapsed();
        const double readerCpu = cpuSeconds(RUSAGE_SELF) - cpuBefore;
        const DecoderStats stats = reader.stats();
        const double readerRate = perSecond(readerRows, readerNs);
        say("round %d\n  reader:  %lld rows in %lld pages, %.2f s, %.0f rows/s; CPU %.2f s, %.0f rows per CPU-s (%lld with "
            "text: %lld from the text column, %lld decoded, %lld bodies without text)\n",
            round, readerRows, qint64(pageStarts.size()), double(readerNs) / 1e9, readerRate, readerCpu,
            readerCpu > 0 ? double(readerRows) / readerCpu : 0.0, textRows,
            stats.textFieldUsed - before.textFieldUsed, stats.decoderSuccess - before.decoderSuccess,
            stats.decoderFailed - before.decoderFailed);

        // 2. The same statements over the same pages through the sqlite3 shell.
        if (!queries || sqlite3.isEmpty()) {
            say("  sqlite3 shell: not available, no ratio\n");
            continue;
        }
        QByteArray script;
        for (const std::optional<qint64>& key : std::as_const(pageStarts)) {
            QList<qint64> values{qint64(start), qint64(end)};
            if (key)
                values << *key;
            values << batch;
            script += withLiterals((*queries)->messageQuery(false, key.has_value()), values).toUtf8() + ";\n";
        }
        const ShellRun shell = runShell(sqlite3, database, script);
        if (!shell.ok) {
            say("  sqlite3 shell failed: %s\n", qPrintable(shell.error));
            continue;
        }
        const double shellRate = perSecond(shell.rows, shell.nanoseconds);
        say("  sqlite3: %lld rows (%.0f MB of JSON), %.2f s, %.0f rows/s; CPU %.2f s, %.0f rows per CPU-s%s\n", shell.rows,
            double(shell.bytes) / 1e6, double(shell.nanoseconds) / 1e9, shellRate, shell.cpu,
            shell.cpu > 0 ? double(shell.rows) / shell.cpu : 0.0, shell.rows == readerRows ? "" : "  ROW COUNTS DIFFER");
        const double ratio = shellRate > 0 ? readerRate / shellRate : 0.0;
        const double cpuRatio = readerCpu > 0 && shell.cpu > 0 ? (double(readerRows) / readerCpu) / (double(shell.rows) / shell.cpu) : 0.0;
        ratios << ratio;
        cpuRatios << cpuRatio;
        say("  ratio reader/sqlite3: %.2f by wall time, %.2f by CPU time\n", ratio, cpuRatio);
    }
    if (!ratios.isEmpty()) {
        std::sort(ratios.begin(), ratios.end());
        std::sort(cpuRatios.begin(), cpuRatios.end());
        say("ratio reader/sqlite3 over %lld rounds: by wall time median %.2f (%.2f to %.2f), by CPU time median %.2f "
            "(%.2f to %.2f)\n",
            qint64(ratios.size()), ratios.at(ratios.size() / 2), ratios.first(), ratios.last(),
            cpuRatios.at(cpuRatios.size() / 2), cpuRatios.first(), cpuRatios.last());
    }

    // 3. Both decoders over every body of the database.
    QList<QByteArray> bodies;
    qint64 bodyBytes = 0;
    {
        auto connection = db::Connection::openReadOnly(database);
        if (!connection) {
            std::fprintf(stderr, "bench_chatdb: %s\n", qPrintable(connection.error().description()));
            return 1;
        }
        auto statement = connection->prepare(
            QStringLiteral("SELECT attributedBody FROM message WHERE attributedBody IS NOT NULL AND length(attributedBody) > 0"));
        while (statement && statement->step().value()) {
            bodies << statement->blob(0).value_or(QByteArray());
            bodyBytes += bodies.last().size();
        }
    }
    say("bodies:  %lld, %.1f MB, %.0f bytes on average\n", qint64(bodies.size()), double(bodyBytes) / 1e6,
        bodies.isEmpty() ? 0.0 : double(bodyBytes) / double(bodies.size()));
    if (!bodies.isEmpty()) {
        qint64 nonEmpty = 0;
        QElapsedTimer timer;
        timer.start();
        for (const QByteArray& body : std::as_const(bodies))
            nonEmpty += TypedStreamParser::parseAttributedBody(body).isEmpty() ? 0 : 1;
        const qint64 scanNs = timer.nsecsElapsed();
        say("TypedStreamParser::parseAttributedBody: %.2f s, %.0f bodies/s, %.1f MB/s (%lld non-empty)\n",
            double(scanNs) / 1e9, perSecond(bodies.size(), scanNs), perSecond(bodyBytes, scanNs) / 1e6, nonEmpty);

        qint64 decoded = 0;
        qint64 failed = 0;
        timer.restart();
        for (const QByteArray& body : std::as_const(bodies)) {
            auto output = decodeAttributedBody(body);
            if (output && output->plainText && !output->plainText->isEmpty())
                ++decoded;
            else if (!output)
                ++failed;
        }
        const qint64 decodeNs = timer.nsecsElapsed();
        say("decodeAttributedBody:                   %.2f s, %.0f bodies/s, %.1f MB/s (%lld with text, %lld errors)\n",
            double(decodeNs) / 1e9, perSecond(bodies.size(), decodeNs), perSecond(bodyBytes, decodeNs) / 1e6, decoded,
            failed);

        // The reader's own path: the raw bytes straight to the decoder, no Base64 round trip.
        decoded = 0;
        failed = 0;
        timer.restart();
        for (const QByteArray& body : std::as_const(bodies)) {
            auto string = decodeAttributedString(body);
            if (string && !string->text.isEmpty())
                ++decoded;
            else if (!string)
                ++failed;
        }
        const qint64 rawNs = timer.nsecsElapsed();
        say("decodeAttributedString:                 %.2f s, %.0f bodies/s, %.1f MB/s (%lld with text, %lld errors)\n",
            double(rawNs) / 1e9, perSecond(bodies.size(), rawNs), perSecond(bodyBytes, rawNs) / 1e6, decoded, failed);
    }
    return 0;
}
