#pragma once

#include <QString>

namespace velto {

class AttachmentUploadError {
public:
    enum class Code {
        notInitialized,
        fileNotFound,   // detail: the path looked at
        fileUnreadable, // detail: the system's text
        fileTooLarge,
        invalidUrl,     // detail: the address that did not form
        transferFailed, // detail: the network's text
        rejected,       // detail: the answer's body as text
        rejectedUnreadable, // an answer whose body is not UTF-8
        cancelled,
    };
    AttachmentUploadError(Code code, QString detail = {}) : m_code(code), m_detail(std::move(detail)) {}
    Code code() const { return m_code; }
    QString description() const;

private:
    Code m_code;
    QString m_detail;
};

} // namespace velto
