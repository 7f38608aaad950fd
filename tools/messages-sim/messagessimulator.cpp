#include "messagessimulator.h"

#include "attributedbody.h"
#include "conversationfiller.h"
#include "messagesclock.h"
#include "messagewriter.h"
#include "samplecontent.h"
#include "simdatabase.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QThread>
#include <QUuid>

#include <cmath>

namespace velto::sim {

namespace {

const QString kIMessage = QStringLiteral("iMessage");
const QString kSms = QStringLiteral("SMS");

SimulatorError invalid(const QString &text)
{
    return {SimulatorError::Kind::InvalidArgument, text};
}

SimulatorError notFound(const QString &text)
{
    return {SimulatorError::Kind::NotFound, text};
}

QString newGuid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

QString utiFor(const QString &mimeType)
{
    static const QHash<QString, QString> known{
        {QStringLiteral("image/jpeg"), QStringLiteral("public.jpeg")},
        {QStringLiteral("image/png"), QStringLiteral("public.png")},
        {QStringLiteral("image/heic"), QStringLiteral("public.heic")},
        {QStringLiteral("image/gif"), QStringLiteral("com.compuserve.gif")},
        {QStringLiteral("video/quicktime"), QStringLiteral("com.apple.quicktime-movie")},
        {QStringLiteral("video/mp4"), QStringLiteral("public.mpeg-4")},
        {QStringLiteral("audio/x-caf"), QStringLiteral("com.apple.coreaudio-format")},
        {QStringLiteral("application/pdf"), QStringLiteral("com.adobe.pdf")},
        {QStringLiteral("text/plain"), QStringLiteral("public.plain-text")},
        {QStringLiteral("text/vcard"), QStringLiteral("public.vcard")},
    };
    return known.value(mimeType, QStringLiteral("public.data"));
}

QString mimeTypeFor(const QString &path)
{
    // Messages names Core Audio files audio/x-caf whatever the local MIME database says.
    if (path.endsWith(QLatin1String(".caf"), Qt::CaseInsensitive))
        return QStringLiteral("audio/x-caf");
    return QMimeDatabase().mimeTypeForFile(path, QMimeDatabase::MatchExtension).name();
}

// The GUID inside an associated-message reference such as "p:0/GUID" or "bp:GUID".
QString bareGuid(const QString &guid)
{
    const qsizetype slash = guid.lastIndexOf(QLatin1Char('/'));
    return slash >= 0 && slash + 1 < guid.size() ? guid.mid(slash + 1) : guid;
}

// Marks the databases the simulator created (Messages keeps its own keys in the same table).
constexpr char kMarkerKey[] = "velto-messages-sim";

bool isSimulatorDatabase(const QString &path)
{
    SimDatabase db;
    if (!db.open(path, false))
        return false;
    const auto marker = db.queryText(QStringLiteral("SELECT value FROM _SqliteDatabaseProperties WHERE key = '")
                                     + QLatin1String(kMarkerKey) + QStringLiteral("'"));
    return marker && !marker->isEmpty();
}

struct ChatRow {
    qint64 rowId = 0;
    QString guid;
    QString service;
    int style = 45;
    QString roomName;
    QString identifier;
};

} // namespace

struct MessagesSimulator::Private {
    SimDatabase db;
    MessageWriter writer{db};

    Result<std::optional<ChatRow>, SimulatorError> findChat(const QString &where, const QStringList &values)
    {
        auto statement = db.prepare(
            QStringLiteral("SELECT ROWID, guid, IFNULL(service_name, ''), IFNULL(style, 45), IFNULL(room_name, ''), "
                           "IFNULL(chat_identifier, '') FROM chat WHERE ")
            + where + QStringLiteral(" ORDER BY ROWID LIMIT 1"));
        if (!statement)
            return fail(statement.error());
        for (qsizetype i = 0; i < values.size(); ++i)
            statement->bindText(int(i + 1), values.at(i));
        switch (statement->step()) {
        case SimStatement::Step::Row:
            return std::optional<ChatRow>(ChatRow{statement->columnInt(0), statement->columnText(1),
                                                  statement->columnText(2), int(statement->columnInt(3)),
                                                  statement->columnText(4), statement->columnText(5)});
        case SimStatement::Step::Done:
            return std::optional<ChatRow>();
        case SimStatement::Step::Error:
            break;
        }
        return fail(db.lastError(QStringLiteral("find chat")));
    }

