#pragma once

#include <QList>
#include <QString>

#include <optional>

namespace velto {

// The service a message to a person goes over. Raw texts "auto", "imessage", "sms"; the first
// case cannot be spelled `auto` in C++.
enum class MessageService { automatic, imessage, sms };

QString messageServiceRawValue(MessageService service);
// The case with that raw text; any other text gives nothing.
std::optional<MessageService> messageServiceFromRawValue(const QString& text);
QList<MessageService> allMessageServices();

// One send: a text and/or a file, to a person or into an existing chat.
struct MessageSendOptions {
    QString recipient;      // phone number or e-mail address; may be empty for a chat send
    QString text;           // empty: no text
    QString attachmentPath; // "~" allowed; empty: no file
    MessageService service = MessageService::automatic;
    QString region;         // for phone-number parsing; empty means "US"
    QString chatIdentifier; // a chat identifier, or a handle (then it is a person send)
    QString chatGUID;
};

} // namespace velto
