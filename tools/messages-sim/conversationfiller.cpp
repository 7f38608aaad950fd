#include "conversationfiller.h"

#include "attributedbody.h"
#include "messagesclock.h"
#include "messagewriter.h"
#include "samplecontent.h"
#include "samplemedia.h"
#include "seededrandom.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace velto::sim {

namespace {

const QString kIMessage = QStringLiteral("iMessage");
const QString kSms = QStringLiteral("SMS");
const QString kUrlBalloon = QStringLiteral("com.apple.messages.URLBalloonProvider");
constexpr qint64 kSecond = 1000000000;

enum class Kind : quint8 {
    Unassigned,
    Text,
    TextEmoji,
    TextNonBmp,
    TextOtherScript,
    TextMultiline,
    TextLong,
    TextHuge,
    TextEmpty,
    FailedText,
    Reply,
    Image,
    Sticker,
    AudioUserInfo,
    AudioBodyOnly,
    TapbackAdd,
    TapbackCustom,
    TapbackRemoval,
    LinkPreview,
    LinkPreviewBalloon,
};

// Rows whose chat follows from the message they point at.
bool dependsOnTarget(Kind kind)
{
    return kind == Kind::Reply || kind == Kind::TapbackAdd || kind == Kind::TapbackCustom
        || kind == Kind::TapbackRemoval || kind == Kind::LinkPreviewBalloon;
}

struct Handle {
    qint64 rowId;
    QString id;
    QString service;
};

struct Chat {
    qint64 rowId = 0;
    QString service;
    bool group = false;
    QString roomName;
    QList<int> members; // indexes into the handle list
};

// A message that later rows may react or reply to.
struct Target {
    QString guid;
    int chat;
    QString summary;
    qint64 length; // UTF-16 units of its text
};

struct AddedTapback {
    Target target;
    qint64 type;
    QString emoji;
    int sender; // handle index, -1 for the owner
};

class FillRun {
public:
    FillRun(MessageWriter &writer, const QString &home, const FillOptions &options)
        : m_writer(writer)
        , m_home(home)
        , m_options(options)
        , m_random(options.seed)
    {
    }

    Result<FillSummary, SimulatorError> run()
    {
        QElapsedTimer timer;
        timer.start();
        if (auto valid = validate(); !valid)
            return fail(valid.error());
        m_accountGuids = {m_random.uuid(), m_random.uuid()};
        if (auto done = createHandles(); !done)
            return fail(done.error());
        if (auto done = createChats(); !done)
            return fail(done.error());
        planKinds();
        planChats();
        if (auto done = writeMessages(); !done)
            return fail(done.error());
        m_summary.elapsedMs = timer.elapsed();
        return m_summary;
    }

private:
    Result<void, SimulatorError> validate() const
    {
        const auto invalid = [](const QString &text) {
            return fail(SimulatorError{SimulatorError::Kind::InvalidArgument, text});
        };
        if (m_options.messages < 0 || m_options.chats < 0 || m_options.handles < 0)
            return invalid(QStringLiteral("counts must not be negative"));
        if (m_options.messages > 0 && (m_options.chats == 0 || m_options.handles == 0))
            return invalid(QStringLiteral("messages need at least one chat and one handle"));
        if (m_options.chats > m_options.handles && m_options.handles < 2)
            return invalid(QStringLiteral("more chats than handles needs group chats, hence at least two handles"));
        if (m_options.spanDays <= 0)
            return invalid(QStringLiteral("the time span must be at least one day"));
        return {};
    }

    Result<void, SimulatorError> createHandles()
    {
        QSet<QString> seen;
        int phones = 0;
        int emails = 0;
        for (int i = 0; i < m_options.handles; ++i) {
            const bool phone = m_random.perMille(650);
            QString id;
            do {
                id = phone ? SampleContent::phoneNumber(m_random, phones++)
                           : SampleContent::emailAddress(m_random, emails++);
            } while (seen.contains(id));
            seen.insert(id);
            const QString service = phone && m_random.perMille(250) ? kSms : kIMessage;
            auto rowId = m_writer.insertHandle(id, service);
            if (!rowId)
                return fail(rowId.error());
            m_handles.append({*rowId, id, service});
        }
        m_summary.handles = m_handles.size();
        return {};
    }

    QList<int> handlesOf(const QString &service) const
    {
        QList<int> result;
        for (int i = 0; i < m_handles.size(); ++i) {
            if (m_handles.at(i).service == service)
                result.append(i);
        }
        return result;
    }