    Result<qint64, SimulatorError> ensureHandle(const QString &id, const QString &service)
    {
        auto statement = db.prepare(QStringLiteral("SELECT ROWID FROM handle WHERE id = ? AND service = ?"));
        if (!statement)
            return fail(statement.error());
        statement->bindText(1, id);
        statement->bindText(2, service);
        if (statement->step() == SimStatement::Step::Row)
            return statement->columnInt(0);
        return writer.insertHandle(id, service);
    }

    // The one-to-one chat with an address on a service, created as Messages would on first contact.
    Result<ChatRow, SimulatorError> ensureOneToOne(const QString &address, const QString &service, qint64 handleId)
    {
        auto existing = findChat(QStringLiteral("chat_identifier = ? AND service_name = ? AND style = 45"),
                                 {address, service});
        if (!existing)
            return fail(existing.error());
        if (*existing)
            return **existing;
        ChatRecord record;
        record.guid = service + QStringLiteral(";-;") + address;
        record.style = 45;
        record.chatIdentifier = address;
        record.serviceName = service;
        record.accountLogin = service == kSms ? QStringLiteral("P:") + SampleContent::ownerPhone()
                                              : QStringLiteral("E:") + SampleContent::ownerEmail();
        record.lastAddressedHandle = SampleContent::ownerPhone();
        auto rowId = writer.insertChat(record);
        if (!rowId)
            return fail(rowId.error());
        if (auto joined = writer.joinChatHandle(*rowId, handleId); !joined)
            return fail(joined.error());
        return ChatRow{*rowId, record.guid, service, 45, QString(), address};
    }

    // The handle of a one-to-one chat's other party (0 for a group).
    Result<qint64, SimulatorError> soleHandle(const ChatRow &chat)
    {
        if (chat.style == 43)
            return qint64(0);
        auto statement = db.prepare(QStringLiteral("SELECT handle_id FROM chat_handle_join WHERE chat_id = ? LIMIT 1"));
        if (!statement)
            return fail(statement.error());
        statement->bindInt(1, chat.rowId);
        return statement->step() == SimStatement::Step::Row ? statement->columnInt(0) : qint64(0);
    }

    // Copies a file to Attachments/xx/yy/<GUID>/<name> and describes it.
    Result<std::pair<AttachmentRecord, QString>, SimulatorError> copyAttachment(const QString &home,
                                                                               const QString &source,
                                                                               bool outgoing, qint64 date)
    {
        const QFileInfo info(source);
        if (!info.isFile())
            return fail(SimulatorError{SimulatorError::Kind::File, source + QStringLiteral(": not a readable file")});
        QRandomGenerator *random = QRandomGenerator::global();
        const QString relative = QStringLiteral("Library/Messages/Attachments/%1/%2/%3/%4")
                                     .arg(random->bounded(256), 2, 16, QLatin1Char('0'))
                                     .arg(random->bounded(16), 2, 10, QLatin1Char('0'))
                                     .arg(newGuid(), info.fileName());
        const QString target = home + QLatin1Char('/') + relative;
        if (!QDir().mkpath(QFileInfo(target).path()) || !QFile::copy(source, target))
            return fail(SimulatorError{SimulatorError::Kind::File, QStringLiteral("cannot copy ") + source
                                                                       + QStringLiteral(" to ") + target});
        AttachmentRecord record;
        record.guid = newGuid();
        record.createdDate = MessagesClock::toSeconds(date);
        record.filename = QStringLiteral("~/") + relative;
        record.mimeType = mimeTypeFor(source);
        record.uti = utiFor(record.mimeType);
        record.transferName = info.fileName();
        record.totalBytes = info.size();
        record.isOutgoing = outgoing;
        return std::pair{record, target};
    }

