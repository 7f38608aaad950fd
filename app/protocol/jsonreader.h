#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <optional>

namespace velto {

// Strict member-by-member decoding of incoming records: a required member that is missing,
// or any member of the wrong type, makes the whole record undecodable (ok() turns false and
// stays false). An optional member that is absent or null is simply absent.
class JsonReader {
public:
    explicit JsonReader(const QJsonObject& object) : m_object(object) {}

    bool ok() const { return m_ok; }

    QString requiredString(const char* key);
    double requiredNumber(const char* key);
    qint64 requiredInteger(const char* key);
    bool requiredBool(const char* key);
    QJsonObject requiredObject(const char* key);
    QJsonArray requiredArray(const char* key);

    std::optional<QString> optionalString(const char* key);
    std::optional<double> optionalNumber(const char* key);
    std::optional<qint64> optionalInteger(const char* key);
    std::optional<bool> optionalBool(const char* key);
    std::optional<QJsonObject> optionalObject(const char* key);
    std::optional<QJsonArray> optionalArray(const char* key);

    // For records nested in arrays or objects that turned out malformed.
    void invalidate() { m_ok = false; }

private:
    QJsonValue present(const char* key, bool required);

    QJsonObject m_object;
    bool m_ok = true;
};

// A JSON number counts as an integer only when it has no fractional part and fits; the value is
// exact even beyond 2^53.
std::optional<qint64> jsonInteger(const QJsonValue& value);

} // namespace velto
