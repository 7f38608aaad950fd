#include "messagewatcher.h"

#include "messagestore.h"
#include "messagewatcherfiles.h"

#include <logger.h>
#include <task.h>

#include <QCoroFuture>
#include <QtConcurrent>

#include <algorithm>

namespace velto {

namespace {

const Logger& log()
{
    static const Logger logger("MessageWatcher");
    return logger;
}

} // namespace

// One watch, from start() to stop() or failure. Reads in flight keep theirs and deliver only
// while it is still the watcher's current one.
struct MessageWatcher::WatchState {
    std::optional<qint64> chatID;
    qint64 cursor = 0;     // the highest row id delivered, or the start point
    bool startRule = true; // the first read takes MAX(ROWID) as the start point
    bool polling = false;
    bool pollAgain = false; // the debounce ran out while a read was in flight
    bool checking = false;  // a safety check is in flight
    // MAX(ROWID) seen by the last safety check that asked for a read, and how far reads are known
    // to have looked: a chat-restricted watch, or one whose last rows were left out as duplicate
    // link previews, has a cursor below MAX(ROWID) for good, and must not read again every check.
    qint64 safetyMark = 0;
    qint64 coveredRowID = 0;
    FileIdentity databaseFile; // the file the store reads
};

MessageWatcher::MessageWatcher(std::shared_ptr<MessageStore> store, MessageWatcherConfiguration configuration,
                               QObject* parent)
    : QObject(parent)
    , m_store(std::move(store))
    , m_configuration(configuration)
    , m_debounce(this)
    , m_safetyCheck(this)
{
    Q_ASSERT(m_store);
    m_debounce.setSingleShot(true);
    m_debounce.setInterval(m_configuration.debounceInterval);
    connect(&m_debounce, &QTimer::timeout, this, &MessageWatcher::onDebounceElapsed);
    m_safetyCheck.setSingleShot(true);
    m_safetyCheck.setInterval(m_configuration.safetyCheckInterval);
    connect(&m_safetyCheck, &QTimer::timeout, this, &MessageWatcher::onSafetyCheckDue);
}

MessageWatcher::~MessageWatcher()
{
    stop();
}

qint64 MessageWatcher::cursor() const
{
    return m_state ? m_state->cursor : 0;
}

QStringList MessageWatcher::watchedPaths() const
{
    return m_files ? m_files->watchedPaths() : QStringList();
}

void MessageWatcher::start(std::optional<qint64> sinceRowID, std::optional<qint64> chatID)
{
    stop();
    auto state = std::make_shared<WatchState>();
    state->chatID = chatID;
    state->cursor = std::max<qint64>(0, sinceRowID.value_or(0));
    state->startRule = state->cursor == 0;
    state->databaseFile = FileIdentity::of(m_store->path());
    m_state = state;

    // Created here, on the thread start() runs on, which is where its events must arrive.
    m_files = new MessageWatcherFiles(m_store->path(), this);
    connect(m_files, &MessageWatcherFiles::changed, this, &MessageWatcher::onFilesChanged);
    connect(m_files, &MessageWatcherFiles::unreliable, this, [this](const QString& reason) {
        log().error(reason);
        Q_EMIT becameUnreliable(reason);
    });
    const QStringList problems = m_files->arm();
    log().info(QStringLiteral("Watching %1 from ROWID %2")
                   .arg(Logger::priv(m_store->path()))
                   .arg(state->startRule ? QStringLiteral("MAX(ROWID)") : QString::number(state->cursor)));
    restartSafetyCheck();

    QMetaObject::invokeMethod(
        this,
        [this, state, problems] {
            for (const QString& problem : problems) {
                if (m_state != state)
                    return;
                log().error(problem);
                Q_EMIT becameUnreliable(problem);
            }
            if (m_state == state)
                startPoll();
        },
        Qt::QueuedConnection);
}

void MessageWatcher::stop()
{
    if (!m_state)
        return;
    m_state.reset();
    m_debounce.stop();
    m_safetyCheck.stop();
    if (m_files) {
        m_files->disconnect(this);
        // Not deleted at once: stop() may run inside a slot connected to one of its signals.
        m_files->deleteLater();
        m_files = nullptr;
    }
    log().info(QStringLiteral("Stopped watching"));
}

void MessageWatcher::onFilesChanged()
{
    if (!m_state || m_fileEventsIgnored)
        return;
    restartSafetyCheck();
    schedulePoll();
}

void MessageWatcher::schedulePoll()
{
    // The read comes debounceInterval after the first event; events until then join it.
    if (!m_state || m_debounce.isActive())
        return;
    m_debounce.start();
}

void MessageWatcher::onDebounceElapsed()
{
    if (!m_state)
        return;
    // Reads never overlap: two reads from the same cursor would deliver rows twice.
    if (m_state->polling) {
        m_state->pollAgain = true;
        return;
    }
    startPoll();
}

void MessageWatcher::startPoll()
{
    m_state->polling = true;
    m_state->pollAgain = false;
    startTask(poll(m_state), "message watcher read");
}

QCoro::Task<> MessageWatcher::poll(std::shared_ptr<WatchState> state)
{
    Guard<MessageWatcher> guard(this);
    const auto current = [&guard, &state, this] { return guard.alive() && m_state == state; };
    std::shared_ptr<MessageStore> store = m_store;
    const int limit = m_configuration.batchLimit;

    // A connection keeps reading the file it opened; after a replacement that is a file nobody
    // writes any more (or, worse, one paired with the new file's companions).
    const FileIdentity file = FileIdentity::of(store->path());
    if (file.exists && file != state->databaseFile) {
        log().info(QStringLiteral("The database file was replaced on disk; opening it again"));
        auto opening = QtConcurrent::run([path = store->path()] { return MessageStore::open(path); });
        auto reopened = co_await opening;
        if (!current())
            co_return;
        if (!reopened) {
            failWatch(reopened.error());
            co_return;
        }
        m_store = reopened.value();
        store = m_store;
        state->databaseFile = file;
        Q_EMIT storeReopened();
        if (!current())
            co_return;
    }

    if (state->startRule) {
        auto maxTask = store->maxRowIDAsync();
        auto max = co_await maxTask;
        if (!current())
            co_return;
        if (!max) {
            failWatch(max.error());
            co_return;
        }
        state->cursor = max.value();
        state->coveredRowID = max.value();
        state->startRule = false;
    }

    const qint64 mark = state->safetyMark;
    auto rowsTask = store->messagesAfterAsync(state->cursor, state->chatID, limit, m_configuration.includeReactions);
    auto rows = co_await rowsTask;
    if (!current())
        co_return;
    if (!rows) {
        failWatch(rows.error());
        co_return;
    }
    QList<Message> batch = std::move(rows).value();
    for (const Message& message : batch)
        state->cursor = std::max(state->cursor, message.rowID);
    // A read that was not cut short by the limit has seen every row the safety check saw before it.
    if (limit <= 0 || batch.size() < limit)
        state->coveredRowID = std::max(state->coveredRowID, mark);
    state->polling = false;

    const int delivered = int(batch.size());
    if (!batch.isEmpty()) {
        Q_EMIT messagesArrived(batch);
        if (!current())
            co_return;
    }
    Q_EMIT pollFinished(delivered);
    if (!current())
        co_return;
    // A full batch schedules nothing by itself: the next change or the safety check reads on.
    if (state->pollAgain)
        startPoll();
}

void MessageWatcher::restartSafetyCheck()
{
    if (m_configuration.safetyCheckInterval.count() > 0)
        m_safetyCheck.start();
}

void MessageWatcher::onSafetyCheckDue()
{
    if (!m_state)
        return;
    if (m_state->polling || m_state->checking || m_debounce.isActive()) {
        restartSafetyCheck();
        return;
    }
    m_state->checking = true;
    startTask(safetyCheck(m_state), "message watcher safety check");
}

QCoro::Task<> MessageWatcher::safetyCheck(std::shared_ptr<WatchState> state)
{
    Guard<MessageWatcher> guard(this);
    std::shared_ptr<MessageStore> store = m_store;
    auto maxTask = store->maxRowIDAsync();
    auto max = co_await maxTask;
    if (!guard.alive() || m_state != state)
        co_return;
    state->checking = false;
    if (!max) {
        failWatch(max.error());
        co_return;
    }
    if (max.value() > std::max(state->cursor, state->coveredRowID)) {
        log().info(QStringLiteral("Rows after ROWID %1 are waiting with no file event; reading them").arg(state->cursor));
        state->safetyMark = max.value();
        schedulePoll();
    }
    restartSafetyCheck();
}

void MessageWatcher::failWatch(const TolkaError& error)
{
    log().error(QStringLiteral("Reading new messages failed: ") + error.description());
    stop();
    Q_EMIT failed(error);
}

} // namespace velto
