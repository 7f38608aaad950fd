#include "loginitem.h"

#include "filestore.h"
#include "platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace velto {

namespace {

const QLatin1String desktopEntryGroup("[Desktop Entry]");

// Read by the user's own session only, like any other autostart entry.
constexpr int entryMode = 0644;

// Characters that oblige an Exec argument of a desktop entry to be quoted.
bool isReserved(QChar c)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    return reserved.contains(c);
}

// One Exec argument as desktop entries spell it: quoted when needed, with the quoting
// escapes, then the string-value escape of backslashes, and literal percent signs doubled.
QString execArgument(const QString& argument)
{
    QString quoted = argument;
    if (std::any_of(argument.cbegin(), argument.cend(), isReserved)) {
        quoted.clear();
        quoted += QLatin1Char('"');
        for (const QChar c : argument) {
            if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
                quoted += QLatin1Char('\\');
            quoted += c;
        }
        quoted += QLatin1Char('"');
    }
    quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    quoted.replace(QLatin1Char('%'), QStringLiteral("%%"));
    return quoted;
}

// The string-value escapes of a desktop entry: \s \n \t \r \\.
QString unescapeValue(const QString& value)
{
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c != QLatin1Char('\\') || i + 1 == value.size()) {
            out += c;
            continue;
        }
        const QChar next = value.at(++i);
        if (next == QLatin1Char('s'))
            out += QLatin1Char(' ');
        else if (next == QLatin1Char('n'))
            out += QLatin1Char('\n');
        else if (next == QLatin1Char('t'))
            out += QLatin1Char('\t');
        else if (next == QLatin1Char('r'))
            out += QLatin1Char('\r');
        else if (next == QLatin1Char('\\'))
            out += QLatin1Char('\\');
        else
            out += QLatin1Char('\\') + next; // not a value escape: left for the Exec quoting rules
    }
    return out;
}

struct ParsedEntry {
    bool hasGroup = false;
    QString exec;
    bool hidden = false;
    bool switchedOff = false;
};

ParsedEntry parseEntry(const QByteArray& data)
{
    ParsedEntry entry;
    bool inGroup = false;
    for (const QByteArray& rawLine : data.split('\n')) {
        const QString line = QString::fromUtf8(rawLine).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            inGroup = line == desktopEntryGroup;
            entry.hasGroup = entry.hasGroup || inGroup;
            continue;
        }
        if (!inGroup)
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0)
            continue;
        const QString key = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        if (key == QLatin1String("Exec"))
            entry.exec = value;
        else if (key == QLatin1String("Hidden"))
            entry.hidden = value == QLatin1String("true");
        else if (key == QLatin1String("X-GNOME-Autostart-enabled"))
            entry.switchedOff = value == QLatin1String("false");
    }
    return entry;
}

bool isRunnable(const QString& program)
{
    if (program.isEmpty())
        return false;
    if (!program.contains(QLatin1Char('/')))
        return !QStandardPaths::findExecutable(program).isEmpty();
    const QFileInfo info(program);
    return info.isFile() && info.isExecutable();
}

} // namespace

QString loginItemStatusName(LoginItemStatus status)
{
    switch (status) {
    case LoginItemStatus::notRegistered:
        return QStringLiteral("not registered");
    case LoginItemStatus::enabled:
        return QStringLiteral("enabled");
    case LoginItemStatus::requiresApproval:
        return QStringLiteral("requires approval");
    case LoginItemStatus::notFound:
        return QStringLiteral("not found");
    }
    return {};
}

QString LoginItemError::description() const
{
    switch (m_kind) {
    case Kind::cannotWrite:
        return QStringLiteral("Could not write the login item: ") + m_detail;
    case Kind::cannotRemove:
        return QStringLiteral("Could not remove the login item: ") + m_detail;
    case Kind::unsupportedPath:
        return QStringLiteral("The application's path cannot be used in a login item: ") + m_detail;
    }
    return {};
}

QString LoginItem::defaultExecutable()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationFilePath();
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}

QString LoginItem::defaultHomeDirectory()
{
    return Platform::homeDirectory();
}

LoginItem::LoginItem(QString homeDirectory, QString executable)
    : m_homeDirectory(std::move(homeDirectory))
    , m_executable(std::move(executable))
{
}

QString LoginItem::entryPath() const
{
    return QDir(m_homeDirectory).filePath(QStringLiteral(".config/autostart/velto.desktop"));
}

std::optional<QByteArray> LoginItem::desktopEntry(const QString& executable)
{
    // A line break cannot be carried by an Exec line; a relative path would depend on the
    // session's working directory.
    if (!QDir::isAbsolutePath(executable) || executable.contains(QLatin1Char('\n'))
        || executable.contains(QLatin1Char('\r')))
        return std::nullopt;
    const QString text = QStringLiteral("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=Velto\n"
                                        "Comment=Starts the Velto relay at login\n"
                                        "Exec=")
                         + execArgument(executable)
                         + QStringLiteral("\n"
                                          "Terminal=false\n"
                                          "X-GNOME-Autostart-enabled=true\n");
    return text.toUtf8();
}

QString LoginItem::programOfExecLine(const QString& execValue)
{
    const QString line = unescapeValue(execValue);
    QString program;
    if (line.startsWith(QLatin1Char('"'))) {
        qsizetype i = 1;
        for (; i < line.size(); ++i) {
            const QChar c = line.at(i);
            if (c == QLatin1Char('"'))
                break;
            if (c == QLatin1Char('\\') && i + 1 < line.size())
                program += line.at(++i);
            else
                program += c;
        }
        if (i == line.size())
            return {}; // no closing quote
    } else {
        program = line.section(QLatin1Char(' '), 0, 0, QString::SectionSkipEmpty);
    }
    program.replace(QStringLiteral("%%"), QStringLiteral("%"));
    return program;
}

LoginItemStatus LoginItem::status() const
{
    const QString path = entryPath();
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return LoginItemStatus::notRegistered;
    QFile file(path);
    if (!info.isFile() || !file.open(QIODevice::ReadOnly))
        return LoginItemStatus::notFound;
    const ParsedEntry entry = parseEntry(file.readAll());
    if (!entry.hasGroup)
        return LoginItemStatus::notFound;
    if (entry.hidden)
        return LoginItemStatus::notRegistered;
    if (entry.switchedOff)
        return LoginItemStatus::requiresApproval;
    return isRunnable(programOfExecLine(entry.exec)) ? LoginItemStatus::enabled : LoginItemStatus::notFound;
}

Result<void, LoginItemError> LoginItem::registerItem() const
{
    const std::optional<QByteArray> entry = desktopEntry(m_executable);
    if (!entry)
        return fail(LoginItemError::unsupportedPath(m_executable));
    const QString path = entryPath();
    if (auto made = FileStore::ensureDirectory(QFileInfo(path).absolutePath()); !made)
        return fail(LoginItemError::cannotWrite(made.error()));
    if (auto written = FileStore::writeAtomically(path, *entry, entryMode); !written)
        return fail(LoginItemError::cannotWrite(written.error()));
    return {};
}

Result<void, LoginItemError> LoginItem::unregisterItem() const
{
    const QString path = entryPath();
    if (::unlink(QFile::encodeName(path).constData()) == 0)
        return {};
    const int error = errno;
    if (error == ENOENT)
        return {};
    return fail(LoginItemError::cannotRemove(path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(error))));
}

} // namespace velto
