#pragma once

#include <QString>

namespace velto {

// Why a registration request failed. Besides the server's and the answer's faults it carries
// the two outside failures the caller sees unchanged: the network's and the credentials file's.
class RegistrationError {
public:
    enum class Code {
        serverError,           // status and body: the server refused
        invalidUrl,            // the server URL does not form an HTTP address
        invalidResponse,       // no HTTP answer
        invalidResponseFormat, // a success answer without relayId, tenantId and apiKey
        networkFailed,         // detail: the network's text
        storageFailed,         // detail: the file system's text
    };

    RegistrationError(Code code, QString detail = {}) : m_code(code), m_detail(std::move(detail)) {}
    static RegistrationError serverError(int status, const QString& body);

    Code code() const { return m_code; }
    int status() const { return m_status; } // serverError only
    QString body() const { return m_code == Code::serverError ? m_detail : QString(); }

    // "Server error (<status>): <body>", the fixed texts, or the outside failure's text.
    QString description() const;

    bool operator==(const RegistrationError&) const = default;

private:
    Code m_code;
    QString m_detail;
    int m_status = 0;
};

} // namespace velto
