#include "messagesendoptions.h"

namespace velto {

QString messageServiceRawValue(MessageService service)
{
    switch (service) {
    case MessageService::automatic:
        return QStringLiteral("auto");
    case MessageService::imessage:
        return QStringLiteral("imessage");
    case MessageService::sms:
        return QStringLiteral("sms");
    }
    return QString();
}

std::optional<MessageService> messageServiceFromRawValue(const QString& text)
{
    for (MessageService service : allMessageServices()) {
        if (messageServiceRawValue(service) == text)
            return service;
    }
    return std::nullopt;
}

QList<MessageService> allMessageServices()
{
    return {MessageService::automatic, MessageService::imessage, MessageService::sms};
}

} // namespace velto
