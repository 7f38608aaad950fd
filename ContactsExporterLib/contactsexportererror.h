#pragma once

#include <QString>

namespace velto {

class ContactsExporterError {
public:
    enum class Kind { fetchFailed, permissionDenied };

    static ContactsExporterError fetchFailed(const QString& description)
    {
        return ContactsExporterError(Kind::fetchFailed, description);
    }
    static ContactsExporterError permissionDenied() { return ContactsExporterError(Kind::permissionDenied, {}); }

    Kind kind() const { return m_kind; }
    QString description() const;

private:
    ContactsExporterError(Kind kind, QString detail) : m_kind(kind), m_detail(std::move(detail)) {}

    Kind m_kind;
    QString m_detail;
};

} // namespace velto
