// velto-messages-sim: the Messages application's side of chat.db, for tests, benchmarks and the demo.
// Each command is one entry of the table in main(); a command parses its own options.

#include "messagessimulator.h"
#include "osascriptstandin.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTextStream>

#include <cstdio>
#include <functional>

using namespace velto::sim;

namespace {

struct Command {
    QString name;
    QString summary;
    QList<QCommandLineOption> options;
    std::function<int(const QCommandLineParser &)> run;
    // Set for a command that reads its command line itself (osascript's, not ours).
    std::function<int(const QStringList &)> runRaw = {};
};

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

void printJson(const QJsonObject &json)
{
    out() << QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Compact)) << Qt::endl;
}

int failWith(const QString &text, int code = 1)
{
    err() << "velto-messages-sim: " << text << Qt::endl;
    return code;
}

template <typename T>
int report(const velto::Result<T, SimulatorError> &result)
{
    if (!result)
        return failWith(result.error().description());
    printJson(result->toJson());
    return 0;
}

QCommandLineOption homeOption()
{
    return {QStringLiteral("home"), QStringLiteral("Home folder holding Library/Messages (default: VELTO_HOME)."),
            QStringLiteral("path")};
}

// The home to work in: --home, else VELTO_HOME. Never the user's own home by default: on a Mac
// that would be the real Messages database.
QString homeOf(const QCommandLineParser &parser)
{
    if (parser.isSet(QStringLiteral("home")))
        return parser.value(QStringLiteral("home"));
    return qEnvironmentVariable("VELTO_HOME");
}

QCommandLineOption schemaOption()
{
    return {QStringLiteral("schema"), QStringLiteral("Database layout: macos15 (default) or legacy."),
            QStringLiteral("name"), QStringLiteral("macos15")};
}

std::optional<qint64> integerOption(const QCommandLineParser &parser, const QString &name, QString &problem)
{
    bool ok = false;
    const qint64 value = parser.value(name).toLongLong(&ok);
    if (!ok || value < 0) {
        problem = QStringLiteral("--") + name + QStringLiteral(" needs a non-negative whole number");
        return std::nullopt;
    }
    return value;
}

int runInit(const QCommandLineParser &parser)
{
    const auto version = ChatDbSchema::parseVersion(parser.value(QStringLiteral("schema")));
    if (!version)
        return failWith(QStringLiteral("unknown schema ") + parser.value(QStringLiteral("schema")), 2);
    MessagesSimulator simulator(homeOf(parser));
    if (auto done = simulator.init(*version, parser.isSet(QStringLiteral("force"))); !done)
        return failWith(done.error().description());
    printJson({{QStringLiteral("database"), simulator.databasePath()},
               {QStringLiteral("schema"), ChatDbSchema::versionName(*version)}});
    return 0;
}

int runFill(const QCommandLineParser &parser)
{
    FillOptions options;
    if (parser.isSet(QStringLiteral("preset"))) {
        const auto preset = FillOptions::preset(parser.value(QStringLiteral("preset")));
        if (!preset)
            return failWith(QStringLiteral("unknown preset ") + parser.value(QStringLiteral("preset")), 2);
        options = *preset;
    }
    QString problem;
    const auto setInt = [&](const QString &name, auto &target) {
        if (!parser.isSet(name) || !problem.isEmpty())
            return;
        if (const auto value = integerOption(parser, name, problem))
            target = std::remove_reference_t<decltype(target)>(*value);
    };
    setInt(QStringLiteral("messages"), options.messages);
    setInt(QStringLiteral("chats"), options.chats);
    setInt(QStringLiteral("handles"), options.handles);
    setInt(QStringLiteral("seed"), options.seed);
    setInt(QStringLiteral("span-days"), options.spanDays);
    if (!problem.isEmpty())
        return failWith(problem, 2);
    if (parser.isSet(QStringLiteral("until"))) {
        const QString until = parser.value(QStringLiteral("until"));
        const QDateTime when = until == QLatin1String("now") ? QDateTime::currentDateTimeUtc()
                                                             : QDateTime::fromString(until, Qt::ISODate);
        if (!when.isValid())
            return failWith(QStringLiteral("--until needs an ISO 8601 date-time or \"now\""), 2);
        options.untilUnixMs = when.toMSecsSinceEpoch();
    }
    options.writeAttachmentFiles = !parser.isSet(QStringLiteral("no-attachment-files"));

    const auto version = ChatDbSchema::parseVersion(parser.value(QStringLiteral("schema")));
    if (!version)
        return failWith(QStringLiteral("unknown schema ") + parser.value(QStringLiteral("schema")), 2);
    MessagesSimulator simulator(homeOf(parser));
    if (parser.isSet(QStringLiteral("force")) || !QFileInfo::exists(simulator.databasePath())) {
        if (auto done = simulator.init(*version, true); !done)
            return failWith(done.error().description());
    }
    return report(simulator.fill(options));
}