    Result<void, SimulatorError> createChats()
    {
        const int handleCount = int(m_handles.size());
        int groups = handleCount >= 2 && m_options.chats >= 2 ? std::max(1, m_options.chats * 3 / 10) : 0;
        int oneToOne = m_options.chats - groups;
        if (oneToOne > handleCount) {
            oneToOne = handleCount;
            groups = m_options.chats - oneToOne;
        }

        QList<int> order;
        for (int i = 0; i < handleCount; ++i)
            order.append(i);
        shuffle(order);

        // Interleave the two styles so that neither clusters at one end of the weights.
        QList<bool> styles;
        for (int i = 0; i < oneToOne; ++i)
            styles.append(false);
        for (int i = 0; i < groups; ++i)
            styles.append(true);
        shuffle(styles);

        int nextOneToOne = 0;
        for (const bool group : std::as_const(styles)) {
            Result<void, SimulatorError> done = group ? createGroup() : createOneToOne(order.at(nextOneToOne++));
            if (!done)
                return done;
        }
        m_summary.chats = m_chats.size();
        return {};
    }

    QString accountGuid(const QString &service) const
    {
        return service == kSms ? m_accountGuids.at(1) : m_accountGuids.at(0);
    }

    QString accountLogin(const QString &service) const
    {
        return service == kSms ? QStringLiteral("P:") + SampleContent::ownerPhone()
                               : QStringLiteral("E:") + SampleContent::ownerEmail();
    }

    Result<void, SimulatorError> createOneToOne(int handleIndex)
    {
        const Handle &handle = m_handles.at(handleIndex);
        ChatRecord record;
        record.guid = handle.service + QStringLiteral(";-;") + handle.id;
        record.style = 45;
        record.chatIdentifier = handle.id;
        record.serviceName = handle.service;
        record.accountId = accountGuid(handle.service);
        record.accountLogin = accountLogin(handle.service);
        record.lastAddressedHandle = SampleContent::ownerPhone();
        auto rowId = m_writer.insertChat(record);
        if (!rowId)
            return fail(rowId.error());
        if (auto joined = m_writer.joinChatHandle(*rowId, handle.rowId); !joined)
            return joined;
        m_chats.append({*rowId, handle.service, false, QString(), {handleIndex}});
        ++m_summary.oneToOneChats;
        return {};
    }

    Result<void, SimulatorError> createGroup()
    {
        QString service = m_random.perMille(100) ? kSms : kIMessage;
        QList<int> pool = handlesOf(service);
        if (pool.size() < 2) {
            service = service == kSms ? kIMessage : kSms;
            pool = handlesOf(service);
        }
        if (pool.size() < 2) {
            service = kIMessage;
            pool.clear();
            for (int i = 0; i < m_handles.size(); ++i)
                pool.append(i);
        }
        shuffle(pool);
        const int size = int(m_random.between(2, std::min<qint64>(8, pool.size())));
        const QList<int> members = pool.mid(0, size);

        QString digits;
        for (int i = 0; i < 18; ++i)
            digits += QChar(u'0' + int(m_random.below(10)));
        const QString identifier = QStringLiteral("chat") + digits;

        ChatRecord record;
        record.guid = service + QStringLiteral(";+;") + identifier;
        record.style = 43;
        record.chatIdentifier = identifier;
        record.serviceName = service;
        record.roomName = service == kIMessage ? identifier : QString();
        record.displayName = m_random.perMille(750) ? SampleContent::groupName(m_random) : QString();
        record.groupId = m_random.uuid();
        record.accountId = accountGuid(service);
        record.accountLogin = accountLogin(service);
        record.lastAddressedHandle = SampleContent::ownerPhone();
        auto rowId = m_writer.insertChat(record);
        if (!rowId)
            return fail(rowId.error());
        for (const int member : members) {
            if (auto joined = m_writer.joinChatHandle(*rowId, m_handles.at(member).rowId); !joined)
                return joined;
        }
        m_chats.append({*rowId, service, true, record.roomName, members});
        ++m_summary.groupChats;
        return {};
    }

    template <typename T>
    void shuffle(QList<T> &items)
    {
        for (qsizetype i = items.size() - 1; i > 0; --i)
            std::swap(items[i], items[qsizetype(m_random.below(std::uint64_t(i + 1)))]);
    }

