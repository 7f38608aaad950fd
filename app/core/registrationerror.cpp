#include "registrationerror.h"

namespace velto {

RegistrationError RegistrationError::serverError(int status, const QString& body)
{
    RegistrationError error(Code::serverError, body);
    error.m_status = status;
    return error;
}

QString RegistrationError::description() const
{
    switch (m_code) {
    case Code::serverError:
        return QStringLiteral("Server error (") + QString::number(m_status) + QStringLiteral("): ") + m_detail;
    case Code::invalidUrl:
        return QStringLiteral("Invalid API server URL");
    case Code::invalidResponse:
        return QStringLiteral("Invalid response from server");
    case Code::invalidResponseFormat:
        return QStringLiteral("Server response missing required fields");
    case Code::networkFailed:
    case Code::storageFailed:
        return m_detail;
    }
    return m_detail;
}

} // namespace velto
