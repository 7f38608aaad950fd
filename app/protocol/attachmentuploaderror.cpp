#include "attachmentuploaderror.h"

namespace velto {

QString AttachmentUploadError::description() const
{
    switch (m_code) {
    case Code::notInitialized:
        return QStringLiteral("Attachment uploader not initialized");
    case Code::fileNotFound:
        return QStringLiteral("File not found: ") + m_detail;
    case Code::fileUnreadable:
    case Code::transferFailed:
        return m_detail;
    case Code::fileTooLarge:
        // The limit is fixed, so the text is too.
        return QStringLiteral("File exceeds 100MB limit");
    case Code::invalidUrl:
        return QStringLiteral("Invalid upload URL: ") + m_detail;
    case Code::rejected:
        return QStringLiteral("Upload failed: ") + m_detail;
    case Code::rejectedUnreadable:
        return QStringLiteral("Upload failed: Unknown error");
    case Code::cancelled:
        return QStringLiteral("Upload cancelled");
    }
    return {};
}

} // namespace velto