    // Kinds the database layout can hold, with their weights in parts per thousand.
    QList<std::pair<Kind, int>> weightedKinds() const
    {
        QList<std::pair<Kind, int>> kinds{
            {Kind::Text, 640},        {Kind::TextEmoji, 40},     {Kind::TextNonBmp, 8},
            {Kind::TextOtherScript, 15}, {Kind::TextMultiline, 12}, {Kind::TextLong, 20},
            {Kind::TextEmpty, 1},     {Kind::FailedText, 4},     {Kind::Image, 35},
            {Kind::Sticker, 4},
        };
        if (m_writer.hasThreadOriginator())
            kinds.append({Kind::Reply, 35});
        if (m_writer.hasAudioFlag()) {
            kinds.append({Kind::AudioUserInfo, 6});
            kinds.append({Kind::AudioBodyOnly, 4});
        }
        if (m_writer.hasReactions()) {
            kinds.append({Kind::TapbackAdd, 80});
            kinds.append({Kind::TapbackCustom, 10});
            kinds.append({Kind::TapbackRemoval, 12});
        }
        if (m_writer.hasBalloonBundleId())
            kinds.append({Kind::LinkPreview, 20});
        return kinds;
    }

    void planKinds()
    {
        const int n = m_options.messages;
        m_kinds.assign(std::size_t(n), Kind::Unassigned);
        const QList<std::pair<Kind, int>> kinds = weightedKinds();

        // Every kind appears at least once in a fill of a reasonable size: one of each at
        // evenly spaced places, the rest drawn by weight. A huge text appears only here.
        QList<Kind> forced{Kind::TextHuge};
        for (const auto &[kind, weight] : kinds)
            forced.append(kind);
        if (n >= 4 * (forced.size() + 1)) {
            for (qsizetype k = 0; k < forced.size(); ++k) {
                const auto at = std::size_t((k + 1) * n / (forced.size() + 1));
                assign(at, forced.at(k));
            }
        }

        int total = 0;
        for (const auto &[kind, weight] : kinds)
            total += weight;
        for (std::size_t i = 0; i < m_kinds.size(); ++i) {
            if (m_kinds[i] != Kind::Unassigned)
                continue;
            int draw = int(m_random.below(std::uint64_t(total)));
            Kind chosen = Kind::Text;
            for (const auto &[kind, weight] : kinds) {
                if (draw < weight) {
                    chosen = kind;
                    break;
                }
                draw -= weight;
            }
            assign(i, chosen);
        }
    }

    // A link preview is a pair of rows; where the second does not fit, the first is plain text.
    void assign(std::size_t at, Kind kind)
    {
        if (kind == Kind::LinkPreview) {
            if (at + 1 >= m_kinds.size() || m_kinds[at + 1] != Kind::Unassigned) {
                m_kinds[at] = Kind::Text;
                return;
            }
            m_kinds[at + 1] = Kind::LinkPreviewBalloon;
        }
        m_kinds[at] = kind;
    }

    void planChats()
    {
        const std::size_t n = m_kinds.size();
        m_chatPlan.assign(n, 0);
        if (m_chats.isEmpty())
            return;
        // Some conversations are much busier than others: weight 1/(rank + 3) over a shuffled order.
        QList<int> ranked;
        for (int i = 0; i < m_chats.size(); ++i)
            ranked.append(i);
        shuffle(ranked);
        std::vector<std::uint64_t> cumulative;
        std::uint64_t total = 0;
        for (qsizetype rank = 0; rank < ranked.size(); ++rank) {
            total += 1000000 / std::uint64_t(rank + 3);
            cumulative.push_back(total);
        }
        std::vector<int> perChat(std::size_t(m_chats.size()), 0);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t draw = m_random.below(total);
            const auto slot = std::upper_bound(cumulative.begin(), cumulative.end(), draw) - cumulative.begin();
            m_chatPlan[i] = ranked.at(qsizetype(slot));
            if (!dependsOnTarget(m_kinds[i]))
                ++perChat[std::size_t(m_chatPlan[i])];
        }
        // Every chat gets a message of its own where there are rows enough: take rows from
        // chats that have more than one.
        std::size_t donor = 0;
        for (int chat = 0; chat < m_chats.size(); ++chat) {
            if (perChat[std::size_t(chat)] > 0)
                continue;
            while (donor < n
                   && (dependsOnTarget(m_kinds[donor]) || m_kinds[donor] == Kind::LinkPreview
                       || perChat[std::size_t(m_chatPlan[donor])] < 2))
                ++donor;
            if (donor == n)
                break;
            --perChat[std::size_t(m_chatPlan[donor])];
            m_chatPlan[donor] = chat;
            ++perChat[std::size_t(chat)];
            ++donor;
        }
    }

