#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>

namespace velto::Envelope {

// The "type" of an incoming message: the bytes must be a JSON object with a string "type".
std::optional<QString> decodeType(const QByteArray& bytes);

// Parses a complete incoming message; none when it is not a JSON object.
std::optional<QJsonObject> decodeObject(const QByteArray& bytes);

// Typed messages (relayEncoder): compact, forward slashes as they are.
QByteArray encodeTyped(const QJsonObject& message);

// Dictionary messages: compact, forward slashes escaped as "\/" the way the general
// serialiser on the relay's home platform writes them; the server accepts both.
QByteArray encodeDictionary(const QJsonObject& message);

// Pieces for writing a dictionary message straight into bytes, byte for byte as
// encodeDictionary writes the same values: `escapeSlashes` turns compact JSON into its
// dictionary form; `appendString` writes a quoted, escaped string; `appendNumber` a double.
QByteArray escapeSlashes(const QByteArray& json);
void appendString(QByteArray& out, QStringView text);
void appendNumber(QByteArray& out, double value);

// Milliseconds since the Unix epoch as the double the wire format uses.
double nowMilliseconds();

} // namespace velto::Envelope
