#pragma once

#include <dbconnection.h>
#include <result.h>

namespace velto {

// Which optional message columns the database has. Older systems lack some of them; queries
// select NULL in their place (or skip what cannot be answered without them).
struct ChatDBColumns {
    bool guid = true;
    bool attributedBody = true;
    bool destinationCallerId = true;
    bool associatedMessageType = true;
    bool associatedMessageGuid = true;
    bool associatedMessageEmoji = true; // newer systems keep a custom tapback's emoji here

    // Reactions can be matched to their messages only with all three.
    bool hasReactions() const { return guid && associatedMessageType && associatedMessageGuid; }

    static Result<ChatDBColumns, db::Error> probe(db::Connection& connection);
};

} // namespace velto
