#pragma once

#include "messageattachment.h"
#include "attachmentuploaderror.h"
#include "attachmentuploadresult.h"
#include "httpexchange.h"
#include "logger.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <QCoroTask>

#include <chrono>
#include <optional>


namespace velto {

// Sends attachment files to the server, one multipart POST per file, so that message events can
// refer to stored copies. Lives on the relay thread with its network manager; files are opened
// on the thread pool and streamed from disk while they are sent. Holds no per-upload state
// besides the replies in flight, so several callers may upload at once.
class AttachmentUploader : public QObject {
    Q_OBJECT
public:
    static constexpr quint64 defaultMaxFileSize = 104857600; // 100 MiB
    static constexpr std::chrono::milliseconds defaultTimeout{60000};

    // `timeout` ends an upload after that long without any progress either way.
    explicit AttachmentUploader(QObject* parent = nullptr, std::chrono::milliseconds timeout = defaultTimeout);
    // Ends every upload in flight; each caller gets the failure "Upload cancelled".
    ~AttachmentUploader() override;

    // `apiServerUrl` is the server's WebSocket URL; uploads go to its HTTP form. Replaces
    // earlier values.
    void initialize(const QString& apiServerUrl, const std::optional<QString>& apiKey);

    // Never fails by exception: every failure is a result with its text.
    QCoro::Task<UploadResult> uploadAttachment(MessageAttachment attachment, QString receivedMessageId);
    // One record per input, in input order; uploads run one after another and a failure does
    // not stop the rest.
    QCoro::Task<QList<ReceivedAttachment>> uploadAttachments(QList<MessageAttachment> attachments,
                                                             QString receivedMessageId);

    quint64 maxFileSize() const { return m_maxFileSize; }
    const std::optional<QString>& apiServerUrl() const { return m_apiServerUrl; }
    const std::optional<QString>& apiKey() const { return m_apiKey; }

    // `filename` with a leading "~" (alone or before "/") replaced by the home directory.
    static QString expandedPath(const QString& filename);
    static ReceivedAttachment receivedAttachment(const MessageAttachment& attachment, const UploadResult& result);

private:
    static UploadResult answer(const HttpReplyOutcome& outcome);

    const Logger m_logger{"AttachmentUploader"};
    const quint64 m_maxFileSize = defaultMaxFileSize;
    std::optional<QString> m_apiServerUrl;
    std::optional<QString> m_apiKey;
    std::chrono::milliseconds m_timeout;
    HttpExchange* m_http;
};

} // namespace velto
