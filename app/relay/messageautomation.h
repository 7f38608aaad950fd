#pragma once

#include "tolkacliwrapper.h"

#include <logger.h>
#include <result.h>

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <QCoroTask>

#include <chrono>
#include <memory>
#include <optional>

class QNetworkAccessManager;

namespace velto {

// One file of a send request, fetched from the server before it is sent.
struct OutboundAttachment {
    QString id;
    QString fileName;
    QString originalFileName;
    qint64 fileSize = 0;
    QString mimeType;
    QString downloadUrl;
};

// The group part of a send request.
struct GroupMetadata {
    bool isGroupChat = false;
    std::optional<QString> groupId;
    std::optional<QString> chatGuid;
    std::optional<QString> groupDisplayName;
    std::optional<QStringList> groupMembers;
    std::optional<int> chatStyle;
};

// One message being sent.
struct QueuedMessage {
    QString id;
    QString recipient;
    QString body;
    int attempts = 0;
    int maxAttempts = 0;
    quint64 createdAt = 0; // milliseconds since 1970
    bool isGroupChat = false;
    std::optional<QString> chatGuid;
    std::optional<QList<OutboundAttachment>> attachments;
};

// The outcome of one send request.
struct SendResult {
    bool success = false;
    QString messageId;
    quint64 timestamp = 0; // milliseconds since 1970, at completion
    std::optional<QString> error;
};

class MessageAutomationError {
public:
    enum class Kind { invalidRecipient, sendFailed };

    static MessageAutomationError invalidRecipient(const QString& text) { return {Kind::invalidRecipient, text}; }
    static MessageAutomationError sendFailed(const QString& text) { return {Kind::sendFailed, text}; }

    Kind kind() const { return m_kind; }
    const QString& value() const { return m_value; }
    QString description() const;

private:
    MessageAutomationError(Kind kind, QString value) : m_kind(kind), m_value(std::move(value)) {}
    Kind m_kind;
    QString m_value;
};

// Carries out the server's send requests: validates the recipient, downloads the attachments
// into a staging folder, sends the text and then each file through the library's sender, and
// retries a failed attempt with growing waits. Lives on the relay thread.
class MessageAutomation : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds defaultRetryBaseDelay{1000};
    // A download that stalls this long (no bytes moving) ends the attempt.
    static constexpr std::chrono::milliseconds defaultDownloadTimeout{60000};

    // maxRetries is the number of attempts per message. The wait before a retry is
    // retryBaseDelay × 2^(failed attempts − 1): 1 s, 2 s, 4 s … with the default.
    explicit MessageAutomation(int maxRetries, std::chrono::milliseconds retryBaseDelay = defaultRetryBaseDelay,
                               std::chrono::milliseconds downloadTimeout = defaultDownloadTimeout,
                               QObject* parent = nullptr);
    ~MessageAutomation() override;

    // Logs readiness and creates the staging folder (a failure is ignored: downloads report it).
    void initialize();

    // Sends one request; never fails, the result says how it went. Concurrent calls run
    // concurrently. The automation may be destroyed while a send is under way; the send then
    // ends with success false at its next step.
    QCoro::Task<SendResult> sendMessage(QString recipient, QString body, std::optional<GroupMetadata> groupMetadata,
                                        std::optional<QList<OutboundAttachment>> attachments);

    // The messages being sent right now, oldest first.
    const QList<QueuedMessage>& messageQueue() const { return m_messageQueue; }
    int queueLength() const { return int(m_messageQueue.size()); }
    bool isProcessing() const { return !m_messageQueue.isEmpty(); }

    int maxRetries() const { return m_maxRetries; }
    QString stagingDir() const { return m_stagingDir; }

    // Home + "Library/Messages/Attachments/tolka-relay".
    static QString defaultStagingDirectory();
    // The recipient forms a direct send accepts: a phone number, an e-mail address or a UUID.
    static bool isValidRecipient(const QString& recipient);
    // The name a download is stored under: the last path component of the server's file name;
    // nothing for an empty, "." or ".." name, which is skipped.
    static std::optional<QString> safeFileName(const QString& fileName);

Q_SIGNALS:
    // The queue (and with it isProcessing) changed.
    void queueChanged();

private:
    // An attempt's failure: the description of its error.
    using AttemptResult = Result<void, QString>;

    QCoro::Task<AttemptResult> executeMessageSend(QueuedMessage message);
    // One script run: the text or one file; `unknownError` when a failure gives no reason.
    QCoro::Task<AttemptResult> sendPart(TolkaCliWrapper::SendOptions options, QString unknownError);
    QCoro::Task<Result<QStringList, QString>> downloadAttachments(QString messageId,
                                                                  QList<OutboundAttachment> attachments);
    void updateQueued(const QueuedMessage& message);
    void removeQueued(const QString& id);

    Logger m_logger{"MessageAutomation"};
    TolkaCliWrapper m_tolkaCli;
    QList<QueuedMessage> m_messageQueue;
    int m_maxRetries;
    QString m_stagingDir;
    std::chrono::milliseconds m_retryBaseDelay;
    std::chrono::milliseconds m_downloadTimeout;
    // Shared with running downloads, so that a reply outlives the automation and its coroutine
    // can resume (and see that the automation is gone) instead of waiting forever.
    std::shared_ptr<QNetworkAccessManager> m_network;
};

} // namespace velto
