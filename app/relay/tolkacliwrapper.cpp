#include "tolkacliwrapper.h"

namespace velto {

TolkaCliWrapper::TolkaCliWrapper() = default;

TolkaCliWrapper::TolkaCliWrapper(MessageSender sender)
    : m_sender(std::move(sender))
{
}

void TolkaCliWrapper::initialize() const
{
    m_logger.info(QStringLiteral("TolkaCore MessageSender ready (linked library)"));
}

MessageSendOptions TolkaCliWrapper::toSendOptions(const SendOptions& options)
{
    MessageSendOptions mapped;
    mapped.recipient = options.to.value_or(QString());
    mapped.text = options.text.value_or(QString());
    mapped.attachmentPath = options.file.value_or(QString());
    const QString service = options.service.value_or(QString()).toLower();
    mapped.service = service == QLatin1String("sms")        ? MessageService::sms
                     : service == QLatin1String("imessage") ? MessageService::imessage
                                                            : MessageService::automatic;
    mapped.region = options.region.value_or(QStringLiteral("US"));
    mapped.chatGUID = options.chatGuid.value_or(QString());
    return mapped;
}

QCoro::Task<Result<TolkaCliWrapper::SendResult, TolkaCliError>> TolkaCliWrapper::send(SendOptions options) const
{
    if (options.to && options.chatGuid)
        co_return fail(TolkaCliError::invalidArguments(QStringLiteral("Cannot specify both 'to' and 'chatGuid'")));
    if (!options.to && !options.chatGuid)
        co_return fail(TolkaCliError::invalidArguments(QStringLiteral("Either 'to' or 'chatGuid' required")));
    if (!options.text && !options.file)
        co_return fail(TolkaCliError::invalidArguments(QStringLiteral("Either 'text' or 'file' required")));

    auto sent = m_sender.send(toSendOptions(options));
    const Result<void, TolkaError> outcome = co_await std::move(sent);
    if (!outcome)
        co_return SendResult{false, outcome.error().description()};
    co_return SendResult{true, std::nullopt};
}

} // namespace velto
