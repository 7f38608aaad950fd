#include "osascriptstandin.h"

#include "messagessimulator.h"
#include "simdatabase.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>
#include <QUuid>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace velto::sim {

namespace {

// Kept apart from the relay's own copy on purpose: a change on the relay's side that Messages
// would not run shows up as a refused script here.
constexpr char kSendScript[] = R"script(on run argv
    set theRecipient to item 1 of argv
    set theMessage to item 2 of argv
    set theService to item 3 of argv
    set theFilePath to item 4 of argv
    set useAttachment to item 5 of argv
    set chatId to item 6 of argv
    set useChat to item 7 of argv

    tell application "Messages"
        if useChat is "1" then
            set targetChat to chat id chatId
            if theMessage is not "" then
                send theMessage to targetChat
            end if
            if useAttachment is "1" then
                set theFile to POSIX file theFilePath as alias
                send theFile to targetChat
            end if
        else
            if theService is "sms" then
                set targetService to first service whose service type is SMS
            else
                set targetService to first service whose service type is iMessage
            end if

            set targetBuddy to buddy theRecipient of targetService
            if theMessage is not "" then
                send theMessage to targetBuddy
            end if
            if useAttachment is "1" then
                set theFile to POSIX file theFilePath as alias
                send theFile to targetBuddy
            end if
        end if
    end tell
end run)script";

constexpr int kScriptArgumentCount = 7;

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// Cuts the process loose from the caller: its own session, no standard channels (osascript's
// caller may be reading them), so the caller sees osascript end at once.
void detachFromCaller()
{
    setsid();
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        if (null > STDERR_FILENO)
            ::close(null);
    }
}

} // namespace

// One accepted send: where it goes and what it carries.
struct OsascriptStandIn::Send {
    QString recipient; // person send
    QString chatGuid;  // chat send
    QString service;   // "iMessage"/"SMS" for a person, empty (the chat's own) for a chat
    QString text;
    QString outboxFile; // the file Messages took, held until its row is written
};

OsascriptStandIn::Settings OsascriptStandIn::Settings::fromEnvironment()
{
    Settings settings;
    settings.home = qEnvironmentVariable("VELTO_HOME");
    bool ok = false;
    const int delay = qEnvironmentVariableIntValue("VELTO_SIM_SEND_DELAY_MS", &ok);
    if (ok && delay >= 0)
        settings.delayMs = delay;
    const QString refuse = qEnvironmentVariable("VELTO_SIM_REFUSE_AUTOMATION");
    settings.refuseAutomation = !refuse.isEmpty() && refuse != QLatin1String("0");
    settings.callLog = qEnvironmentVariable("VELTO_SIM_OSASCRIPT_LOG");
    return settings;
}

OsascriptStandIn::OsascriptStandIn(Settings settings)
    : m_settings(std::move(settings))
{
}

QByteArray OsascriptStandIn::sendScript()
{
    return QByteArray(kSendScript);
}

QString OsascriptStandIn::refusalFlagPath(const QString &home)
{
    return QDir(home).filePath(QStringLiteral("Library/Messages/sim-refuse-automation"));
}

void OsascriptStandIn::log(const QJsonObject &entry) const
{
    if (m_settings.callLog.isEmpty())
        return;
    QFile file(m_settings.callLog);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(QJsonDocument(entry).toJson(QJsonDocument::Compact) + '\n');
}

int OsascriptStandIn::complain(const QJsonObject &call, const QString &text)
{
    QJsonObject entry = call;
    entry.insert(QStringLiteral("outcome"), QStringLiteral("failed"));
    entry.insert(QStringLiteral("error"), text);
    log(entry);
    const QByteArray line = text.toUtf8() + '\n';
    fwrite(line.constData(), 1, size_t(line.size()), stderr);
    fflush(stderr);
    return 1;
}

