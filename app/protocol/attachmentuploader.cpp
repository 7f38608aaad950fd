#include "attachmentuploader.h"

#include "attachmentuploadbody.h"
#include "configuration.h"
#include "platform.h"
#include "result.h"
#include "task.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStringDecoder>
#include <QThread>
#include <QUuid>
#include <QtConcurrent>

#include <QCoroFuture>
#include <QCoroNetworkReply>

namespace velto {

namespace {

const QString uploadPath = QStringLiteral("/api/v1/relay/attachments/upload");

UploadResult failure(const AttachmentUploadError& error)
{
    UploadResult result;
    result.error = error.description();
    return result;
}

// Runs on the thread pool: checks the file and opens it, so that no file-system call that may
// block runs on the relay thread. The body is handed to `home`, the thread that will send it.
Result<AttachmentUploadBody*, AttachmentUploadError> openBody(const QString& path, const QByteArray& boundary,
                                                              const QString& fileName, const QString& mimeType,
                                                              const QString& messageId, quint64 maxFileSize,
                                                              QThread* home)
{
    using Code = AttachmentUploadError::Code;
    if (!QFileInfo::exists(path))
        return fail(AttachmentUploadError(Code::fileNotFound, path));
    auto body = std::make_unique<AttachmentUploadBody>(path, boundary, fileName, mimeType, messageId);
    if (!body->open())
        return fail(AttachmentUploadError(Code::fileUnreadable, body->errorString()));
    if (quint64(body->fileSize()) > maxFileSize)
        return fail(AttachmentUploadError(Code::fileTooLarge));
    body->moveToThread(home);
    return body.release();
}

std::optional<QString> textMember(const QJsonObject& object, QLatin1String key)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? std::optional(value.toString()) : std::nullopt;
}

} // namespace


AttachmentUploader::AttachmentUploader(QObject* parent, std::chrono::milliseconds timeout)
    : QObject(parent)
    , m_timeout(timeout)
    , m_http(new HttpExchange(this))
{
}

AttachmentUploader::~AttachmentUploader() = default;

void AttachmentUploader::initialize(const QString& apiServerUrl, const std::optional<QString>& apiKey)
{
    m_apiServerUrl = Configuration::httpBaseUrl(apiServerUrl);
    m_apiKey = apiKey;
    m_logger.info(QStringLiteral("Initialized with API server: %1").arg(*m_apiServerUrl));
}

QString AttachmentUploader::expandedPath(const QString& filename)
{
    if (filename == QLatin1String("~") || filename.startsWith(QLatin1String("~/")))
        return Platform::homeDirectory() + filename.mid(1);
    return filename;
}

ReceivedAttachment AttachmentUploader::receivedAttachment(const MessageAttachment& attachment,
                                                          const UploadResult& result)
{
    ReceivedAttachment received;
    received.missing = !result.success;
    received.mimeType = attachment.mimeType;
    received.uti = attachment.uti;
    received.filename = attachment.filename;
    received.originalPath = expandedPath(attachment.filename);
    received.totalBytes = attachment.totalBytes;
    received.isSticker = attachment.isSticker;
    received.transferName = attachment.transferName;
    received.storagePath = result.storagePath;
    received.storageUrl = result.storageUrl;
    return received;
}

QCoro::Task<UploadResult> AttachmentUploader::uploadAttachment(MessageAttachment attachment,
                                                               QString receivedMessageId)
{
    using Code = AttachmentUploadError::Code;
    if (!m_apiServerUrl)
        co_return failure(Code::notInitialized);

    const QString path = expandedPath(attachment.filename);
    const QString fileName = attachment.transferName.isEmpty() ? QFileInfo(path).fileName() : attachment.transferName;
    const QByteArray boundary = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toLatin1();

    const Guard guard(this);
    auto opening = QtConcurrent::run(openBody, path, boundary, fileName, attachment.mimeType, receivedMessageId,
                                     m_maxFileSize, thread());
    Result<AttachmentUploadBody*, AttachmentUploadError> opened = co_await opening;
    if (!opened)
        co_return failure(opened.error());
    std::unique_ptr<AttachmentUploadBody> body(*opened);
    if (!guard.alive())
        co_return failure(Code::cancelled);

    const QString address = *m_apiServerUrl + uploadPath;
    const QUrl url(address, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()
        || (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")))
        co_return failure(AttachmentUploadError(Code::invalidUrl, address));

    QNetworkRequest request(url);
    request.setTransferTimeout(int(m_timeout.count()));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("multipart/form-data; boundary=" + boundary));
    request.setHeader(QNetworkRequest::ContentLengthHeader, body->size());
    if (m_apiKey)
        request.setRawHeader("X-API-Key", m_apiKey->toUtf8());
    // The body comes from the file as it is sent, never copied whole into memory.
    request.setAttribute(QNetworkRequest::DoNotBufferUploadDataAttribute, true);
    // A redirect would carry the API key and the file to another address.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);

    QNetworkReply* reply = m_http->network()->post(request, body.get());
    body.release()->setParent(reply); // read until the reply finishes, deleted with it
    QCoro::Task<HttpReplyOutcome> finishing = m_http->finish(reply);
    const HttpReplyOutcome outcome = co_await finishing;
    if (!guard.alive())
        co_return failure(Code::cancelled);
    co_return answer(outcome);
}

UploadResult AttachmentUploader::answer(const HttpReplyOutcome& outcome)
{
    using Code = AttachmentUploadError::Code;
    if (!outcome.status || (*outcome.status == 200 && outcome.error != QNetworkReply::NoError))
        return failure(AttachmentUploadError(Code::transferFailed, outcome.errorString));

    if (*outcome.status != 200) {
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = decoder.decode(outcome.body);
        if (decoder.hasError())
            return failure(Code::rejectedUnreadable);
        return failure(AttachmentUploadError(Code::rejected, text));
    }

    UploadResult result;
    result.success = true;
    const QJsonDocument document = QJsonDocument::fromJson(outcome.body);
    if (document.isObject()) {
        const QJsonObject object = document.object();
        result.storagePath = textMember(object, QLatin1String("storage_path"));
        result.storageUrl = textMember(object, QLatin1String("storage_url"));
    }
    return result;
}

QCoro::Task<QList<ReceivedAttachment>> AttachmentUploader::uploadAttachments(QList<MessageAttachment> attachments,
                                                                             QString receivedMessageId)
{
    const Guard guard(this);
    QList<ReceivedAttachment> received;
    received.reserve(attachments.size());
    for (const MessageAttachment& attachment : attachments) {
        UploadResult result = failure(AttachmentUploadError::Code::cancelled);
        if (guard.alive()) {
            auto upload = uploadAttachment(attachment, receivedMessageId);
            result = co_await upload;
        }
        received.append(receivedAttachment(attachment, result));
    }
    co_return received;
}

} // namespace velto
