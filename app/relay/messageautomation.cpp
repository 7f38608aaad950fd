#include "messageautomation.h"

#include <platform.h>
#include <task.h>

#include <QCoroFuture>
#include <QCoroNetworkReply>
#include <QCoroTimer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QUrl>
#include <QUuid>
#include <QtConcurrent>

#include <algorithm>

namespace velto {

namespace {

quint64 nowMs()
{
    return quint64(QDateTime::currentMSecsSinceEpoch());
}

// "msg_" + Unix seconds + "_" + the first 9 characters of a UUID (8 hex digits and a hyphen).
QString newMessageId()
{
    return QStringLiteral("msg_") + QString::number(QDateTime::currentSecsSinceEpoch()) + QLatin1Char('_')
        + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().left(9);
}

const QString kStopped = QStringLiteral("Message automation stopped");

// Replies and the access manager go through the event loop: a coroutine may drop them while
// one of their own signals is being delivered.
struct DeleteLater {
    void operator()(QObject* object) const
    {
        if (object)
            object->deleteLater();
    }
};

// Writes a download into `folder` under `name`, never over an existing file: a second
// attachment of the same name goes into a numbered sub-folder, keeping its name. Blocking.
Result<QString, QString> writeDownload(const QString& folder, const QString& name, qsizetype index,
                                       const QByteArray& body)
{
    QString destination = QDir(folder).filePath(name);
    if (QFileInfo::exists(destination) || QFileInfo(destination).isSymLink()) {
        const QString subfolder = QDir(folder).filePath(QString::number(index));
        if (!QDir().mkpath(subfolder))
            return fail(QString(QStringLiteral("Could not create the folder ") + subfolder));
        destination = QDir(subfolder).filePath(name);
    }
    QFile file(destination);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return fail(QString(QStringLiteral("Could not write ") + destination + QStringLiteral(": ") + file.errorString()));
    if (file.write(body) != body.size() || !file.flush()) {
        const QString text = QStringLiteral("Could not write ") + destination + QStringLiteral(": ") + file.errorString();
        file.close();
        QFile::remove(destination);
        return fail(text);
    }
    return destination;
}

// After a successful send: the staged files go, and with them the folders they leave empty.
void removeStagedFiles(const QStringList& paths, const QString& messageFolder)
{
    for (const QString& path : paths) {
        QFile::remove(path);
        const QString folder = QFileInfo(path).path();
        if (folder != messageFolder)
            QDir().rmdir(folder);
    }
    QDir().rmdir(messageFolder);
}

} // namespace

QString MessageAutomationError::description() const
{
    switch (m_kind) {
    case Kind::invalidRecipient:
        return QStringLiteral("Invalid recipient format: ") + m_value;
    case Kind::sendFailed:
        return QStringLiteral("Send failed: ") + m_value;
    }
    return QString();
}

MessageAutomation::MessageAutomation(int maxRetries, std::chrono::milliseconds retryBaseDelay,
                                     std::chrono::milliseconds downloadTimeout, QObject* parent)
    : QObject(parent)
    , m_maxRetries(maxRetries)
    , m_stagingDir(defaultStagingDirectory())
    , m_retryBaseDelay(retryBaseDelay)
    , m_downloadTimeout(downloadTimeout)
{
}

MessageAutomation::~MessageAutomation()
{
    // Running downloads share the access manager; end them so their sends finish promptly.
    if (m_network) {
        const auto replies = m_network->findChildren<QNetworkReply*>();
        for (QNetworkReply* reply : replies)
            QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
    }
}

QString MessageAutomation::defaultStagingDirectory()
{
    return QDir(Platform::homeDirectory()).filePath(QStringLiteral("Library/Messages/Attachments/tolka-relay"));
}

bool MessageAutomation::isValidRecipient(const QString& recipient)
{
    static const QRegularExpression phone(QStringLiteral("^\\+?[\\d\\s\\-()]+$"));
    static const QRegularExpression email(QStringLiteral("^[^\\s@]+@[^\\s@]+\\.[^\\s@]+$"));
    static const QRegularExpression uuid(
        QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"),
        QRegularExpression::CaseInsensitiveOption);
    return phone.match(recipient).hasMatch() || email.match(recipient).hasMatch() || uuid.match(recipient).hasMatch();
}

std::optional<QString> MessageAutomation::safeFileName(const QString& fileName)
{
    // The name comes from the server: only its last component is used, so that nothing can be
    // written outside the message's staging folder.
    const QString name = fileName.section(QLatin1Char('/'), -1);
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return std::nullopt;
    return name;
}

void MessageAutomation::initialize()
{
    m_logger.info(QStringLiteral("Initializing message automation system..."));
    m_tolkaCli.initialize();
    QDir().mkpath(m_stagingDir);
    m_logger.info(QStringLiteral("Message automation ready"));
}

void MessageAutomation::updateQueued(const QueuedMessage& message)
{
    for (QueuedMessage& queued : m_messageQueue) {
        if (queued.id == message.id)
            queued = message;
    }
}

void MessageAutomation::removeQueued(const QString& id)
{
    if (m_messageQueue.removeIf([&id](const QueuedMessage& queued) { return queued.id == id; }) > 0)
        Q_EMIT queueChanged();
}

QCoro::Task<SendResult> MessageAutomation::sendMessage(QString recipient, QString body,
                                                       std::optional<GroupMetadata> groupMetadata,
                                                       std::optional<QList<OutboundAttachment>> attachments)
{
    const Guard<MessageAutomation> guard(this);
    const QString id = newMessageId();
    const bool isGroup = groupMetadata && groupMetadata->isGroupChat;
    QString target = Logger::priv(recipient);
    if (isGroup) {
        const QString name = groupMetadata->groupDisplayName.value_or(groupMetadata->groupId.value_or(recipient));
        target = QStringLiteral("group \"") + Logger::priv(name) + QLatin1Char('"');
    }
    m_logger.info(QStringLiteral("Sending message %1 to %2").arg(id, target));

    QueuedMessage message;
    message.id = id;
    message.recipient = recipient;
    message.body = body;
    message.maxAttempts = m_maxRetries;
    message.createdAt = nowMs();
    message.isGroupChat = isGroup;
    message.chatGuid = groupMetadata ? groupMetadata->chatGuid : std::nullopt;
    message.attachments = std::move(attachments);
    if (message.maxAttempts <= 0)
        co_return SendResult{false, id, nowMs(), QStringLiteral("Max retries exceeded")};

    m_messageQueue.append(message);
    Q_EMIT queueChanged();
    for (;;) {
        auto attempt = executeMessageSend(message);
        const AttemptResult outcome = co_await std::move(attempt);
        if (!guard.alive())
            co_return SendResult{false, id, nowMs(), kStopped};
        if (outcome) {
            m_logger.info(QStringLiteral("Message %1 sent successfully").arg(id));
            removeQueued(id);
            co_return SendResult{true, id, nowMs(), std::nullopt};
        }
        ++message.attempts;
        updateQueued(message);
        if (message.attempts >= message.maxAttempts) {
            m_logger.error(QStringLiteral("Message %1 failed permanently after %2 attempts: %3")
                               .arg(id)
                               .arg(message.attempts)
                               .arg(outcome.error()));
            removeQueued(id);
            co_return SendResult{false, id, nowMs(), outcome.error()};
        }
        m_logger.error(QStringLiteral("Message %1 failed, retrying (attempt %2)...").arg(id).arg(message.attempts));
        const int doublings = std::min(message.attempts - 1, 16);
        co_await QCoro::sleepFor(m_retryBaseDelay * (qint64(1) << doublings));
        if (!guard.alive())
            co_return SendResult{false, id, nowMs(), kStopped};
    }
}

QCoro::Task<MessageAutomation::AttemptResult> MessageAutomation::sendPart(TolkaCliWrapper::SendOptions options,
                                                                          QString unknownError)
{
    auto send = m_tolkaCli.send(options);
    const auto sent = co_await std::move(send);
    if (!sent)
        co_return fail(sent.error().description());
    if (!sent->success)
        co_return fail(MessageAutomationError::sendFailed(sent->error.value_or(unknownError)).description());
    co_return AttemptResult();
}

QCoro::Task<MessageAutomation::AttemptResult> MessageAutomation::executeMessageSend(QueuedMessage message)
{
    const Guard<MessageAutomation> guard(this);
    TolkaCliWrapper::SendOptions base;
    if (message.isGroupChat) {
        if (!message.chatGuid)
            co_return fail(MessageAutomationError::sendFailed(QStringLiteral("Group chat send requires chatGuid")).description());
        base.chatGuid = *message.chatGuid;
    } else {
        if (!isValidRecipient(message.recipient))
            co_return fail(MessageAutomationError::invalidRecipient(message.recipient).description());
        base.to = message.recipient;
    }
    base.service = QStringLiteral("imessage");

    QStringList staged;
    if (message.attachments && !message.attachments->isEmpty()) {
        auto download = downloadAttachments(message.id, *message.attachments);
        Result<QStringList, QString> downloaded = co_await std::move(download);
        if (!guard.alive())
            co_return fail(kStopped);
        if (!downloaded)
            co_return fail(downloaded.error());
        staged = downloaded.value();
    }

    if (!message.body.isEmpty()) {
        TolkaCliWrapper::SendOptions options = base;
        options.text = message.body;
        auto send = sendPart(options, QStringLiteral("Unknown error"));
        const AttemptResult sent = co_await std::move(send);
        if (!guard.alive())
            co_return fail(kStopped);
        if (!sent)
            co_return sent;
    }
    for (const QString& path : std::as_const(staged)) {
        TolkaCliWrapper::SendOptions options = base;
        options.file = path;
        auto send = sendPart(options, QStringLiteral("Attachment send failed"));
        const AttemptResult sent = co_await std::move(send);
        if (!guard.alive())
            co_return fail(kStopped);
        if (!sent)
            co_return sent;
    }
    if (!staged.isEmpty())
        removeStagedFiles(staged, QDir(m_stagingDir).filePath(message.id));
    co_return AttemptResult();
}

QCoro::Task<Result<QStringList, QString>> MessageAutomation::downloadAttachments(QString messageId,
                                                                                 QList<OutboundAttachment> attachments)
{
    const Guard<MessageAutomation> guard(this);
    const QString folder = QDir(m_stagingDir).filePath(messageId);
    // A retry starts from an empty folder: the message's files from a failed attempt go.
    QDir(folder).removeRecursively();
    if (!QDir().mkpath(folder))
        co_return fail(QString(QStringLiteral("Could not create the staging folder ") + folder));
    if (!m_network)
        m_network = std::shared_ptr<QNetworkAccessManager>(new QNetworkAccessManager, DeleteLater());
    const std::shared_ptr<QNetworkAccessManager> network = m_network;
    const std::chrono::milliseconds timeout = m_downloadTimeout;

    QStringList staged;
    for (qsizetype index = 0; index < attachments.size(); ++index) {
        const OutboundAttachment& attachment = attachments.at(index);
        const std::optional<QString> name = safeFileName(attachment.fileName);
        if (!name) {
            m_logger.error(QStringLiteral("Skipping attachment %1 of message %2: unusable file name")
                               .arg(attachment.id, messageId));
            continue;
        }
        // Only web addresses: a file: address would copy a local file of the relay's choosing.
        const QUrl url(attachment.downloadUrl, QUrl::StrictMode);
        const QString scheme = url.scheme().toLower();
        if (!url.isValid() || url.host().isEmpty()
            || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
            m_logger.error(QStringLiteral("Skipping attachment %1 of message %2: invalid download URL")
                               .arg(attachment.id, messageId));
            continue;
        }
        QNetworkRequest request(url);
        request.setTransferTimeout(int(timeout.count()));
        const std::unique_ptr<QNetworkReply, DeleteLater> reply(network->get(request));
        co_await reply.get();
        if (!guard.alive())
            co_return fail(kStopped);
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (!status.isValid())
            co_return fail(reply->errorString()); // no HTTP answer at all: a transport error
        if (status.toInt() != 200) {
            m_logger.error(QStringLiteral("Skipping attachment %1 of message %2: HTTP status %3")
                               .arg(attachment.id, messageId)
                               .arg(status.toInt()));
            continue;
        }
        if (reply->error() != QNetworkReply::NoError)
            co_return fail(reply->errorString()); // the body broke off
        const QByteArray body = reply->readAll();
        const QString fileName = *name;
        auto write = QtConcurrent::run([folder, fileName, index, body] { return writeDownload(folder, fileName, index, body); });
        const Result<QString, QString> written = co_await write;
        if (!guard.alive())
            co_return fail(kStopped);
        if (!written)
            co_return fail(written.error());
        staged.append(written.value());
    }
    co_return staged;
}

} // namespace velto
