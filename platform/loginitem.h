#pragma once

#include "result.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace velto {

// The login item's state as the system reports it. Only `enabled` means the application starts
// at login.
enum class LoginItemStatus { notRegistered, enabled, requiresApproval, notFound };

QString loginItemStatusName(LoginItemStatus status);

class LoginItemError {
public:
    enum class Kind { cannotWrite, cannotRemove, unsupportedPath };

    static LoginItemError cannotWrite(const QString& detail) { return LoginItemError(Kind::cannotWrite, detail); }
    static LoginItemError cannotRemove(const QString& detail) { return LoginItemError(Kind::cannotRemove, detail); }
    static LoginItemError unsupportedPath(const QString& path) { return LoginItemError(Kind::unsupportedPath, path); }

    Kind kind() const { return m_kind; }
    const QString& detail() const { return m_detail; }
    QString description() const;

private:
    LoginItemError(Kind kind, QString detail) : m_kind(kind), m_detail(std::move(detail)) {}

    Kind m_kind;
    QString m_detail;
};

// The application's own login item. Here it is an XDG autostart entry,
// HOME/.config/autostart/velto.desktop, which desktop sessions run at login:
// - no entry, or one marked Hidden=true (the autostart way of deleting it): not registered;
// - an entry the session's settings switched off (X-GNOME-Autostart-enabled=false): requires
//   approval, as the user has to switch it back on there;
// - an entry that cannot be read or whose program no longer exists: not found;
// - otherwise enabled.
// Calls are synchronous and touch only that one file.
class LoginItem {
public:
    // The running program (the application's own executable).
    static QString defaultExecutable();

    explicit LoginItem(QString homeDirectory = defaultHomeDirectory(), QString executable = defaultExecutable());

    QString entryPath() const;
    const QString& executable() const { return m_executable; }

    LoginItemStatus status() const;
    // Writes the entry (creating the folder), replacing whatever entry was there.
    Result<void, LoginItemError> registerItem() const;
    // Removes the entry; succeeds when there is none.
    Result<void, LoginItemError> unregisterItem() const;

    // The entry's text for a program; nothing when the path cannot be written in an Exec line.
    static std::optional<QByteArray> desktopEntry(const QString& executable);
    // The program an entry's Exec line starts (its first argument, unquoted), empty when the
    // line cannot be read.
    static QString programOfExecLine(const QString& execValue);

private:
    static QString defaultHomeDirectory();

    QString m_homeDirectory;
    QString m_executable;
};

} // namespace velto