    // The conversation's own address: who the owner's side of the chat is.
    QString destinationCallerId(const Chat &chat) const
    {
        return chat.service == kSms ? SampleContent::ownerPhone() : SampleContent::ownerEmail();
    }

    MessageRecord baseRecord(int chatIndex, qint64 date, bool fromMe, int sender)
    {
        const Chat &chat = m_chats.at(chatIndex);
        MessageRecord record;
        record.guid = m_random.uuid();
        record.service = chat.service;
        record.account = accountLogin(chat.service);
        record.accountGuid = accountGuid(chat.service);
        record.destinationCallerId = destinationCallerId(chat);
        record.cacheRoomnames = chat.roomName;
        record.date = date;
        record.isFromMe = fromMe;
        if (fromMe) {
            record.handleId = chat.group ? 0 : m_handles.at(chat.members.first()).rowId;
            record.isSent = true;
            record.isDelivered = true;
            if (chat.service == kIMessage) {
                record.dateDelivered = date + m_random.between(1, 10) * kSecond;
                if (!chat.group && m_random.perMille(400))
                    record.dateRead = record.dateDelivered + m_random.between(5, 7200) * kSecond;
            }
        } else {
            record.handleId = m_handles.at(sender).rowId;
            record.isDelivered = true;
            if (m_random.perMille(950)) {
                record.isRead = true;
                record.dateRead = date + m_random.between(5, 6 * 3600) * kSecond;
            }
        }
        return record;
    }

    int randomSender(const Chat &chat)
    {
        return chat.members.at(qsizetype(m_random.below(std::uint64_t(chat.members.size()))));
    }

    AttributedBody::Root rootFor(bool fromMe)
    {
        // Bodies from other devices come with either root class.
        return !fromMe && m_random.perMille(200) ? AttributedBody::Root::Immutable : AttributedBody::Root::Mutable;
    }

    void setText(MessageRecord &record, const QString &text)
    {
        record.text = text;
        if (m_writer.hasAttributedBody())
            record.body = AttributedBody::plainText(text, rootFor(record.isFromMe)).encode();
    }

    void remember(const MessageRecord &record, int chat, const QString &summary, qint64 length)
    {
        m_recent.push_back({record.guid, chat, summary, length});
        if (m_recent.size() > 32)
            m_recent.erase(m_recent.begin());
    }

    const Target *recentTarget()
    {
        if (m_recent.empty())
            return nullptr;
        const std::size_t window = std::min<std::size_t>(m_recent.size(), 12);
        return &m_recent[m_recent.size() - 1 - std::size_t(m_random.below(window))];
    }

    static QString summaryOf(const QString &text)
    {
        return SampleContent::quoted(text.size() > 120 ? text.left(120) + QStringLiteral("…") : text);
    }

    QString textFor(Kind kind)
    {
        switch (kind) {
        case Kind::TextEmoji:
            return SampleContent::emojiText(m_random);
        case Kind::TextNonBmp:
            return SampleContent::nonBmpText(m_random);
        case Kind::TextOtherScript:
            return SampleContent::otherScriptText(m_random);
        case Kind::TextMultiline:
            return SampleContent::multilineText(m_random);
        case Kind::TextLong:
            return SampleContent::longText(m_random, int(m_random.between(128, 3000)));
        case Kind::TextHuge:
            return SampleContent::longText(m_random, 65536 + int(m_random.below(4096)));
        case Kind::TextEmpty:
            return QString();
        default:
            return SampleContent::ordinaryText(m_random);
        }
    }

    void countText(Kind kind, const QString &text)
    {
        ++m_summary.texts;
        const qsizetype bytes = text.toUtf8().size();
        if (kind == Kind::TextEmoji)
            ++m_summary.emojiTexts;
        else if (kind == Kind::TextNonBmp)
            ++m_summary.nonBmpTexts;
        else if (kind == Kind::TextOtherScript)
            ++m_summary.otherScriptTexts;
        else if (kind == Kind::TextEmpty)
            ++m_summary.emptyTexts;
        if (bytes >= 128)
            ++m_summary.longTexts;
        if (bytes >= 65536)
            ++m_summary.hugeTexts;
    }

