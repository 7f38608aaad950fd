#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace velto::sim {

// Which Messages database layout to create: the current macOS one, or an older one without the
// columns that later releases added (bodies then live in the text column, and there are no
// tapback, reply, link-preview or audio columns).
enum class SchemaVersion { MacOS15, Legacy };

// Our own statement of the Messages database tables and indexes (triggers left out: they call
// functions that exist only inside Messages).
class ChatDbSchema {
public:
    explicit ChatDbSchema(SchemaVersion version);

    SchemaVersion version() const { return m_version; }
    QStringList tableStatements() const;
    QStringList indexStatements() const;
    // Names of the explicit indexes, in creation order.
    QStringList indexNames() const;

    // Columns the legacy layout leaves out, per table ("message", "attachment").
    static QStringList legacyDroppedColumns(QStringView table);

    static std::optional<SchemaVersion> parseVersion(QStringView name);
    static QString versionName(SchemaVersion version);

private:
    SchemaVersion m_version;
};

} // namespace velto::sim
