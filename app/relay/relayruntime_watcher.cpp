// The runtime's side of the live bridge: starting it after authentication, sending its events,
// reconciling echoes of requested sends, and saving the read position once the server has
// read the rows' events.
#include "relayruntime.h"

#include "attachmentuploader.h"
#include "chatdbreader.h"
#include "envelope.h"
#include "sessionmessages.h"
#include "statemanager.h"
#include "task.h"
#include "tolkawatcher.h"
#include "websocketclient.h"

#include <QDateTime>
#include <QTimer>

#include <cmath>

namespace velto {

void RelayRuntime::startTolkaWatcher()
{
    stopLiveWatcher();
    const qint64 saved = m_stateManager->loadLastRowId();
    if (saved > 0) {
        launchTolkaWatcher(saved);
        return;
    }
    startTask(startTolkaWatcherFromNewest(++m_watcherStartGeneration), "message watcher start");
}

QCoro::Task<> RelayRuntime::startTolkaWatcherFromNewest(quint64 generation)
{
    // Nothing has been forwarded yet, so forwarding starts at the newest row. That row is kept as
    // the read position: a watcher started later (after a lost connection, a failed read or a
    // restart of the relay) then goes on from here, rather than from the newest row of its own
    // time, which would skip every row written in between.
    const Guard<RelayRuntime> guard(this);
    const std::shared_ptr<ChatDBReader> reader = co_await openedChatDB();
    if (!guard.alive() || generation != m_watcherStartGeneration || !m_isRunning)
        co_return;
    QCoro::Task<Result<qint64, db::Error>> newest = reader->getLatestRowId();
    const Result<qint64, db::Error> found = co_await newest;
    if (!guard.alive() || generation != m_watcherStartGeneration || !m_isRunning)
        co_return;
    qint64 start = 0; // unknown: the watcher's own first read takes the newest row
    if (found && *found > 0) {
        start = *found;
        (void)m_stateManager->saveLastRowId(start); // a failed save only brings back the old gap
    }
    launchTolkaWatcher(start);
}

void RelayRuntime::launchTolkaWatcher(qint64 start)
{
    auto* watcher = new TolkaWatcher(this);
    watcher->lastRowId = start;
    watcher->attachmentUploader = m_attachmentUploader;
    if (m_watchTiming)
        watcher->setWatchTiming(m_watchTiming->first, m_watchTiming->second);

    const QPointer<RelayRuntime> self(this);
    watcher->onMessage = [self](qint64 rowId, const QString&) {
        if (self)
            self->rowHandedOn(rowId);
    };
    watcher->onReceivedMessage = [self](const QJsonObject& event) {
        if (!self || !self->sendLiveEvent(event))
            return false;
        ++self->m_messagesReceived;
        if (self->onMetrics)
            self->onMetrics(self->m_messagesSent, self->m_messagesReceived);
        return true;
    };
    watcher->onReactionEvent = [self](const QJsonObject& event) { return self && self->sendLiveEvent(event); };
    watcher->onSentMessage = [self](const QJsonObject& event) { return self && self->reconcileSentMessage(event); };
    watcher->onStopped = [self](const QString& reason, bool readFailed) {
        if (self)
            self->liveWatcherStopped(reason, readFailed);
    };
    m_tolkaWatcher = watcher;
    watcher->start();
    log(LogLevel::info, QStringLiteral("Message watcher started from ROWID ") + QString::number(start));
}

void RelayRuntime::stopLiveWatcher()
{
    ++m_watcherStartGeneration;
    m_watcherRestart->stop();
    m_unconfirmedRows.clear();
    if (TolkaWatcher* watcher = m_tolkaWatcher) {
        m_tolkaWatcher = nullptr;
        watcher->stop();
        watcher->deleteLater();
    }
}

bool RelayRuntime::sendLiveEvent(const QJsonObject& event)
{
    return m_isIdentified && sendRawEvent(event);
}

void RelayRuntime::rowHandedOn(qint64 rowId)
{
    if (!m_webSocket)
        return;
    // The row counts once the server has read its event: remember which frame carried it and
    // ask the connection to confirm.
    m_unconfirmedRows.append({m_webSocket->framesSent(), rowId});
    m_watcherRestartDelay = kWatcherRestartBase;
    m_webSocket->requestDeliveryConfirmation();
}

void RelayRuntime::framesConfirmed(quint64 confirmedFrames)
{
    std::optional<qint64> highest;
    while (!m_unconfirmedRows.isEmpty() && m_unconfirmedRows.first().first <= confirmedFrames)
        highest = m_unconfirmedRows.takeFirst().second;
    if (!highest)
        return;
    // A failed save only means a few rows may be sent again after a restart.
    (void)m_stateManager->saveLastRowId(*highest);
}

void RelayRuntime::liveWatcherStopped(const QString& reason, bool readFailed)
{
    m_unconfirmedRows.clear();
    if (!readFailed) {
        // An event could not be sent: the connection is going; the next authentication resumes
        // from the saved read position.
        log(LogLevel::warn, QStringLiteral("Live forwarding paused: ") + reason);
        return;
    }
    const int delay = m_watcherRestartDelay;
    m_watcherRestartDelay = std::min(m_watcherRestartDelay * 2, kWatcherRestartMax);
    log(LogLevel::error, QStringLiteral("Message watcher failed: %1; restarting in %2 ms").arg(reason).arg(delay));
    m_watcherRestart->start(delay);
}

bool RelayRuntime::reconcileSentMessage(const QJsonObject& event)
{
    const QString recipient = event.value(QLatin1String("recipient")).toString();
    const QString text = event.value(QLatin1String("text")).toString();
    const QString guid = event.value(QLatin1String("guid")).toString();
    const double sentAt = event.value(QLatin1String("sent_at")).toDouble(0);
    const bool isSent = event.value(QLatin1String("is_sent")).toBool(false);
    const QJsonValue sendError = event.value(QLatin1String("send_error"));
    const auto attachmentCount = event.value(QLatin1String("attachments")).toArray().size();
    const QString tag = QStringLiteral("dupe-images");
    auto yesNo = [](bool b) { return b ? QStringLiteral("true") : QStringLiteral("false"); };

    log(LogLevel::debug, QStringLiteral("[dupe-images] watcher onSentMessage"),
        {{QStringLiteral("tag"), tag},
         {QStringLiteral("guid"), guid},
         {QStringLiteral("recipient"), recipient},
         {QStringLiteral("textLength"), QString::number(text.size())},
         {QStringLiteral("textEmpty"), yesNo(text.isEmpty())},
         {QStringLiteral("attachmentCount"), QString::number(attachmentCount)},
         {QStringLiteral("trackingCacheSize"), QString::number(m_sentMessagesCache.size())}});

    // A match forgets the tracked send; keep a copy in case the update cannot be handed on.
    const QHash<QString, SentMessageTracking> trackedBefore = m_sentMessagesCache;
    const auto [matched, messageId] = matchSentMessage(recipient, text, sentAt);
    bool handedOn = false;
    if (matched && messageId && !guid.isEmpty()) {
        log(LogLevel::debug, QStringLiteral("[dupe-images] watcher matched -> SENT_MESSAGE_GUID_UPDATE"),
            {{QStringLiteral("tag"), tag}, {QStringLiteral("guid"), guid}, {QStringLiteral("messageId"), *messageId}});
        OutboundSentMessageGuidUpdate update;
        update.messageId = *messageId;
        update.guid = guid;
        update.timestamp = Envelope::nowMilliseconds();
        update.isSent = isSent;
        if (sendError.isDouble())
            update.sendError = sendError.toInteger();
        handedOn = m_webSocket && m_isIdentified && m_webSocket->sendTyped(update.toJson()).ok();
        // The row comes again after the next authentication and must still find its send.
        if (!handedOn)
            m_sentMessagesCache.insert(*messageId, trackedBefore.value(*messageId));
    } else {
        log(LogLevel::debug, QStringLiteral("[dupe-images] watcher unmatched -> MESSAGE_SENT"),
            {{QStringLiteral("tag"), tag},
             {QStringLiteral("guid"), guid},
             {QStringLiteral("matched"), yesNo(matched)},
             {QStringLiteral("guidEmpty"), yesNo(guid.isEmpty())},
             {QStringLiteral("trackingCacheSize"), QString::number(m_sentMessagesCache.size())}});
        handedOn = sendLiveEvent(event);
    }
    if (!handedOn)
        return false;
    ++m_messagesSent;
    if (onMetrics)
        onMetrics(m_messagesSent, m_messagesReceived);
    return true;
}

std::pair<bool, std::optional<QString>> RelayRuntime::matchSentMessage(const QString& recipient, const QString& body,
                                                                      double sentAt)
{
    for (auto it = m_sentMessagesCache.begin(); it != m_sentMessagesCache.end(); ++it) {
        const SentMessageTracking& e = it.value();
        const bool bodyMatches = e.body == body;
        const bool recipientMatches = e.recipient == recipient;
        const double timeDiff = std::abs(sentAt - e.timestamp);
        const bool inWindow = timeDiff <= 30000;
        auto yesNo = [](bool b) { return b ? QStringLiteral("true") : QStringLiteral("false"); };
        log(LogLevel::debug, QStringLiteral("[dupe-images] matchSentMessage candidate"),
            {{QStringLiteral("tag"), QStringLiteral("dupe-images")},
             {QStringLiteral("trackingMessageId"), e.messageId},
             {QStringLiteral("trackingRecipient"), e.recipient},
             {QStringLiteral("trackingBodyLength"), QString::number(e.body.size())},
             {QStringLiteral("incomingBodyLength"), QString::number(body.size())},
             {QStringLiteral("incomingRecipient"), recipient},
             {QStringLiteral("bodyMatches"), yesNo(bodyMatches)},
             {QStringLiteral("recipientMatches"), yesNo(recipientMatches)},
             {QStringLiteral("timeDiffMs"), QString::number(qint64(timeDiff))},
             {QStringLiteral("inWindow"), yesNo(inWindow)}});
        if (bodyMatches && recipientMatches && inWindow) {
            const QString id = e.messageId;
            m_sentMessagesCache.erase(it);
            return {true, id};
        }
    }
    return {false, std::nullopt};
}

} // namespace velto
