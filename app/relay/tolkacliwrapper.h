#pragma once

#include <logger.h>
#include <messagesender.h>
#include <result.h>

#include <QCoroTask>
#include <QString>

#include <optional>

namespace velto {

// Arguments the wrapper cannot act on; the description is the text itself.
class TolkaCliError {
public:
    static TolkaCliError invalidArguments(const QString& text) { return TolkaCliError(text); }
    QString description() const { return m_text; }

private:
    explicit TolkaCliError(QString text) : m_text(std::move(text)) {}
    QString m_text;
};

// A thin layer over the library's MessageSender: checks one call's arguments, maps them to the
// sender's options and turns the sender's error into a result with its text.
//
// macOS can say up front whether this program may send Apple events to Messages; Linux has no
// such query, so no check is made here: a refusal surfaces as the send script's own error.
class TolkaCliWrapper {
public:
    // One call's arguments; presence is what counts (an empty text is present).
    struct SendOptions {
        std::optional<QString> to;       // the person
        std::optional<QString> chatGuid; // the chat
        std::optional<QString> text;
        std::optional<QString> file;     // a path
        std::optional<QString> service;  // "sms", "imessage", anything else: auto
        std::optional<QString> region;   // absent: "US"
    };

    struct SendResult {
        bool success = false;
        std::optional<QString> error;
    };

    TolkaCliWrapper();
    explicit TolkaCliWrapper(MessageSender sender);
    TolkaCliWrapper(const TolkaCliWrapper&) = delete;
    TolkaCliWrapper& operator=(const TolkaCliWrapper&) = delete;

    void initialize() const;

    // Fails only for unusable arguments; a failed send is a result with success false. Touches
    // nothing of the wrapper after its first wait, so the wrapper may go while a send runs.
    QCoro::Task<Result<SendResult, TolkaCliError>> send(SendOptions options) const;

    // The sender's options for a call (after the argument checks).
    static MessageSendOptions toSendOptions(const SendOptions& options);

private:
    Logger m_logger{"TolkaCli"};
    MessageSender m_sender;
};

} // namespace velto