    Result<qint64, SimulatorError> insert(const MessageRecord &record, int chat)
    {
        auto rowId = m_writer.insertMessage(record, m_chats.at(chat).rowId);
        if (!rowId)
            return rowId;
        ++m_summary.messages;
        ++(record.isFromMe ? m_summary.outgoing : m_summary.incoming);
        if (record.service == kSms)
            ++m_summary.smsMessages;
        return rowId;
    }

    Result<void, SimulatorError> writeMessages()
    {
        const qint64 untilNs = MessagesClock::fromUnixMs(m_options.untilUnixMs);
        const qint64 spanNs = qint64(m_options.spanDays) * 86400 * kSecond;
        const qint64 start = untilNs - spanNs;
        const qint64 n = qint64(m_kinds.size());
        const qint64 slot = n > 0 ? std::max<qint64>(1, spanNs / n) : 1;
        qint64 previousDate = 0;
        MessageRecord previous;
        int previousChat = 0;

        for (qint64 i = 0; i < n; ++i) {
            Kind kind = m_kinds[std::size_t(i)];
            int chat = m_chatPlan[std::size_t(i)];
            qint64 date = start + i * slot + qint64(m_random.below(std::uint64_t(std::max<qint64>(1, slot / 2))));
            date = std::max(date, previousDate + 1);

            Result<void, SimulatorError> done;
            switch (kind) {
            case Kind::LinkPreviewBalloon:
                done = writeBalloon(previous, previousChat, previousDate);
                break;
            case Kind::Reply:
            case Kind::TapbackAdd:
            case Kind::TapbackCustom:
            case Kind::TapbackRemoval:
                done = writeDependent(kind, chat, date);
                break;
            case Kind::Image:
            case Kind::Sticker:
            case Kind::AudioUserInfo:
            case Kind::AudioBodyOnly:
                done = writeAttachmentMessage(kind, chat, date);
                break;
            default:
                done = writeText(kind, chat, date, kind == Kind::LinkPreview ? &previous : nullptr);
                break;
            }
            if (!done)
                return done;
            previousDate = m_lastDate;
            previousChat = m_lastChat;
        }
        return {};
    }

    bool outgoing() { return m_random.perMille(450); }

    Result<void, SimulatorError> writeText(Kind kind, int chat, qint64 date, MessageRecord *keep)
    {
        const bool failed = kind == Kind::FailedText;
        const bool fromMe = failed || outgoing();
        const Chat &c = m_chats.at(chat);
        MessageRecord record = baseRecord(chat, date, fromMe, fromMe ? -1 : randomSender(c));
        const QString text = kind == Kind::LinkPreview ? SampleContent::urlText(m_random) : textFor(kind);
        setText(record, text);
        // Messages writes a link as a preview row and, moments later, a second preview row with
        // the same text; both carry the link-preview balloon id.
        if (kind == Kind::LinkPreview && m_writer.hasBalloonBundleId())
            record.balloonBundleId = kUrlBalloon;
        if (failed) {
            record.error = 4;
            record.isSent = false;
            record.isDelivered = false;
            record.dateDelivered = 0;
            record.dateRead = 0;
            ++m_summary.failedOutgoing;
        }
        if (auto rowId = insert(record, chat); !rowId)
            return fail(rowId.error());
        if (kind == Kind::LinkPreview) {
            ++m_summary.linkPreviewTexts;
            *keep = record;
        } else {
            countText(kind, text);
        }
        if (!text.isEmpty())
            remember(record, chat, summaryOf(text), text.size());
        m_lastDate = date;
        m_lastChat = chat;
        return {};
    }

    // The second preview row of a link: same text, chat and sender, a moment later.
    Result<void, SimulatorError> writeBalloon(const MessageRecord &text, int chat, qint64 textDate)
    {
        MessageRecord record = text;
        record.guid = m_random.uuid();
        record.date = textDate + m_random.between(1, 3) * kSecond;
        record.balloonBundleId = kUrlBalloon;
        if (record.dateDelivered)
            record.dateDelivered = record.date + kSecond;
        if (record.dateRead)
            record.dateRead = std::max(record.dateRead, record.date);
        if (auto rowId = insert(record, chat); !rowId)
            return fail(rowId.error());
        ++m_summary.linkPreviewBalloons;
        m_lastDate = record.date;
        m_lastChat = chat;
        return {};
    }

