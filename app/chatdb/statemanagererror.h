#pragma once

#include <QString>

namespace velto {

// Why saving the read position failed.
class StateManagerError {
public:
    enum class Kind { invalidRowId, fileSystem };

    static StateManagerError invalidRowId(qint64 rowId) { return StateManagerError(Kind::invalidRowId, rowId, {}); }
    // A step on disk failed; `text` is the system's explanation.
    static StateManagerError fileSystem(const QString& text) { return StateManagerError(Kind::fileSystem, 0, text); }

    Kind kind() const { return m_kind; }
    qint64 rowId() const { return m_rowId; }
    QString description() const;

    bool operator==(const StateManagerError&) const = default;

private:
    StateManagerError(Kind kind, qint64 rowId, QString text) : m_kind(kind), m_rowId(rowId), m_text(std::move(text)) {}

    Kind m_kind;
    qint64 m_rowId;
    QString m_text;
};

} // namespace velto
