#pragma once

#include "relayruntime.h"
#include "task.h"

#include <QCoroFuture>
#include <QObject>
#include <QPromise>

#include <memory>

class QThread;

namespace velto {

// Runs one RelayRuntime on a thread of its own (the relay thread) and hands its callbacks
// back to the thread that owns the host, queued, so they arrive in order and never run inside
// the runtime's own call. One host serves one start, as one runtime does.
class RelayRuntimeHost : public QObject {
    Q_OBJECT
public:
    explicit RelayRuntimeHost(QObject* parent = nullptr);
    ~RelayRuntimeHost() override;

    // Invoked on the host's thread.
    std::function<void(ConnectionStage stage, bool connected)> onStateChange;
    std::function<void(LogLevel level, const QString& text, const LogContext& context)> onLog;
    std::function<void(qint64 sent, qint64 received)> onMetrics;
    std::function<void()> onHeartbeat;
    std::function<void(LogLevel level, const QString& text)> onDiagnostic;
    std::function<void(const QStringList& accounts)> onAccountsDetected;

    QCoro::Task<Result<void, RelayRuntimeError>> start(RelayRuntimeOptions options);
    QCoro::Task<> stop();

    // Configures the runtime before start; runs on the relay thread.
    void configure(std::function<void(RelayRuntime&)> setUp);

    // Runs an awaitable operation of the runtime on the relay thread and hands its result back
    // to the caller's thread. `operation` must not capture anything the relay thread may not use.
    template <typename T>
    QCoro::Task<T> callOnRelayThread(std::function<QCoro::Task<T>(RelayRuntime&)> operation);

    // For reading state in tests: runs `read` on the relay thread and waits for it.
    template <typename T>
    T readOnRelayThread(std::function<T(const RelayRuntime&)> read) const;

private:
    void wireCallbacks();
    void runBlockingOnRelayThread(const std::function<void()>& work) const;

    QThread* m_thread = nullptr;
    RelayRuntime* m_runtime = nullptr;
};

namespace detail {
template <typename T>
QCoro::Task<> runOnRelayThread(RelayRuntime* runtime, std::function<QCoro::Task<T>(RelayRuntime&)> operation,
                               std::shared_ptr<QPromise<T>> promise)
{
    // Named: GCC 12 mishandles temporaries inside a co_await expression.
    auto running = operation(*runtime);
    T result = co_await std::move(running);
    promise->addResult(std::move(result));
    promise->finish();
}
} // namespace detail

template <typename T>
QCoro::Task<T> RelayRuntimeHost::callOnRelayThread(std::function<QCoro::Task<T>(RelayRuntime&)> operation)
{
    auto promise = std::make_shared<QPromise<T>>();
    QFuture<T> future = promise->future();
    promise->start();
    RelayRuntime* runtime = m_runtime;
    QMetaObject::invokeMethod(
        runtime,
        [runtime, operation = std::move(operation), promise] {
            startTask(detail::runOnRelayThread<T>(runtime, operation, promise), "relay call");
        },
        Qt::QueuedConnection);
    co_return co_await future;
}

template <typename T>
T RelayRuntimeHost::readOnRelayThread(std::function<T(const RelayRuntime&)> read) const
{
    T value{};
    runBlockingOnRelayThread([&] { value = read(*m_runtime); });
    return value;
}

} // namespace velto