    int senderFor(const Chat &chat, bool fromMe)
    {
        return fromMe ? -1 : randomSender(chat);
    }

    Result<void, SimulatorError> writeDependent(Kind kind, int plannedChat, qint64 date)
    {
        if (kind == Kind::TapbackRemoval && m_added.empty())
            kind = Kind::TapbackAdd;
        const Target *target = kind == Kind::TapbackRemoval ? nullptr : recentTarget();
        if (kind != Kind::TapbackRemoval && !target)
            return writeText(Kind::Text, plannedChat, date, nullptr);

        if (kind == Kind::Reply) {
            const Target replied = *target;
            const Chat &chat = m_chats.at(replied.chat);
            const bool fromMe = outgoing();
            MessageRecord record = baseRecord(replied.chat, date, fromMe, senderFor(chat, fromMe));
            const QString text = SampleContent::ordinaryText(m_random);
            setText(record, text);
            record.threadOriginatorGuid = replied.guid;
            record.threadOriginatorPart = QStringLiteral("0:0:") + QString::number(replied.length);
            if (auto rowId = insert(record, replied.chat); !rowId)
                return fail(rowId.error());
            ++m_summary.replies;
            remember(record, replied.chat, summaryOf(text), text.size());
            m_lastDate = date;
            m_lastChat = replied.chat;
            return {};
        }

        AddedTapback tapback;
        bool removal = false;
        if (kind == Kind::TapbackRemoval) {
            const std::size_t at = std::size_t(m_random.below(m_added.size()));
            tapback = m_added[at];
            m_added.erase(m_added.begin() + qsizetype(at));
            removal = true;
        } else {
            const Chat &chat = m_chats.at(target->chat);
            tapback.target = *target;
            tapback.sender = senderFor(chat, m_random.perMille(400));
            if (kind == Kind::TapbackCustom) {
                tapback.type = 2006;
                tapback.emoji = SampleContent::customEmoji(m_random);
            } else {
                tapback.type = 2000 + qint64(m_random.below(6));
            }
        }

        const int chat = tapback.target.chat;
        MessageRecord record = baseRecord(chat, date, tapback.sender < 0, tapback.sender);
        const qint64 type = removal ? tapback.type + 1000 : tapback.type;
        setText(record, SampleContent::tapbackText(int(type), tapback.emoji, tapback.target.summary));
        record.associatedGuid = QStringLiteral("p:0/") + tapback.target.guid;
        record.associatedType = type;
        record.associatedRangeLength = tapback.target.length;
        if (m_writer.hasCustomReactionEmoji())
            record.associatedEmoji = tapback.emoji;
        if (auto rowId = insert(record, chat); !rowId)
            return fail(rowId.error());
        if (removal) {
            ++m_summary.tapbackRemovals;
        } else {
            ++m_summary.tapbackAdds;
            if (type == 2006)
                ++m_summary.customTapbacks;
            m_added.push_back(tapback);
            if (m_added.size() > 64)
                m_added.erase(m_added.begin());
        }
        m_lastDate = date;
        m_lastChat = chat;
        return {};
    }

