#include "getlocaluserlib.h"

#include "platform.h"

namespace velto::GetLocalUserLib {

std::optional<QString> displayName(const MeContactName& me)
{
    if (!me.nickname.isEmpty())
        return me.nickname;
    if (me.givenName.isEmpty() && me.familyName.isEmpty())
        return std::nullopt;
    // Only blanks are trimmed here, not other white space.
    QString joined = me.givenName + u' ' + me.familyName;
    qsizetype start = 0;
    qsizetype end = joined.size();
    while (start < end && joined[start] == u' ')
        ++start;
    while (end > start && joined[end - 1] == u' ')
        --end;
    // A name made only of blanks is no name.
    if (start == end)
        return std::nullopt;
    return joined.sliced(start, end - start);
}

std::optional<QString> getLocalUserDisplayName()
{
    // The password database keeps one full-name field, which stands in for the given name.
    return displayName({Platform::userFullName(), QString(), QString()});
}

} // namespace velto::GetLocalUserLib
