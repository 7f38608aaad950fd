#include "chatdbcolumns.h"

#include <QSet>

namespace velto {

Result<ChatDBColumns, db::Error> ChatDBColumns::probe(db::Connection& connection)
{
    auto statement = connection.prepare(QStringLiteral("PRAGMA table_info(message)"));
    if (!statement)
        return fail(statement.error());
    QSet<QString> names;
    for (;;) {
        auto step = statement->step();
        if (!step)
            return fail(step.error());
        if (!*step)
            break;
        names.insert(statement->text(1).toLower());
    }
    ChatDBColumns columns;
    // No message table at all: leave the full set, so queries fail with the database's own error.
    if (names.isEmpty())
        return columns;
    columns.guid = names.contains(QStringLiteral("guid"));
    columns.attributedBody = names.contains(QStringLiteral("attributedbody"));
    columns.destinationCallerId = names.contains(QStringLiteral("destination_caller_id"));
    columns.associatedMessageType = names.contains(QStringLiteral("associated_message_type"));
    columns.associatedMessageGuid = names.contains(QStringLiteral("associated_message_guid"));
    columns.associatedMessageEmoji = names.contains(QStringLiteral("associated_message_emoji"));
    return columns;
}

} // namespace velto
