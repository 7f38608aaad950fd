#include "jsonreader.h"


namespace velto {

std::optional<qint64> jsonInteger(const QJsonValue& value)
{
    if (!value.isDouble())
        return std::nullopt;
    // Read as the parser stored it: a whole number that fits comes back exact, also beyond 2^53
    // (Messages-database times are), where going through a double would move it. Anything else
    // (a fraction, out of range) gives back the default, so two different defaults expose it.
    const qint64 first = value.toInteger(0);
    if (first != value.toInteger(1))
        return std::nullopt;
    return first;
}

QJsonValue JsonReader::present(const char* key, bool required)
{
    const QJsonValue value = m_object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull()) {
        if (required)
            m_ok = false;
        return QJsonValue(QJsonValue::Undefined);
    }
    return value;
}

QString JsonReader::requiredString(const char* key)
{
    const QJsonValue v = present(key, true);
    if (!v.isUndefined() && !v.isString())
        m_ok = false;
    return v.toString();
}

double JsonReader::requiredNumber(const char* key)
{
    const QJsonValue v = present(key, true);
    if (!v.isUndefined() && !v.isDouble())
        m_ok = false;
    return v.toDouble();
}

qint64 JsonReader::requiredInteger(const char* key)
{
    const QJsonValue v = present(key, true);
    if (v.isUndefined())
        return 0;
    const auto i = jsonInteger(v);
    if (!i)
        m_ok = false;
    return i.value_or(0);
}

bool JsonReader::requiredBool(const char* key)
{
    const QJsonValue v = present(key, true);
    if (!v.isUndefined() && !v.isBool())
        m_ok = false;
    return v.toBool();
}

QJsonObject JsonReader::requiredObject(const char* key)
{
    const QJsonValue v = present(key, true);
    if (!v.isUndefined() && !v.isObject())
        m_ok = false;
    return v.toObject();
}

QJsonArray JsonReader::requiredArray(const char* key)
{
    const QJsonValue v = present(key, true);
    if (!v.isUndefined() && !v.isArray())
        m_ok = false;
    return v.toArray();
}

std::optional<QString> JsonReader::optionalString(const char* key)
{
    const QJsonValue v = present(key, false);
    if (v.isUndefined())
        return std::nullopt;
    if (!v.isString()) {
        m_ok = false;
        return std::nullopt;
    }
    return v.toString();
}

std::optional<double> JsonReader::optionalNumber(const char* key)
{
    const QJsonValue v = present(key, false);
    if (v.isUndefined())
        return std::nullopt;
    if (!v.isDouble()) {
        m_ok = false;
        return std::nullopt;
    }
    return v.toDouble();
}

std::optional<qint64> JsonReader::optionalInteger(const char* key)
{
    const QJsonValue v = present(key, false);
    if (v.isUndefined())
        return std::nullopt;
    const auto i = jsonInteger(v);
    if (!i)
        m_ok = false;
    return i;
}

std::optional<bool> JsonReader::optionalBool(const char* key)
{
    const QJsonValue v = present(key, false);
    if (v.isUndefined())
        return std::nullopt;
    if (!v.isBool()) {
        m_ok = false;
        return std::nullopt;
    }
    return v.toBool();
}

std::optional<QJsonObject> JsonReader::optionalObject(const char* key)
{
    const QJsonValue v = present(key, false);
    if (v.isUndefined())
        return std::nullopt;
    if (!v.isObject()) {
        m_ok = false;
        return std::nullopt;
    }
    return v.toObject();
}

std::optional<QJsonArray> JsonReader::optionalArray(const char* key)
{
    const QJsonValue v = present(key, false);
    if (v.isUndefined())
        return std::nullopt;
    if (!v.isArray()) {
        m_ok = false;
        return std::nullopt;
    }
    return v.toArray();
}

} // namespace velto
