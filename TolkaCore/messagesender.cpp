#include "messagesender.h"

#include <platform.h>
#include <scriptrunner.h>

#include <QCoroFuture>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QUuid>
#include <QtConcurrent>

namespace velto {

namespace {

// Four-space indentation steps, no line break after the last line: Messages (and the
// simulator standing in for it) receive exactly these bytes.
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

QString expandTilde(const QString& path)
{
    if (path == QLatin1String("~"))
        return Platform::homeDirectory();
    if (path.startsWith(QLatin1String("~/")))
        return Platform::homeDirectory() + path.mid(1);
    return path;
}

QString osascriptErrorText(const QByteArray& standardError)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = QString(decoder.decode(standardError)).trimmed();
    if (decoder.hasError() || text.isEmpty())
        return QStringLiteral("Unknown osascript error");
    return text;
}

} // namespace

MessageSender::MessageSender()
    : MessageSender(PhoneNumberNormalizer(), &MessageSender::runAppleScript, &MessageSender::defaultAttachmentsDirectory)
{
}

MessageSender::MessageSender(PhoneNumberNormalizer normalizer, Runner runner,
                             DirectoryProvider attachmentsSubdirectoryProvider)
    : m_normalizer(std::move(normalizer))
    , m_runner(std::move(runner))
    , m_attachmentsSubdirectoryProvider(std::move(attachmentsSubdirectoryProvider))
{
}

QString MessageSender::sendScript()
{
    return QString::fromLatin1(kSendScript);
}

QString MessageSender::defaultAttachmentsDirectory()
{
    return QDir(Platform::homeDirectory()).filePath(QStringLiteral("Library/Messages/Attachments/tolka"));
}

bool MessageSender::looksLikeHandle(const QString& text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return false;
    const QString lower = trimmed.toLower();
    for (const char* prefix : {"imessage:", "sms:", "auto:"}) {
        if (lower.startsWith(QLatin1String(prefix)))
            return true;
    }
    if (trimmed.contains(QLatin1Char('@')))
        return true;
    static const QString phoneCharacters = QStringLiteral("+0123456789 ()-");
    return std::all_of(trimmed.cbegin(), trimmed.cend(), [](QChar c) { return phoneCharacters.contains(c); });
}

MessageSender::ChatTarget MessageSender::resolveChatTarget(const MessageSendOptions& options)
{
    const QString guid = options.chatGUID.trimmed();
    const QString identifier = options.chatIdentifier.trimmed();
    if (!identifier.isEmpty() && looksLikeHandle(identifier))
        return {QString(), options.recipient.isEmpty() ? identifier : options.recipient};
    return {guid.isEmpty() ? identifier : guid, options.recipient};
}

Result<QString, TolkaError> MessageSender::stageAttachment(const QString& path, const QString& stagingDirectory)
{
    const QString expanded = expandTilde(path);
    const QFileInfo source(expanded);
    if (!source.exists())
        return fail(TolkaError::appleScriptFailure(QStringLiteral("Attachment not found at ") + expanded));
    const QString folder = QDir(stagingDirectory).filePath(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper());
    if (!QDir().mkpath(folder))
        return fail(TolkaError::fileOperation(QStringLiteral("Could not create the folder ") + folder));
    const QString staged = QDir(folder).filePath(source.fileName());
    QFile file(expanded);
    if (!file.copy(staged)) {
        return fail(TolkaError::fileOperation(QStringLiteral("Could not copy ") + expanded + QStringLiteral(" to ")
                                              + staged + QStringLiteral(": ") + file.errorString()));
    }
    return staged;
}

QCoro::Task<Result<void, TolkaError>> MessageSender::send(MessageSendOptions options) const
{
    // Everything the send needs is copied before the first wait: the sender may be gone when the
    // staging or the script ends.
    const Runner runner = m_runner;
    const ChatTarget resolved = resolveChatTarget(options);
    const bool chatSend = !resolved.target.isEmpty();
    QString recipient = resolved.recipient;
    MessageService service = options.service;
    if (!chatSend) {
        recipient = m_normalizer.normalize(recipient, options.region.isEmpty() ? QStringLiteral("US") : options.region);
        if (service == MessageService::automatic)
            service = MessageService::imessage;
    }

    QString attachmentPath = options.attachmentPath;
    if (!attachmentPath.isEmpty()) {
        const QString stagingDirectory = m_attachmentsSubdirectoryProvider();
        auto future = QtConcurrent::run(
            [attachmentPath, stagingDirectory] { return stageAttachment(attachmentPath, stagingDirectory); });
        Result<QString, TolkaError> staged = co_await future;
        if (!staged)
            co_return fail(staged.error());
        attachmentPath = staged.value();
    }

    const QStringList arguments{
        recipient,
        options.text,
        messageServiceRawValue(service),
        attachmentPath,
        attachmentPath.isEmpty() ? QStringLiteral("0") : QStringLiteral("1"),
        resolved.target,
        chatSend ? QStringLiteral("1") : QStringLiteral("0"),
    };
    auto run = runner(sendScript(), arguments);
    co_return co_await std::move(run);
}

QCoro::Task<Result<void, TolkaError>> MessageSender::runAppleScript(QString source, QStringList arguments)
{
    co_return co_await runOsascript(std::move(source), std::move(arguments));
}

QCoro::Task<Result<void, TolkaError>> MessageSender::runOsascript(QString source, QStringList arguments)
{
    const QString program = ScriptRunner::osascriptProgram();
    const ProcessResult result = co_await ScriptRunner::runOsascript(std::move(source), std::move(arguments));
    switch (result.outcome) {
    case ProcessResult::Outcome::finished:
        if (result.exitCode == 0)
            co_return Result<void, TolkaError>();
        co_return fail(TolkaError::appleScriptFailure(osascriptErrorText(result.standardError)));
    case ProcessResult::Outcome::failedToStart:
        co_return fail(TolkaError::processLaunch(program + QStringLiteral(": ") + result.errorText));
    case ProcessResult::Outcome::timedOut:
        co_return fail(TolkaError::appleScriptFailure(
            QStringLiteral("osascript did not finish within %1 seconds")
                .arg(std::chrono::duration_cast<std::chrono::seconds>(ScriptRunner::defaultTimeLimit).count())));
    case ProcessResult::Outcome::crashed:
        break;
    }
    co_return fail(TolkaError::appleScriptFailure(osascriptErrorText(result.standardError)));
}

} // namespace velto
