#pragma once

#include "messagesendoptions.h"
#include "tolkaerror.h"

#include <phonenumbernormalizer.h>
#include <result.h>

#include <QCoroTask>
#include <QString>
#include <QStringList>

#include <functional>

namespace velto {

// Sends one text and/or one file through the Messages application, to a person or into an
// existing chat, by running a fixed AppleScript with the message data as its arguments. Phone
// numbers go out in E.164 form; a file is first copied into a staging folder inside the Messages
// attachments directory, where Messages may read it. Holds no mutable state.
class MessageSender {
public:
    // Runs a script source with its arguments bound to argv; a failure carries its text.
    using Runner = std::function<QCoro::Task<Result<void, TolkaError>>(QString source, QStringList arguments)>;
    // The folder staged copies go to.
    using DirectoryProvider = std::function<QString()>;

    // Where a send goes: a chat (target not empty) or a person (recipient).
    struct ChatTarget {
        QString target;
        QString recipient;
    };

    // The default normaliser, runAppleScript, and defaultAttachmentsDirectory().
    MessageSender();
    MessageSender(PhoneNumberNormalizer normalizer, Runner runner, DirectoryProvider attachmentsSubdirectoryProvider);

    // Completes when the script has run. Fails with appleScriptFailure (missing attachment, a
    // script error, osascript's complaint), fileOperation (staging) or processLaunch.
    // The sender may be destroyed while a send is under way.
    QCoro::Task<Result<void, TolkaError>> send(MessageSendOptions options) const;

    // The script every send runs; argv holds recipient, text, service, file path, "1"/"0" for a
    // file, chat target, "1"/"0" for a chat send.
    static QString sendScript();

    // Home + "Library/Messages/Attachments/tolka".
    static QString defaultAttachmentsDirectory();

    // A chat GUID wins; a chat identifier that is really a handle turns the send into a person
    // send to it (when no recipient is given); any other identifier names the chat.
    static ChatTarget resolveChatTarget(const MessageSendOptions& options);
    static bool looksLikeHandle(const QString& text);

    // Copies the file at `path` ("~" expanded) into a new UUID-named folder inside
    // `stagingDirectory` under its own name and returns the copy's path. Blocking.
    static Result<QString, TolkaError> stageAttachment(const QString& path, const QString& stagingDirectory);

    // The default runner. This platform has no in-process script engine, so every script goes
    // through runOsascript.
    static QCoro::Task<Result<void, TolkaError>> runAppleScript(QString source, QStringList arguments);
    // osascript's exit status decides; its trimmed standard error is the failure text.
    static QCoro::Task<Result<void, TolkaError>> runOsascript(QString source, QStringList arguments);

private:
    PhoneNumberNormalizer m_normalizer;
    Runner m_runner;
    DirectoryProvider m_attachmentsSubdirectoryProvider;
};

} // namespace velto