int runAddIncoming(const QCommandLineParser &parser)
{
    IncomingMessage message;
    message.from = parser.value(QStringLiteral("from"));
    message.text = parser.value(QStringLiteral("text"));
    message.chatGuid = parser.value(QStringLiteral("chat"));
    message.attachmentPath = parser.value(QStringLiteral("attachment"));
    message.service = parser.value(QStringLiteral("service"));
    message.audioTranscription = parser.value(QStringLiteral("transcription"));
    if (parser.isSet(QStringLiteral("link-preview")))
        message.balloonBundleId = QStringLiteral("com.apple.messages.URLBalloonProvider");
    MessagesSimulator simulator(homeOf(parser));
    return report(simulator.addIncoming(message));
}

int runAddOutgoing(const QCommandLineParser &parser)
{
    OutgoingMessage message;
    message.to = parser.value(QStringLiteral("to"));
    message.chatGuid = parser.value(QStringLiteral("chat"));
    message.text = parser.value(QStringLiteral("text"));
    message.attachmentPath = parser.value(QStringLiteral("attachment"));
    message.service = parser.value(QStringLiteral("service"));
    MessagesSimulator simulator(homeOf(parser));
    return report(simulator.addOutgoing(message));
}

int runAddTapback(const QCommandLineParser &parser)
{
    TapbackRequest tapback;
    tapback.targetGuid = parser.value(QStringLiteral("target"));
    bool ok = false;
    tapback.type = parser.value(QStringLiteral("type")).toInt(&ok);
    if (!ok)
        return failWith(QStringLiteral("--type needs a number (2000–2006, 3000–3006)"), 2);
    tapback.emoji = parser.value(QStringLiteral("emoji"));
    tapback.from = parser.value(QStringLiteral("from"));
    MessagesSimulator simulator(homeOf(parser));
    return report(simulator.addTapback(tapback));
}

int runStream(const QCommandLineParser &parser)
{
    StreamOptions options;
    bool rateOk = false;
    bool durationOk = false;
    options.rate = parser.value(QStringLiteral("rate")).toDouble(&rateOk);
    options.durationSeconds = parser.value(QStringLiteral("duration")).toDouble(&durationOk);
    if (!rateOk || !durationOk)
        return failWith(QStringLiteral("--rate and --duration need numbers"), 2);
    if (parser.isSet(QStringLiteral("from")))
        options.senders = parser.value(QStringLiteral("from")).split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (parser.isSet(QStringLiteral("verbose")))
        options.onRow = [](const AppendResult &row) { printJson(row.toJson()); };
    MessagesSimulator simulator(homeOf(parser));
    return report(simulator.stream(options));
}

// Stands in for osascript: `velto-messages-sim osascript -l AppleScript - ARG…` with the script on
// standard input, as the osascript wrapper script next to the program calls it.
int runOsascript(const QStringList &arguments)
{
    QFile input;
    if (!input.open(stdin, QIODevice::ReadOnly))
        return failWith(QStringLiteral("cannot read the script from standard input"));
    const QByteArray script = input.readAll();
    return OsascriptStandIn(OsascriptStandIn::Settings::fromEnvironment()).run(arguments, script);
}