    // Runs `work` in one write transaction: committed when it succeeds, rolled back otherwise.
    template <typename T>
    Result<T, SimulatorError> transaction(const std::function<Result<T, SimulatorError>()> &work)
    {
        if (auto begun = db.exec(QStringLiteral("BEGIN IMMEDIATE")); !begun)
            return fail(begun.error());
        Result<T, SimulatorError> result = work();
        if (!result) {
            (void)db.exec(QStringLiteral("ROLLBACK"));
            return result;
        }
        if (auto committed = db.exec(QStringLiteral("COMMIT")); !committed) {
            (void)db.exec(QStringLiteral("ROLLBACK"));
            return fail(committed.error());
        }
        return result;
    }
};

QJsonObject AppendResult::toJson() const
{
    QJsonObject json{
        {QStringLiteral("rowid"), rowId},
        {QStringLiteral("guid"), guid},
        {QStringLiteral("chatId"), chatId},
        {QStringLiteral("chatGuid"), chatGuid},
        {QStringLiteral("date"), date},
    };
    if (attachmentRowId > 0) {
        json.insert(QStringLiteral("attachmentRowid"), attachmentRowId);
        json.insert(QStringLiteral("attachmentFilename"), attachmentFilename);
    }
    return json;
}

QJsonObject StreamSummary::toJson() const
{
    return QJsonObject{
        {QStringLiteral("rows"), rows},
        {QStringLiteral("elapsedMs"), elapsedMs},
        {QStringLiteral("requestedRate"), requestedRate},
        {QStringLiteral("achievedRate"), achievedRate},
        {QStringLiteral("firstRowid"), firstRowId},
        {QStringLiteral("lastRowid"), lastRowId},
        {QStringLiteral("meanWriteMs"), meanWriteMs},
        {QStringLiteral("maxWriteMs"), maxWriteMs},
        {QStringLiteral("lateRows"), lateRows},
    };
}

MessagesSimulator::MessagesSimulator(QString home)
    : m_home(QDir::cleanPath(std::move(home)))
    , d(std::make_unique<Private>())
{
}

MessagesSimulator::~MessagesSimulator() = default;

QString MessagesSimulator::databasePath(const QString &home)
{
    return QDir::cleanPath(home) + QStringLiteral("/Library/Messages/chat.db");
}

QString MessagesSimulator::databasePath() const
{
    return databasePath(m_home);
}

QString MessagesSimulator::attachmentsPath() const
{
    return m_home + QStringLiteral("/Library/Messages/Attachments");
}

void MessagesSimulator::close()
{
    d = std::make_unique<Private>();
}

Result<void, SimulatorError> MessagesSimulator::ensureOpen()
{
    if (d->db.isOpen())
        return {};
    if (!QFileInfo::exists(databasePath()))
        return fail(SimulatorError{SimulatorError::Kind::DatabaseMissing, databasePath()});
    if (auto opened = d->db.open(databasePath(), false); !opened)
        return opened;
    for (const char *pragma : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL"}) {
        if (auto done = d->db.queryText(QString::fromLatin1(pragma)); !done) {
            close();
            return fail(done.error());
        }
    }
    if (auto prepared = d->writer.prepare(); !prepared) {
        close();
        return prepared;
    }
    return {};
}

Result<void, SimulatorError> MessagesSimulator::init(SchemaVersion version, bool replace)
{
    close();
    const QString path = databasePath();
    if (QFileInfo::exists(path)) {
        if (!replace)
            return fail(SimulatorError{SimulatorError::Kind::DatabaseExists, path});
        // Never replace a database we did not make: pointed at a real home, that would be the
        // user's messages.
        if (!isSimulatorDatabase(path)) {
            return fail(SimulatorError{SimulatorError::Kind::DatabaseExists,
                                       path + QStringLiteral(" was not created by the simulator; remove it by hand")});
        }
        for (const QString &suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")}) {
            if (QFileInfo::exists(path + suffix) && !QFile::remove(path + suffix))
                return fail(SimulatorError{SimulatorError::Kind::File, QStringLiteral("cannot remove ") + path + suffix});
        }
        QDir(attachmentsPath()).removeRecursively();
    }
    if (!QDir().mkpath(attachmentsPath()))
        return fail(SimulatorError{SimulatorError::Kind::File, QStringLiteral("cannot create ") + attachmentsPath()});

    if (auto opened = d->db.open(path, true); !opened)
        return opened;
    const ChatDbSchema schema(version);
    QStringList statements{QStringLiteral("BEGIN")};
    statements += schema.tableStatements();
    statements += schema.indexStatements();
    statements.append(QStringLiteral("INSERT INTO _SqliteDatabaseProperties (key, value) VALUES ('%1', '%2')")
                          .arg(QLatin1String(kMarkerKey), ChatDbSchema::versionName(version)));
    statements.append(QStringLiteral("COMMIT"));
    for (const QString &statement : std::as_const(statements)) {
        if (auto done = d->db.exec(statement); !done) {
            close();
            return done;
        }
    }
    close();
    return ensureOpen();
}

Result<FillSummary, SimulatorError> MessagesSimulator::fill(const FillOptions &options)
{
    QElapsedTimer timer;
    timer.start();
    if (auto opened = ensureOpen(); !opened)
        return fail(opened.error());
    SimDatabase &db = d->db;
    auto existing = db.queryText(QStringLiteral("SELECT (SELECT COUNT(*) FROM message) + (SELECT COUNT(*) FROM handle)"));
    if (!existing)
        return fail(existing.error());
    if (existing->toLongLong() != 0)
        return fail(invalid(QStringLiteral("the database already holds messages or handles; init --force first")));

    // Bulk load: a rollback journal in memory and no syncs (a failed fill is simply re-run),
    // indexes built once at the end. Another open connection keeps the file in WAL mode,
    // which is slower but still correct.
    (void)db.queryText(QStringLiteral("PRAGMA journal_mode=MEMORY"));
    (void)db.exec(QStringLiteral("PRAGMA synchronous=OFF; PRAGMA cache_size=-131072; PRAGMA temp_store=MEMORY"));

    QStringList names;
    QStringList indexes;
    {
        auto statement = db.prepare(
            QStringLiteral("SELECT name, sql FROM sqlite_master WHERE type = 'index' AND sql IS NOT NULL ORDER BY rowid"));
        if (!statement)
            return fail(statement.error());
        while (statement->step() == SimStatement::Step::Row) {
            names.append(statement->columnText(0));
            indexes.append(statement->columnText(1));
        }
    }
    QStringList dropped;
    // Puts back whatever indexes were dropped and returns the file to WAL mode, also after a failure.
    const auto finish = [&]() -> Result<void, SimulatorError> {
        Result<void, SimulatorError> outcome;
        for (const QString &name : std::as_const(dropped)) {
            if (auto created = db.exec(indexes.at(names.indexOf(name))); !created && outcome)
                outcome = created;
        }
        (void)db.queryText(QStringLiteral("PRAGMA journal_mode=WAL"));
        (void)db.exec(QStringLiteral("PRAGMA synchronous=NORMAL; PRAGMA cache_size=-2000"));
        return outcome;
    };
    for (const QString &name : std::as_const(names)) {
        if (auto done = db.exec(QStringLiteral("DROP INDEX ") + name); !done) {
            (void)finish();
            return fail(done.error());
        }
        dropped.append(name);
    }

    if (auto begun = db.exec(QStringLiteral("BEGIN")); !begun) {
        (void)finish();
        return fail(begun.error());
    }
    auto summary = ConversationFiller(d->writer, m_home, options).run();
    if (!summary) {
        (void)db.exec(QStringLiteral("ROLLBACK"));
        (void)finish();
        return summary;
    }
    if (auto committed = db.exec(QStringLiteral("COMMIT")); !committed) {
        (void)db.exec(QStringLiteral("ROLLBACK"));
        (void)finish();
        return fail(committed.error());
    }
    if (auto finished = finish(); !finished)
        return fail(finished.error());
    summary->elapsedMs = timer.elapsed();
    return summary;
}

Result<AppendResult, SimulatorError> MessagesSimulator::addIncoming(const IncomingMessage &message)
{
    if (message.from.trimmed().isEmpty())
        return fail(invalid(QStringLiteral("an incoming message needs a sender")));
    if (!message.audioTranscription.isEmpty() && message.attachmentPath.isEmpty())
        return fail(invalid(QStringLiteral("an audio message needs its audio file as attachment")));
    if (auto opened = ensureOpen(); !opened)
        return fail(opened.error());
    Private &p = *d;
    MessageWriter &writer = p.writer;

    return p.transaction<AppendResult>([&]() -> Result<AppendResult, SimulatorError> {
        const qint64 date = MessagesClock::now();
        ChatRow chat;
        QString service = message.service;
        if (!message.chatGuid.isEmpty()) {
            auto found = p.findChat(QStringLiteral("guid = ?"), {message.chatGuid});
            if (!found)
                return fail(found.error());
            if (!*found)
                return fail(notFound(QStringLiteral("chat ") + message.chatGuid));
            chat = **found;
            if (service.isEmpty())
                service = chat.service.isEmpty() ? kIMessage : chat.service;
        }
        if (service.isEmpty())
            service = kIMessage;
        auto handleId = p.ensureHandle(message.from, service);
        if (!handleId)
            return fail(handleId.error());
        if (message.chatGuid.isEmpty()) {
            auto created = p.ensureOneToOne(message.from, service, *handleId);
            if (!created)
                return fail(created.error());
            chat = *created;
        } else if (auto joined = writer.joinChatHandle(chat.rowId, *handleId); !joined) {
            return fail(joined.error());
        }

        MessageRecord record;
        record.guid = newGuid();
        record.handleId = *handleId;
        record.service = service;
        record.account = service == kSms ? QStringLiteral("P:") + SampleContent::ownerPhone()
                                         : QStringLiteral("E:") + SampleContent::ownerEmail();
        record.destinationCallerId = service == kSms ? SampleContent::ownerPhone() : SampleContent::ownerEmail();
        record.cacheRoomnames = chat.roomName;
        record.date = date;
        record.isDelivered = true;
        record.text = message.text;
        if (writer.hasBalloonBundleId())
            record.balloonBundleId = message.balloonBundleId;

        std::optional<std::pair<AttachmentRecord, QString>> attachment;
        if (!message.attachmentPath.isEmpty()) {
            auto copied = p.copyAttachment(m_home, message.attachmentPath, false, date);
            if (!copied)
                return fail(copied.error());
            attachment = *copied;
            record.hasAttachments = true;
            record.text = QString(AttributedBody::attachmentPlaceholder) + message.text;
            record.partCount = message.text.isEmpty() ? 1 : 2;
        }
        const bool audio = attachment && !message.audioTranscription.isEmpty();
        if (audio) {
            record.isAudioMessage = true;
            if (writer.hasUserInfo())
                attachment->first.userInfo = MessageWriter::audioUserInfo(message.audioTranscription);
        }
        if (writer.hasAttributedBody()) {
            if (audio)
                record.body = AttributedBody::audioMessage(attachment->first.guid,
                                                           writer.hasUserInfo() ? QString() : message.audioTranscription)
                                  .encode();
            else if (attachment)
                record.body = AttributedBody::attachment(attachment->first.guid, message.text).encode();
            else
                record.body = AttributedBody::plainText(message.text).encode();
        }

        auto rowId = writer.insertMessage(record, chat.rowId);
        AppendResult result{0, record.guid, chat.rowId, chat.guid, date, 0, QString()};
        if (rowId && attachment) {
            auto attachmentRow = writer.insertAttachment(attachment->first, *rowId);
            if (!attachmentRow) {
                QFile::remove(attachment->second);
                return fail(attachmentRow.error());
            }
            result.attachmentRowId = *attachmentRow;
            result.attachmentFilename = attachment->first.filename;
        }
        if (!rowId) {
            if (attachment)
                QFile::remove(attachment->second);
            return fail(rowId.error());
        }
        result.rowId = *rowId;
        return result;
    });
}

Result<AppendResult, SimulatorError> MessagesSimulator::addOutgoing(const OutgoingMessage &message)
{
    if (message.to.isEmpty() == message.chatGuid.isEmpty())
        return fail(invalid(QStringLiteral("an outgoing message goes either to an address or into a chat")));
    if (auto opened = ensureOpen(); !opened)
        return fail(opened.error());
    Private &p = *d;
    MessageWriter &writer = p.writer;

    return p.transaction<AppendResult>([&]() -> Result<AppendResult, SimulatorError> {
        const qint64 date = MessagesClock::now();
        ChatRow chat;
        QString service = message.service;
        qint64 handleId = 0;
        if (!message.chatGuid.isEmpty()) {
            auto found = p.findChat(QStringLiteral("guid = ?"), {message.chatGuid});
            if (!found)
                return fail(found.error());
            if (!*found)
                return fail(notFound(QStringLiteral("chat ") + message.chatGuid));
            chat = **found;
            if (service.isEmpty())
                service = chat.service.isEmpty() ? kIMessage : chat.service;
            auto sole = p.soleHandle(chat);
            if (!sole)
                return fail(sole.error());
            handleId = *sole;
        } else {
            if (service.isEmpty())
                service = kIMessage;
            auto handle = p.ensureHandle(message.to, service);
            if (!handle)
                return fail(handle.error());
            handleId = *handle;
            auto created = p.ensureOneToOne(message.to, service, handleId);
            if (!created)
                return fail(created.error());
            chat = *created;
        }

        MessageRecord record;
        record.guid = newGuid();
        record.handleId = handleId;
        record.service = service;
        record.account = service == kSms ? QStringLiteral("P:") + SampleContent::ownerPhone()
                                         : QStringLiteral("E:") + SampleContent::ownerEmail();
        record.destinationCallerId = service == kSms ? SampleContent::ownerPhone() : SampleContent::ownerEmail();
        record.cacheRoomnames = chat.roomName;
        record.date = date;
        record.dateDelivered = date;
        record.isFromMe = true;
        record.isSent = true;
        record.isDelivered = true;
        record.text = message.text;

        std::optional<std::pair<AttachmentRecord, QString>> attachment;
        if (!message.attachmentPath.isEmpty()) {
            auto copied = p.copyAttachment(m_home, message.attachmentPath, true, date);
            if (!copied)
                return fail(copied.error());
            attachment = *copied;
            record.hasAttachments = true;
            record.text = QString(AttributedBody::attachmentPlaceholder) + message.text;
            record.partCount = message.text.isEmpty() ? 1 : 2;
        }
        if (writer.hasAttributedBody()) {
            record.body = attachment ? AttributedBody::attachment(attachment->first.guid, message.text).encode()
                                     : AttributedBody::plainText(message.text).encode();
        }

        auto rowId = writer.insertMessage(record, chat.rowId);
        AppendResult result{0, record.guid, chat.rowId, chat.guid, date, 0, QString()};
        if (rowId && attachment) {
            auto attachmentRow = writer.insertAttachment(attachment->first, *rowId);
            if (!attachmentRow) {
                QFile::remove(attachment->second);
                return fail(attachmentRow.error());
            }
            result.attachmentRowId = *attachmentRow;
            result.attachmentFilename = attachment->first.filename;
        }
        if (!rowId) {
            if (attachment)
                QFile::remove(attachment->second);
            return fail(rowId.error());
        }
        result.rowId = *rowId;
        return result;
    });
}

Result<AppendResult, SimulatorError> MessagesSimulator::addTapback(const TapbackRequest &tapback)
{
    const int type = tapback.type;
    const bool add = type >= 2000 && type <= 2006;
    const bool removal = type >= 3000 && type <= 3006;
    if (!add && !removal)
        return fail(invalid(QStringLiteral("tapback type must be 2000–2006 or 3000–3006")));
    if (type == 2006 && tapback.emoji.isEmpty())
        return fail(invalid(QStringLiteral("a custom tapback (2006) needs its emoji")));
    if (!tapback.emoji.isEmpty() && type != 2006 && type != 3006)
        return fail(invalid(QStringLiteral("an emoji goes only with 2006 or 3006")));
    const QString targetGuid = bareGuid(tapback.targetGuid);
    if (targetGuid.isEmpty())
        return fail(invalid(QStringLiteral("a tapback needs its target message")));
    if (auto opened = ensureOpen(); !opened)
        return fail(opened.error());
    Private &p = *d;
    MessageWriter &writer = p.writer;
    if (!writer.hasReactions())
        return fail(SimulatorError{SimulatorError::Kind::Unsupported, QStringLiteral("no tapback columns")});

    return p.transaction<AppendResult>([&]() -> Result<AppendResult, SimulatorError> {
        const qint64 date = MessagesClock::now();
        auto target = p.db.prepare(
            QStringLiteral("SELECT cmj.chat_id, IFNULL(m.text, ''), ")
            + (writer.hasAttributedBody() ? QStringLiteral("m.attributedBody") : QStringLiteral("NULL"))
            + QStringLiteral(", ") + (writer.hasAudioFlag() ? QStringLiteral("m.is_audio_message") : QStringLiteral("0"))
            + QStringLiteral(" FROM message m LEFT JOIN chat_message_join cmj ON cmj.message_id = m.ROWID "
                             "WHERE m.guid = ? LIMIT 1"));
        if (!target)
            return fail(target.error());
        target->bindText(1, targetGuid);
        if (target->step() != SimStatement::Step::Row)
            return fail(notFound(QStringLiteral("message ") + targetGuid));
        const qint64 chatId = target->columnInt(0);
        QString targetText = target->columnText(1);
        if (targetText.isEmpty())
            targetText = AttributedBody::readText(target->columnBlob(2)).value_or(QString());
        const bool targetIsAudio = target->columnInt(3) != 0;

        auto found = p.findChat(QStringLiteral("ROWID = ?"), {QString::number(chatId)});
        if (!found)
            return fail(found.error());
        if (!*found)
            return fail(notFound(QStringLiteral("the chat of message ") + targetGuid));
        const ChatRow chat = **found;
        const QString service = chat.service.isEmpty() ? kIMessage : chat.service;

        MessageRecord record;
        record.guid = newGuid();
        if (tapback.from.isEmpty()) {
            auto sole = p.soleHandle(chat);
            if (!sole)
                return fail(sole.error());
            record.handleId = *sole;
            record.isFromMe = true;
            record.isSent = true;
            record.dateDelivered = date;
        } else {
            auto handle = p.ensureHandle(tapback.from, service);
            if (!handle)
                return fail(handle.error());
            if (auto joined = writer.joinChatHandle(chat.rowId, *handle); !joined)
                return fail(joined.error());
            record.handleId = *handle;
        }
        record.isDelivered = true;
        record.service = service;
        record.account = service == kSms ? QStringLiteral("P:") + SampleContent::ownerPhone()
                                         : QStringLiteral("E:") + SampleContent::ownerEmail();
        record.destinationCallerId = service == kSms ? SampleContent::ownerPhone() : SampleContent::ownerEmail();
        record.cacheRoomnames = chat.roomName;
        record.date = date;

        QString summary;
        if (targetIsAudio)
            summary = QStringLiteral("an audio message");
        else if (targetText.startsWith(AttributedBody::attachmentPlaceholder))
            summary = QStringLiteral("an attachment");
        else
            summary = SampleContent::quoted(targetText.size() > 120 ? targetText.left(120) + QStringLiteral("…")
                                                                    : targetText);
        record.text = SampleContent::tapbackText(type, tapback.emoji, summary);
        if (writer.hasAttributedBody())
            record.body = AttributedBody::plainText(record.text).encode();
        record.associatedGuid = QStringLiteral("p:0/") + targetGuid;
        record.associatedType = type;
        record.associatedRangeLength = targetText.size();
        if (writer.hasCustomReactionEmoji())
            record.associatedEmoji = tapback.emoji;

        auto rowId = writer.insertMessage(record, chat.rowId);
        if (!rowId)
            return fail(rowId.error());
        return AppendResult{*rowId, record.guid, chat.rowId, chat.guid, date, 0, QString()};
    });
}

Result<StreamSummary, SimulatorError> MessagesSimulator::stream(const StreamOptions &options)
{
    if (!(options.rate > 0) || !(options.durationSeconds > 0) || options.rate > 100000)
        return fail(invalid(QStringLiteral("rate and duration must be positive (rate at most 100000 per second)")));
    if (auto opened = ensureOpen(); !opened)
        return fail(opened.error());

    QStringList senders = options.senders;
    if (senders.isEmpty()) {
        auto statement = d->db.prepare(
            QStringLiteral("SELECT chat_identifier FROM chat WHERE style = 45 AND service_name = 'iMessage' "
                           "ORDER BY ROWID LIMIT 10"));
        if (!statement)
            return fail(statement.error());
        while (statement->step() == SimStatement::Step::Row)
            senders.append(statement->columnText(0));
        if (senders.isEmpty())
            senders.append(QStringLiteral("+14155550123"));
    }

    StreamSummary summary;
    summary.requestedRate = options.rate;
    const auto total = qint64(std::ceil(options.rate * options.durationSeconds));
    const double intervalMs = 1000.0 / options.rate;
    QElapsedTimer clock;
    clock.start();
    double writeMsTotal = 0;
    qint64 lastStartMs = 0;
    for (qint64 i = 0; i < total; ++i) {
        const auto dueMs = qint64(std::llround(double(i) * intervalMs));
        const qint64 waitMs = dueMs - clock.elapsed();
        if (waitMs > 0)
            QThread::msleep(quint64(waitMs));
        else if (waitMs < -50)
            ++summary.lateRows;

        lastStartMs = clock.elapsed();
        QElapsedTimer write;
        write.start();
        IncomingMessage message;
        message.from = senders.at(qsizetype(i % senders.size()));
        message.text = streamMarker(i + 1, MessagesClock::nowUnixMs());
        auto result = addIncoming(message);
        if (!result)
            return fail(result.error());
        const double writeMs = double(write.nsecsElapsed()) / 1e6;
        writeMsTotal += writeMs;
        summary.maxWriteMs = std::max(summary.maxWriteMs, writeMs);
        if (summary.rows == 0)
            summary.firstRowId = result->rowId;
        summary.lastRowId = result->rowId;
        ++summary.rows;
        if (options.onRow)
            options.onRow(*result);
    }
    summary.elapsedMs = clock.elapsed();
    summary.meanWriteMs = summary.rows > 0 ? writeMsTotal / double(summary.rows) : 0;
    // Rows are due at 0, 1/rate, 2/rate…: the rate is the number of intervals over the time they took.
    summary.achievedRate = summary.rows > 1 && lastStartMs > 0 ? double(summary.rows - 1) * 1000.0 / double(lastStartMs)
                                                               : summary.requestedRate;
    return summary;
}

QString MessagesSimulator::streamMarker(qint64 sequence, qint64 unixMs)
{
    return QStringLiteral("sim-stream {\"seq\":%1,\"sentAtMs\":%2}").arg(sequence).arg(unixMs);
}

std::optional<std::pair<qint64, qint64>> MessagesSimulator::parseStreamMarker(QStringView text)
{
    static const QRegularExpression marker(QStringLiteral("sim-stream \\{\"seq\":(\\d+),\"sentAtMs\":(\\d+)\\}"));
    const QRegularExpressionMatch match = marker.match(text.toString());
    if (!match.hasMatch())
        return std::nullopt;
    return std::pair{match.capturedView(1).toLongLong(), match.capturedView(2).toLongLong()};
}

} // namespace velto::sim
