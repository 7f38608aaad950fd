#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>
#include <variant>

namespace velto::sim {

// A message body as Messages stores it in message.attributedBody: an attributed string written
// by the legacy archiver. The text is a '+' byte run of UTF-8; attribute runs follow as
// (dictionary number, length in UTF-16 units), each new dictionary written after its run.
class AttributedBody {
public:
    struct Number {
        QByteArray type; // "i" or "q"
        qint64 value;
        bool operator==(const Number &) const = default;
    };
    using Value = std::variant<QString, Number>;
    struct Attribute {
        QString key;
        Value value;
        bool operator==(const Attribute &) const = default;
    };
    struct Run {
        qint64 length;
        QList<Attribute> attributes;
    };
    // Messages writes both root classes; the text is then an NSMutableString or an NSString.
    enum class Root { Mutable, Immutable };

    AttributedBody(QString text, QList<Run> runs, Root root);

    QByteArray encode() const;

    // One run marked as message part 0, as Messages writes a typed text; the empty text has no run.
    static AttributedBody plainText(const QString &text, Root root = Root::Mutable);
    // The attachment placeholder U+FFFC linked to its transfer, then the caption as part 1.
    static AttributedBody attachment(const QString &transferGuid, const QString &caption);
    // An audio message: the placeholder, its transfer, and the transcription when there is one.
    static AttributedBody audioMessage(const QString &transferGuid, const QString &transcription);

    // The text of a body in this layout (the first '+' run), or nothing when the blob has none.
    static std::optional<QString> readText(const QByteArray &blob);

    static const QString messagePartKey;
    static const QString fileTransferGuidKey;
    static const QString writingDirectionKey;
    static const QString audioTranscriptionKey;
    static const QChar attachmentPlaceholder;

private:
    QString m_text;
    QList<Run> m_runs;
    Root m_root;
};

} // namespace velto::sim
