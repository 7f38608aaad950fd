#include "relayruntimehost.h"

#include "task.h"

#include <QCoroFuture>
#include <QPromise>
#include <QThread>

#include <memory>

namespace velto {

namespace {
using StartResult = Result<void, RelayRuntimeError>;

QCoro::Task<> runStart(RelayRuntime* runtime, RelayRuntimeOptions options, std::shared_ptr<QPromise<StartResult>> promise)
{
    const StartResult result = co_await runtime->start(std::move(options));
    promise->addResult(result);
    promise->finish();
}

QCoro::Task<> runStop(RelayRuntime* runtime, std::shared_ptr<QPromise<void>> promise)
{
    co_await runtime->stop();
    promise->finish();
}
} // namespace

RelayRuntimeHost::RelayRuntimeHost(QObject* parent)
    : QObject(parent)
    , m_thread(new QThread)
    , m_runtime(new RelayRuntime)
{
    m_thread->setObjectName(QStringLiteral("relay"));
    m_runtime->moveToThread(m_thread);
    connect(m_thread, &QThread::finished, m_runtime, &QObject::deleteLater);
    wireCallbacks();
    m_thread->start();
}

RelayRuntimeHost::~RelayRuntimeHost()
{
    // The owner stops the runtime first; this only ends the thread and frees the runtime there.
    m_thread->quit();
    m_thread->wait();
    delete m_thread;
}

void RelayRuntimeHost::wireCallbacks()
{
    // Set before the thread starts, so nothing races with these assignments.
    const QPointer<RelayRuntimeHost> self(this);
    auto post = [self](auto&& call) {
        QMetaObject::invokeMethod(
            self.data(),
            [self, call = std::forward<decltype(call)>(call)] {
                if (self)
                    call(*self);
            },
            Qt::QueuedConnection);
    };
    m_runtime->onStateChange = [post](ConnectionStage stage, bool connected) {
        post([=](RelayRuntimeHost& h) { if (h.onStateChange) h.onStateChange(stage, connected); });
    };
    m_runtime->onLog = [post](LogLevel level, const QString& text, const LogContext& context) {
        post([=](RelayRuntimeHost& h) { if (h.onLog) h.onLog(level, text, context); });
    };
    m_runtime->onMetrics = [post](qint64 sent, qint64 received) {
        post([=](RelayRuntimeHost& h) { if (h.onMetrics) h.onMetrics(sent, received); });
    };
    m_runtime->onHeartbeat = [post] {
        post([](RelayRuntimeHost& h) { if (h.onHeartbeat) h.onHeartbeat(); });
    };
    m_runtime->onDiagnostic = [post](LogLevel level, const QString& text) {
        post([=](RelayRuntimeHost& h) { if (h.onDiagnostic) h.onDiagnostic(level, text); });
    };
    m_runtime->onAccountsDetected = [post](const QStringList& accounts) {
        post([=](RelayRuntimeHost& h) { if (h.onAccountsDetected) h.onAccountsDetected(accounts); });
    };
}

void RelayRuntimeHost::configure(std::function<void(RelayRuntime&)> setUp)
{
    runBlockingOnRelayThread([&] { setUp(*m_runtime); });
}

void RelayRuntimeHost::runBlockingOnRelayThread(const std::function<void()>& work) const
{
    QMetaObject::invokeMethod(m_runtime, [&work] { work(); }, Qt::BlockingQueuedConnection);
}

QCoro::Task<Result<void, RelayRuntimeError>> RelayRuntimeHost::start(RelayRuntimeOptions options)
{
    auto promise = std::make_shared<QPromise<StartResult>>();
    QFuture<StartResult> future = promise->future();
    promise->start();
    RelayRuntime* runtime = m_runtime;
    QMetaObject::invokeMethod(
        runtime, [runtime, options, promise] { startTask(runStart(runtime, options, promise), "relay start"); },
        Qt::QueuedConnection);
    co_return co_await future;
}

QCoro::Task<> RelayRuntimeHost::stop()
{
    auto promise = std::make_shared<QPromise<void>>();
    QFuture<void> future = promise->future();
    promise->start();
    RelayRuntime* runtime = m_runtime;
    QMetaObject::invokeMethod(
        runtime, [runtime, promise] { startTask(runStop(runtime, promise), "relay stop"); }, Qt::QueuedConnection);
    co_await future;
}

} // namespace velto
