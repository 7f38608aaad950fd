#pragma once

#include <QString>

namespace velto::db {

// An SQLite failure carried as a value: the extended result code and SQLite's own message.
struct Error {
    int code = 0;
    QString message;

    // "<message> (<code>)", the form callers match against and show to users.
    QString description() const;
};

} // namespace velto::db