QList<Command> commands()
{
    const QCommandLineOption force(QStringLiteral("force"), QStringLiteral("Replace an existing database."));
    const auto value = [](const char *name, const char *description, const char *valueName) {
        return QCommandLineOption(QString::fromLatin1(name), QString::fromUtf8(description), QString::fromLatin1(valueName));
    };
    return {
        {QStringLiteral("init"), QStringLiteral("Create Library/Messages/chat.db (WAL) and the attachment folder."),
         {homeOption(), schemaOption(), force}, runInit},
        {QStringLiteral("fill"), QStringLiteral("Fill a new database with deterministic conversations (creates it when missing)."),
         {homeOption(), schemaOption(), force,
          value("preset", "small (1,000 messages), medium (50,000) or large (1,000,000).", "name"),
          value("messages", "Number of message rows.", "n"), value("chats", "Number of chats.", "n"),
          value("handles", "Number of handles (addresses).", "n"), value("seed", "Random seed (default 1).", "n"),
          value("span-days", "Days the conversations reach back (default 180).", "n"),
          value("until", "When the conversations end: ISO 8601 or \"now\" (default 2025-06-01T00:00:00Z).", "when"),
          QCommandLineOption(QStringLiteral("no-attachment-files"),
                             QStringLiteral("Write attachment rows without their files."))},
         runFill},
        {QStringLiteral("add-incoming"), QStringLiteral("Append a message someone sent (prints its rowid and guid)."),
         {homeOption(), value("from", "Sender's phone number or e-mail address.", "address"),
          value("text", "Message text.", "text"), value("chat", "GUID of an existing chat.", "guid"),
          value("attachment", "File to attach (copied into the attachment folder).", "path"),
          value("service", "iMessage or SMS.", "name"),
          value("transcription", "Make the attachment an audio message with this transcription.", "text"),
          QCommandLineOption(QStringLiteral("link-preview"), QStringLiteral("Write the row as a link-preview row."))},
         runAddIncoming},
        {QStringLiteral("add-outgoing"), QStringLiteral("Append a message the owner sent (prints its rowid and guid)."),
         {homeOption(), value("to", "Recipient's address.", "address"), value("chat", "GUID of an existing chat.", "guid"),
          value("text", "Message text.", "text"), value("attachment", "File to attach.", "path"),
          value("service", "iMessage or SMS.", "name")},
         runAddOutgoing},
        {QStringLiteral("add-tapback"), QStringLiteral("Append a tapback on a message (prints its rowid and guid)."),
         {homeOption(), value("target", "GUID of the message reacted to.", "guid"),
          value("type", "2000–2005 add, 2006 custom emoji, 3000–3006 remove.", "code"),
          value("emoji", "Emoji of a custom tapback (2006/3006).", "emoji"),
          value("from", "Who reacted (default: the owner).", "address")},
         runAddTapback},
        {QStringLiteral("stream"), QStringLiteral("Write incoming rows at a rate; each text carries its write time."),
         {homeOption(), value("rate", "Rows per second.", "r"), value("duration", "Seconds to run.", "s"),
          value("from", "Comma-separated senders (default: existing one-to-one chats).", "addresses"),
          QCommandLineOption(QStringLiteral("verbose"), QStringLiteral("Print every row as it is written."))},
         runStream},
        {QStringLiteral("osascript"),
         QStringLiteral("Stand in for osascript: run the relay's send script from standard input (see README)."),
         {}, nullptr, runOsascript},
    };
}

void printUsage(const QList<Command> &table)
{
    out() << "Usage: velto-messages-sim <command> [options]\n\nCommands:\n";
    for (const Command &command : table)
        out() << "  " << command.name.leftJustified(14) << command.summary << '\n';
    out() << "\nvelto-messages-sim <command> --help lists a command's options." << Qt::endl;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velto-messages-sim"));
    const QStringList arguments = QCoreApplication::arguments();
    const QList<Command> table = commands();
    if (arguments.size() < 2 || arguments.at(1) == QLatin1String("--help") || arguments.at(1) == QLatin1String("-h")) {
        printUsage(table);
        return arguments.size() < 2 ? 2 : 0;
    }
    const QString name = arguments.at(1);
    for (const Command &command : table) {
        if (command.name != name)
            continue;
        if (command.runRaw)
            return command.runRaw(arguments.mid(2));
        QCommandLineParser parser;
        parser.setApplicationDescription(command.summary);
        parser.addOptions(command.options);
        const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                      QStringLiteral("Show this command's options."));
        parser.addOption(help);
        QStringList commandArguments = arguments;
        commandArguments.removeAt(1);
        if (!parser.parse(commandArguments))
            return failWith(parser.errorText(), 2);
        if (parser.isSet(help)) {
            out() << parser.helpText().replace(QStringLiteral("[options]"), name + QStringLiteral(" [options]"));
            out().flush();
            return 0;
        }
        if (!parser.positionalArguments().isEmpty())
            return failWith(QStringLiteral("unexpected argument ") + parser.positionalArguments().constFirst(), 2);
        if (homeOf(parser).isEmpty())
            return failWith(QStringLiteral("say where: --home or VELTO_HOME"), 2);
        return command.run(parser);
    }
    return failWith(QStringLiteral("unknown command ") + name + QStringLiteral(" (try --help)"), 2);
}