int OsascriptStandIn::run(const QStringList &arguments, const QByteArray &script)
{
    QJsonObject call{{QStringLiteral("timeMs"), nowMs()},
                     {QStringLiteral("arguments"), QJsonArray::fromStringList(arguments.mid(3))}};
    if (arguments.size() < 3 || arguments.at(0) != QLatin1String("-l")
        || arguments.at(1) != QLatin1String("AppleScript") || arguments.at(2) != QLatin1String("-")) {
        call.insert(QStringLiteral("arguments"), QJsonArray::fromStringList(arguments));
        return complain(call, QStringLiteral("osascript: this stand-in takes \"-l AppleScript -\", the script on "
                                             "standard input, then the script's arguments"));
    }
    // Compilation comes first, as in osascript: a script that is not the send script never runs.
    if (script != sendScript())
        return complain(call, QStringLiteral("0:0: syntax error: The Messages simulator runs only the relay's send "
                                             "script; this script differs from it. (-2740)"));
    const QStringList argv = arguments.mid(3);
    if (argv.size() < kScriptArgumentCount) {
        return complain(call, QStringLiteral("execution error: Can’t get item %1 of {%2}. (-1728)")
                                  .arg(argv.size() + 1)
                                  .arg(argv.isEmpty() ? QString()
                                                      : QLatin1Char('"') + argv.join(QStringLiteral("\", \""))
                                                            + QLatin1Char('"')));
    }
    if (m_settings.refuseAutomation || (!m_settings.home.isEmpty() && QFileInfo::exists(refusalFlagPath(m_settings.home))))
        return complain(call, QStringLiteral("execution error: Not authorized to send Apple events to Messages. (-1743)"));
    if (m_settings.home.isEmpty() || !QFileInfo::exists(MessagesSimulator::databasePath(m_settings.home)))
        return complain(call, QStringLiteral("execution error: Messages got an error: Application isn’t running. (-600)"));

    const QString &recipient = argv.at(0);
    const QString &text = argv.at(1);
    const QString &service = argv.at(2);
    const QString &filePath = argv.at(3);
    const bool useAttachment = argv.at(4) == QLatin1String("1");
    const QString &chatId = argv.at(5);
    const bool useChat = argv.at(6) == QLatin1String("1");

    Send send;
    send.text = text;
    if (useChat) {
        // "chat id X" names a chat by its GUID; a chat identifier is accepted too.
        SimDatabase db;
        if (auto opened = db.open(MessagesSimulator::databasePath(m_settings.home), false); !opened)
            return complain(call, QStringLiteral("execution error: Messages got an error: ") + opened.error().description()
                                      + QStringLiteral(" (-1)"));
        auto statement = db.prepare(QStringLiteral(
            "SELECT guid FROM chat WHERE guid = ?1 OR chat_identifier = ?1 ORDER BY guid = ?1 DESC, ROWID LIMIT 1"));
        if (statement) {
            statement->bindText(1, chatId);
            if (statement->step() == SimStatement::Step::Row)
                send.chatGuid = statement->columnText(0);
        }
        if (send.chatGuid.isEmpty())
            return complain(call, QStringLiteral("execution error: Messages got an error: Can’t get chat id \"")
                                      + chatId + QStringLiteral("\". (-1728)"));
    } else {
        if (recipient.isEmpty())
            return complain(call, QStringLiteral("execution error: Messages got an error: Can’t get buddy \"\". (-1728)"));
        send.recipient = recipient;
        send.service = service == QLatin1String("sms") ? QStringLiteral("SMS") : QStringLiteral("iMessage");
    }

    if (useAttachment) {
        const QFileInfo file(filePath);
        if (!file.isFile())
            return complain(call, QStringLiteral("execution error: Can’t make file \"") + filePath
                                      + QStringLiteral("\" into type alias. (-1700)"));
        // Messages takes the file when the send is made: the caller may remove it right after.
        const QString outbox = QDir(m_settings.home).filePath(QStringLiteral("Library/Messages/sim-outbox/")
                                                              + QUuid::createUuid().toString(QUuid::WithoutBraces));
        send.outboxFile = QDir(outbox).filePath(file.fileName());
        if (!QDir().mkpath(outbox) || !QFile::copy(filePath, send.outboxFile))
            return complain(call, QStringLiteral("execution error: Messages got an error: cannot read \"") + filePath
                                      + QStringLiteral("\". (-1)"));
    }
    return accept(call, send);
}

int OsascriptStandIn::accept(const QJsonObject &call, const Send &send)
{
    QJsonObject entry = call;
    entry.insert(QStringLiteral("outcome"), QStringLiteral("accepted"));
    entry.insert(QStringLiteral("target"), send.chatGuid.isEmpty() ? send.recipient : send.chatGuid);
    log(entry);
    if (send.text.isEmpty() && send.outboxFile.isEmpty())
        return 0; // the script addressed the buddy or chat and sent nothing

    fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        // No background writer to be had: write now, late answer rather than none.
        apply(send);
        return 0;
    }
    if (child == 0) {
        detachFromCaller();
        apply(send);
        _exit(0);
    }
    return 0;
}

void OsascriptStandIn::apply(const Send &send)
{
    if (m_settings.delayMs > 0)
        QThread::msleep(ulong(m_settings.delayMs));
    MessagesSimulator simulator(m_settings.home);
    QJsonArray rows;
    QString problem;
    const auto write = [&](const QString &text, const QString &attachment) {
        OutgoingMessage message;
        message.to = send.recipient;
        message.chatGuid = send.chatGuid;
        message.service = send.service;
        message.text = text;
        message.attachmentPath = attachment;
        const auto written = simulator.addOutgoing(message);
        if (written)
            rows.append(written->toJson());
        else if (problem.isEmpty())
            problem = written.error().description();
    };
    // The text and the file are two sends, so two rows, the text first.
    if (!send.text.isEmpty())
        write(send.text, QString());
    if (!send.outboxFile.isEmpty()) {
        write(QString(), send.outboxFile);
        QDir(QFileInfo(send.outboxFile).path()).removeRecursively();
    }
    QJsonObject entry{{QStringLiteral("timeMs"), nowMs()}, {QStringLiteral("applied"), rows}};
    if (!problem.isEmpty())
        entry.insert(QStringLiteral("error"), problem);
    log(entry);
}

} // namespace velto::sim
