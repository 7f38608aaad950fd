#include "attributedstring.h"

namespace velto {

QVariantMap AttributedString::attributesAt(qsizetype index) const
{
    if (index < 0)
        return {};
    qsizetype end = 0;
    for (const AttributeRun& run : runs) {
        end += run.length;
        if (index < end)
            return run.attributes;
    }
    return {};
}

} // namespace velto
