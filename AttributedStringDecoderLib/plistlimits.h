#pragma once

#include <QByteArray>

namespace velto::PlistLimits {

// Whether a property list is safe to hand to libplist: its containers nest at most a few hundred
// levels and, with shared references expanded (libplist copies every shared object), it makes a
// bounded number of nodes. libplist recurses without limit and expands shared references, so a
// few hundred bytes could otherwise take seconds and gigabytes, or overflow the stack.
enum class Verdict { acceptable, malformed, tooComplex };

// Binary framing that does not hold together is `malformed` (libplist would reject it too).
Verdict check(const QByteArray& data);

} // namespace velto::PlistLimits
