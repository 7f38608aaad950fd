#pragma once
// Waiting for a coroutine from a test's (or a benchmark's) main thread.

#include <QEventLoop>

#include <QCoroTask>

#include <optional>

namespace velto::test {

// Runs the event loop until the task has its result. Unlike QCoro::waitFor it needs no
// default-constructible result, so a Result<T, E> can be awaited.
template <typename T>
T await(QCoro::Task<T>&& task)
{
    std::optional<T> result;
    QEventLoop loop;
    auto continuation = std::move(task).then([&result, &loop](T value) {
        result = std::move(value);
        loop.quit();
    });
    if (!result)
        loop.exec();
    return std::move(*result);
}

inline void await(QCoro::Task<>&& task)
{
    bool done = false;
    QEventLoop loop;
    auto continuation = std::move(task).then([&done, &loop] {
        done = true;
        loop.quit();
    });
    if (!done)
        loop.exec();
}

} // namespace velto::test
