#pragma once

#include <QString>

namespace velto {

class AccountDetectorError {
public:
    enum class Kind {
        databaseNotFound,
        permissionDenied,
        queryFailed,
        imcoreUnavailable,
        noActiveAccount,
        noAliases,
        launchFailed, // the SQLite shell could not be started; carries the system's text
    };

    static AccountDetectorError databaseNotFound() { return {Kind::databaseNotFound, {}}; }
    static AccountDetectorError permissionDenied() { return {Kind::permissionDenied, {}}; }
    static AccountDetectorError queryFailed(const QString& message) { return {Kind::queryFailed, message}; }
    static AccountDetectorError imcoreUnavailable() { return {Kind::imcoreUnavailable, {}}; }
    static AccountDetectorError noActiveAccount() { return {Kind::noActiveAccount, {}}; }
    static AccountDetectorError noAliases() { return {Kind::noAliases, {}}; }
    static AccountDetectorError launchFailed(const QString& text) { return {Kind::launchFailed, text}; }

    Kind kind() const { return m_kind; }
    const QString& message() const { return m_message; }
    QString description() const;

    bool operator==(const AccountDetectorError&) const = default;

private:
    AccountDetectorError(Kind kind, QString message) : m_kind(kind), m_message(std::move(message)) {}

    Kind m_kind;
    QString m_message;
};

} // namespace velto
