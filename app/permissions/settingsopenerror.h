#pragma once

#include <QString>

namespace velto {

// Why a permission's settings page could not be shown.
class SettingsOpenError {
public:
    enum class Kind { unknownTarget, noDesktop, launchFailed, openerFailed };

    static SettingsOpenError unknownTarget(const QString& target) { return {Kind::unknownTarget, target}; }
    // `address`: what would have been opened, so the user can go there by hand.
    static SettingsOpenError noDesktop(const QString& address) { return {Kind::noDesktop, address}; }
    static SettingsOpenError launchFailed(const QString& detail) { return {Kind::launchFailed, detail}; }
    static SettingsOpenError openerFailed(const QString& detail) { return {Kind::openerFailed, detail}; }

    Kind kind() const { return m_kind; }
    const QString& detail() const { return m_detail; }
    QString description() const;

private:
    SettingsOpenError(Kind kind, QString detail) : m_kind(kind), m_detail(std::move(detail)) {}

    Kind m_kind;
    QString m_detail;
};

} // namespace velto
