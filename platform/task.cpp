#include "task.h"

#include <QLoggingCategory>

#include <exception>

namespace velto {

namespace {
Q_LOGGING_CATEGORY(lcTask, "com.velto.relay.Task")

QCoro::Task<> runCatching(QCoro::Task<> task, const char* what)
{
    try {
        co_await std::move(task);
    } catch (const std::exception& e) {
        qCCritical(lcTask) << "Detached" << what << "ended with an exception:" << e.what();
    } catch (...) {
        qCCritical(lcTask) << "Detached" << what << "ended with an unknown exception";
    }
}
} // namespace

void startTask(QCoro::Task<> task, const char* what)
{
    // The wrapper keeps itself alive until the wrapped task completes.
    [[maybe_unused]] auto wrapper = runCatching(std::move(task), what);
}

} // namespace velto
