#include "envelope.h"

#include <QDateTime>
#include <QJsonDocument>

namespace velto::Envelope {

std::optional<QJsonObject> decodeObject(const QByteArray& bytes)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

std::optional<QString> decodeType(const QByteArray& bytes)
{
    const auto object = decodeObject(bytes);
    if (!object)
        return std::nullopt;
    const QJsonValue type = object->value(QLatin1String("type"));
    if (!type.isString())
        return std::nullopt;
    return type.toString();
}

QByteArray encodeTyped(const QJsonObject& message)
{
    return QJsonDocument(message).toJson(QJsonDocument::Compact);
}

QByteArray encodeDictionary(const QJsonObject& message)
{
    QByteArray json = QJsonDocument(message).toJson(QJsonDocument::Compact);
    // In compact JSON a slash can only stand inside a string (numbers, literals and
    // punctuation never contain one), so escaping every slash escapes exactly those.
    json.replace('/', QByteArrayLiteral("\\/"));
    return json;
}

double nowMilliseconds()
{
    return double(QDateTime::currentMSecsSinceEpoch());
}

} // namespace velto::Envelope
