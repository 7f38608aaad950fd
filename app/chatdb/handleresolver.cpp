#include "handleresolver.h"

#include <dbreadpool.h>
#include <logger.h>
#include <platform.h>

#include <QCoroFuture>
#include <QDir>
#include <QRegularExpression>
#include <QtConcurrent>

#include <mutex>

namespace velto::HandleResolver {

namespace {

const Logger& log()
{
    static const Logger logger("HandleResolver");
    return logger;
}

// Spaces and tabs only: a line break is part of the value.
bool isHorizontalSpace(QChar c)
{
    return c == QLatin1Char('\t') || c.category() == QChar::Separator_Space;
}

QString trimHorizontal(const QString& value)
{
    qsizetype begin = 0;
    qsizetype end = value.size();
    while (begin < end && isHorizontalSpace(value.at(begin)))
        ++begin;
    while (end > begin && isHorizontalSpace(value.at(end - 1)))
        --end;
    return value.mid(begin, end - begin);
}

// The pool is opened once for the whole process; the mutex keeps two first callers from both
// opening one. A failed open is not remembered, so the next call tries again.
std::shared_ptr<db::ReadPool> cachedPool()
{
    static std::mutex mutex;
    static std::shared_ptr<db::ReadPool> pool;
    std::lock_guard lock(mutex);
    if (pool)
        return pool;
    const QString path = QDir(Platform::homeDirectory()).filePath(QStringLiteral("Library/Messages/chat.db"));
    db::ReadPool::Options options;
    options.label = QStringLiteral("HandleResolver");
    auto opened = db::ReadPool::open(path, options);
    if (!opened) {
        log().error(QStringLiteral("Failed to open chat.db for handle resolution: ") + opened.error().description());
        return nullptr;
    }
    pool = std::move(opened).value();
    return pool;
}

} // namespace

std::optional<QString> normalize(const QString& rawId)
{
    // Unicode-aware \d and \s, as the platform's regular expressions have them.
    static const QRegularExpression phoneShape(QStringLiteral("^[+\\d\\s\\-()]+$"),
                                               QRegularExpression::UseUnicodePropertiesOption);
    static const QRegularExpression phonePunctuation(QStringLiteral("[\\s\\-()+]"),
                                                     QRegularExpression::UseUnicodePropertiesOption);
    const QString trimmed = trimHorizontal(rawId);
    if (trimmed.isEmpty())
        return std::nullopt;
    if (phoneShape.match(trimmed).hasMatch()) {
        QString digits = trimmed;
        digits.remove(phonePunctuation);
        if (!digits.isEmpty())
            return trimmed.startsWith(QLatin1Char('+')) ? QLatin1Char('+') + digits : digits;
    }
    if (trimmed.contains(QLatin1Char('@')))
        return trimmed.toLower();
    return trimmed;
}

std::optional<QString> resolveHandleId(qint64 handleId)
{
    const std::shared_ptr<db::ReadPool> pool = cachedPool();
    if (!pool)
        return std::nullopt;
    auto raw = pool->read([handleId](db::Connection& connection) -> Result<std::optional<QString>, db::Error> {
        auto statement = connection.prepare(QStringLiteral("SELECT id FROM handle WHERE ROWID = ?"));
        if (!statement)
            return fail(statement.error());
        if (auto bound = statement->bind(1, handleId); !bound)
            return fail(bound.error());
        auto step = statement->step();
        if (!step)
            return fail(step.error());
        if (!*step)
            return std::optional<QString>();
        return statement->optionalText(0);
    });
    if (!raw) {
        log().error(QStringLiteral("Failed to resolve handle %1: %2").arg(handleId).arg(raw.error().description()));
        return std::nullopt;
    }
    if (!raw.value())
        return std::nullopt;
    return normalize(*raw.value());
}

QCoro::Task<std::optional<QString>> resolveHandleIdAsync(qint64 handleId)
{
    // A named future, not a temporary inside co_await (see ChatDBReader's onPool).
    auto future = QtConcurrent::run([handleId] { return resolveHandleId(handleId); });
    co_return co_await future;
}

} // namespace velto::HandleResolver
