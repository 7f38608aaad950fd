#pragma once

#include "chatdbschema.h"
#include "filloptions.h"
#include "result.h"
#include "simulatorerror.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

namespace velto::sim {

// A message arriving from someone: into their one-to-one chat (created when missing), or into
// an existing chat given by GUID.
struct IncomingMessage {
    QString from;           // phone number or e-mail address
    QString text;
    QString chatGuid;       // empty: the one-to-one chat with `from`
    QString attachmentPath; // a file copied into the attachment folder
    QString service;        // empty: the chat's service, else "iMessage"
    // Non-empty with an attachment: an audio message whose transcription Messages keeps in the
    // attachment's user_info (in the body where the layout has no user_info).
    QString audioTranscription;
    // Non-empty: the row's balloon_bundle_id (e.g. the link-preview provider), where the layout has it.
    QString balloonBundleId;
};

// A message the owner sent: to an address (its one-to-one chat) or into a chat by GUID.
struct OutgoingMessage {
    QString to;
    QString chatGuid;
    QString text;
    QString attachmentPath;
    QString service;
};

// A tapback on an existing message: 2000–2006 adds one, 3000–3006 removes one.
struct TapbackRequest {
    QString targetGuid; // the message's GUID (a "p:0/" prefix is accepted)
    int type = 2000;
    QString emoji; // required for 2006, optional for 3006
    QString from;  // empty: the owner reacted
};

// The row an append wrote.
struct AppendResult {
    qint64 rowId = 0;
    QString guid;
    qint64 chatId = 0;
    QString chatGuid;
    qint64 date = 0; // nanoseconds since 2001
    qint64 attachmentRowId = 0;
    QString attachmentFilename;

    QJsonObject toJson() const;
};

struct StreamOptions {
    double rate = 10;           // rows per second
    double durationSeconds = 10;
    QStringList senders;        // empty: handles of existing one-to-one chats
    std::function<void(const AppendResult &)> onRow;
};

struct StreamSummary {
    qint64 rows = 0;
    qint64 elapsedMs = 0;
    double requestedRate = 0;
    double achievedRate = 0;
    qint64 firstRowId = 0;
    qint64 lastRowId = 0;
    double meanWriteMs = 0;
    double maxWriteMs = 0;
    qint64 lateRows = 0; // rows written more than 50 ms after their due time

    QJsonObject toJson() const;
};

// The Messages application's side of the database: creates chat.db under a home folder, fills
// it with conversations, and appends rows the way Messages does, each in its own short write
// transaction. Not thread-safe: one object per thread.
class MessagesSimulator {
public:
    explicit MessagesSimulator(QString home);
    ~MessagesSimulator();
    MessagesSimulator(const MessagesSimulator &) = delete;
    MessagesSimulator &operator=(const MessagesSimulator &) = delete;

    QString home() const { return m_home; }
    QString databasePath() const;
    QString attachmentsPath() const;
    static QString databasePath(const QString &home);

    // Creates Library/Messages/chat.db (WAL mode) and Library/Messages/Attachments/. An existing
    // database is an error unless `replace` is set, which removes it and its attachments first;
    // only a database the simulator created (marked in _SqliteDatabaseProperties) is replaced.
    Result<void, SimulatorError> init(SchemaVersion version = SchemaVersion::MacOS15, bool replace = false);
    // Fills an initialised, empty database in one transaction.
    Result<FillSummary, SimulatorError> fill(const FillOptions &options);

    Result<AppendResult, SimulatorError> addIncoming(const IncomingMessage &message);
    Result<AppendResult, SimulatorError> addOutgoing(const OutgoingMessage &message);
    Result<AppendResult, SimulatorError> addTapback(const TapbackRequest &tapback);
    // Writes incoming rows at a steady rate; each text carries the time its write started
    // (streamMarker), so that a receiver can measure the delay.
    Result<StreamSummary, SimulatorError> stream(const StreamOptions &options);

    // Releases the connection (the next call opens it again).
    void close();

    static QString streamMarker(qint64 sequence, qint64 unixMs);
    // The sequence number and Unix milliseconds of a marker inside `text`.
    static std::optional<std::pair<qint64, qint64>> parseStreamMarker(QStringView text);

private:
    struct Private;
    Result<void, SimulatorError> ensureOpen();

    QString m_home;
    std::unique_ptr<Private> d;
};

} // namespace velto::sim
