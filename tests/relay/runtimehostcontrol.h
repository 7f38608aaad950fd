#pragma once
// Starting and stopping a RelayRuntimeHost from a test's main thread, waiting for each.

#include "relayruntimehost.h"

#include <QCoroTask>
#include <QTest>

#include <QUrl>

#include <chrono>
#include <optional>

namespace velto::test {

// Starts the host and waits up to 5 s for the start's outcome; true when it succeeded.
inline bool startHost(RelayRuntimeHost& host, RelayRuntimeOptions options)
{
    std::optional<Result<void, RelayRuntimeError>> outcome;
    // The options are a named copy, not a temporary inside co_await: GCC 12 destroys such
    // temporaries twice.
    auto go = [&]() -> QCoro::Task<> { outcome = co_await host.start(options); };
    go();
    return QTest::qWaitFor([&] { return outcome.has_value(); }, 5000) && outcome->ok();
}

// Starts the host with short reconnect delays and watch timing, so that end-to-end tests do
// not wait out the defaults.
inline bool startQuickHost(RelayRuntimeHost& host, const QUrl& url, const QString& relayId, const QString& key)
{
    using namespace std::chrono_literals;
    host.configure([](RelayRuntime& r) {
        r.setReconnectDelays(0.1, 0.4);
        r.setWatchTiming(50ms, 1000ms);
    });
    return startHost(host, {url.toString(), relayId, key});
}

// Stops the host and waits up to 5 s for the stop to finish.
inline bool stopHost(RelayRuntimeHost& host)
{
    bool done = false;
    auto go = [&]() -> QCoro::Task<> {
        co_await host.stop();
        done = true;
    };
    go();
    return QTest::qWaitFor([&] { return done; }, 5000);
}

} // namespace velto::test
