#include "tolkaerror.h"

namespace velto {

TolkaError TolkaError::permissionDenied(const QString& path, const db::Error& underlying)
{
    TolkaError error(Kind::permissionDenied, path);
    error.m_underlying = underlying;
    return error;
}

TolkaError TolkaError::invalidISODate(const QString& text)
{
    return TolkaError(Kind::invalidISODate, text);
}

TolkaError TolkaError::invalidService(const QString& text)
{
    return TolkaError(Kind::invalidService, text);
}

TolkaError TolkaError::invalidChatTarget(const QString& text)
{
    return TolkaError(Kind::invalidChatTarget, text);
}

TolkaError TolkaError::appleScriptFailure(const QString& text)
{
    return TolkaError(Kind::appleScriptFailure, text);
}

TolkaError TolkaError::invalidReaction(const QString& text)
{
    return TolkaError(Kind::invalidReaction, text);
}

TolkaError TolkaError::chatNotFound(qint64 chatID)
{
    TolkaError error(Kind::chatNotFound, QString());
    error.m_chatID = chatID;
    return error;
}

TolkaError TolkaError::database(const db::Error& underlying)
{
    TolkaError error(Kind::database, QString());
    error.m_underlying = underlying;
    return error;
}

TolkaError TolkaError::fileOperation(const QString& text)
{
    return TolkaError(Kind::fileOperation, text);
}

TolkaError TolkaError::processLaunch(const QString& text)
{
    return TolkaError(Kind::processLaunch, text);
}

QString TolkaError::description() const
{
    switch (m_kind) {
    case Kind::permissionDenied:
        return m_underlying.description()
            + QStringLiteral("\n\n\u26A0\uFE0F  Permission Error: Cannot access Messages database\n\n"
                             "The Messages database at ")
            + m_value
            + QStringLiteral(" requires Full Disk Access permission.\n\n"
                             "To fix:\n"
                             "1. Open System Settings \u2192 Privacy & Security \u2192 Full Disk Access\n"
                             "2. Add your terminal application (Terminal.app, iTerm, etc.)\n"
                             "3. Restart your terminal\n"
                             "4. Try again\n\n"
                             "Note: This is required because macOS protects the Messages database.\n"
                             "More help: TolkaCore/README.md, section \"Permissions\".\n");
    case Kind::invalidISODate:
        return QStringLiteral("Invalid ISO8601 date: ") + m_value;
    case Kind::invalidService:
        return QStringLiteral("Invalid service: ") + m_value;
    case Kind::invalidChatTarget:
        return QStringLiteral("Invalid chat target: ") + m_value;
    case Kind::appleScriptFailure:
        return QStringLiteral("AppleScript failed: ") + m_value;
    case Kind::invalidReaction:
        return QStringLiteral("Invalid reaction: ") + m_value
            + QStringLiteral("\n\nValid reactions: love, like, dislike, laugh, emphasis, question\n"
                             "Or use an emoji for custom reactions (e.g., \U0001F389)");
    case Kind::chatNotFound:
        return QStringLiteral("Chat not found: ") + QString::number(m_chatID);
    case Kind::database:
        return m_underlying.description();
    case Kind::fileOperation:
    case Kind::processLaunch:
        return m_value;
    }
    return QString();
}

} // namespace velto