    Result<void, SimulatorError> writeAttachmentMessage(Kind kind, int chat, qint64 date)
    {
        const Chat &c = m_chats.at(chat);
        const bool fromMe = outgoing();
        MessageRecord record = baseRecord(chat, date, fromMe, senderFor(c, fromMe));
        const bool audio = kind == Kind::AudioUserInfo || kind == Kind::AudioBodyOnly;

        AttachmentRecord attachment;
        attachment.guid = fromMe ? m_random.uuid() : QStringLiteral("at_0_") + record.guid;
        attachment.createdDate = MessagesClock::toSeconds(date);
        attachment.isOutgoing = fromMe;
        QByteArray bytes;
        QString caption;
        QString transcription;
        QString summary;
        if (kind == Kind::Image) {
            const bool jpeg = m_random.perMille(500);
            bytes = jpeg ? SampleMedia::jpeg(m_random) : SampleMedia::png(m_random);
            attachment.mimeType = jpeg ? QStringLiteral("image/jpeg") : QStringLiteral("image/png");
            attachment.uti = jpeg ? QStringLiteral("public.jpeg") : QStringLiteral("public.png");
            attachment.transferName = QStringLiteral("IMG_%1.%2")
                                          .arg(m_random.between(1000, 9999))
                                          .arg(jpeg ? QStringLiteral("jpeg") : QStringLiteral("png"));
            if (m_random.perMille(250))
                caption = SampleContent::caption(m_random);
            summary = QStringLiteral("an image");
            ++m_summary.imageMessages;
        } else if (kind == Kind::Sticker) {
            bytes = SampleMedia::png(m_random);
            attachment.mimeType = QStringLiteral("image/png");
            attachment.uti = QStringLiteral("public.png");
            attachment.transferName = m_random.uuid() + QStringLiteral(".png");
            attachment.isSticker = true;
            summary = QStringLiteral("a sticker");
            ++m_summary.stickerMessages;
        } else {
            bytes = SampleMedia::caf(m_random);
            attachment.mimeType = QStringLiteral("audio/x-caf");
            attachment.uti = QStringLiteral("com.apple.coreaudio-format");
            attachment.transferName = QStringLiteral("Audio Message.caf");
            transcription = SampleContent::transcription(m_random);
            record.isAudioMessage = true;
            summary = QStringLiteral("an audio message");
            ++m_summary.audioMessages;
            if (kind == Kind::AudioUserInfo && m_writer.hasUserInfo()) {
                attachment.userInfo = MessageWriter::audioUserInfo(transcription);
                ++m_summary.audioTranscriptsInUserInfo;
            } else {
                ++m_summary.audioTranscriptsInBody;
            }
        }
        attachment.totalBytes = bytes.size();

        record.hasAttachments = true;
        record.partCount = caption.isEmpty() ? 1 : 2;
        record.text = QString(AttributedBody::attachmentPlaceholder) + caption;
        if (m_writer.hasAttributedBody()) {
            const bool bodyTranscript = kind == Kind::AudioBodyOnly || (audio && !m_writer.hasUserInfo());
            record.body = audio ? AttributedBody::audioMessage(attachment.guid, bodyTranscript ? transcription : QString())
                                      .encode()
                                : AttributedBody::attachment(attachment.guid, caption).encode();
        }

        const QString relative = attachmentFolder() + QLatin1Char('/') + attachment.transferName;
        attachment.filename = QStringLiteral("~/") + relative;
        if (m_options.writeAttachmentFiles) {
            if (auto written = writeFile(relative, bytes); !written)
                return written;
        }

        auto rowId = insert(record, chat);
        if (!rowId)
            return fail(rowId.error());
        if (auto linked = m_writer.insertAttachment(attachment, *rowId); !linked)
            return fail(linked.error());
        ++m_summary.attachments;
        m_summary.attachmentBytes += bytes.size();
        remember(record, chat, summary, record.text.size());
        m_lastDate = date;
        m_lastChat = chat;
        return {};
    }

    // "Library/Messages/Attachments/xx/yy/<folder>", the way Messages spreads its files.
    QString attachmentFolder()
    {
        return QStringLiteral("Library/Messages/Attachments/%1/%2/%3")
            .arg(m_random.below(256), 2, 16, QLatin1Char('0'))
            .arg(m_random.below(16), 2, 10, QLatin1Char('0'))
            .arg(m_random.uuid());
    }

    Result<void, SimulatorError> writeFile(const QString &relative, const QByteArray &bytes)
    {
        const QString path = m_home + QLatin1Char('/') + relative;
        const QString folder = path.section(QLatin1Char('/'), 0, -2);
        QFile file(path);
        if (!QDir().mkpath(folder) || !file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return fail(SimulatorError{SimulatorError::Kind::File, path + QStringLiteral(": ") + file.errorString()});
        return {};
    }

    MessageWriter &m_writer;
    QString m_home;
    FillOptions m_options;
    SeededRandom m_random;
    FillSummary m_summary;
    QStringList m_accountGuids;
    QList<Handle> m_handles;
    QList<Chat> m_chats;
    std::vector<Kind> m_kinds;
    std::vector<int> m_chatPlan;
    std::vector<Target> m_recent;
    std::vector<AddedTapback> m_added;
    qint64 m_lastDate = 0;
    int m_lastChat = 0;
};

} // namespace

ConversationFiller::ConversationFiller(MessageWriter &writer, QString home, FillOptions options)
    : m_writer(writer)
    , m_home(std::move(home))
    , m_options(std::move(options))
{
}

Result<FillSummary, SimulatorError> ConversationFiller::run()
{
    return FillRun(m_writer, m_home, m_options).run();
}

} // namespace velto::sim
