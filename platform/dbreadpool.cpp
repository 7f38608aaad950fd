#include "dbreadpool.h"

namespace velto::db {

ReadPool::Lease::Lease(ReadPool* pool, Connection connection)
    : m_pool(pool)
    , m_connection(std::move(connection))
{
}

ReadPool::Lease::Lease(Lease&& other) noexcept
    : m_pool(std::exchange(other.m_pool, nullptr))
    , m_connection(std::move(other.m_connection))
{
}

ReadPool::Lease::~Lease()
{
    if (m_pool)
        m_pool->giveBack(std::move(m_connection));
}

ReadPool::ReadPool(QString path, Options options)
    : m_path(std::move(path))
    , m_options(std::move(options))
{
}

ReadPool::~ReadPool() = default;

Result<std::shared_ptr<ReadPool>, Error> ReadPool::open(const QString& path, Options options)
{
    if (options.maximumConnections < 1)
        options.maximumConnections = 1;
    std::shared_ptr<ReadPool> pool(new ReadPool(path, std::move(options)));
    auto first = pool->openConnection();
    if (!first)
        return fail(first.error());
    pool->m_idle.push_back(std::move(first).value());
    pool->m_open = 1;
    return pool;
}

Result<ReadPool::Lease, Error> ReadPool::acquire()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (!m_idle.empty()) {
            Connection connection = std::move(m_idle.back());
            m_idle.pop_back();
            return Lease(this, std::move(connection));
        }
        if (m_open < m_options.maximumConnections) {
            ++m_open; // reserve the slot, open outside the lock
            lock.unlock();
            auto opened = openConnection();
            if (!opened) {
                lock.lock();
                --m_open;
                m_returned.notify_one();
                return fail(opened.error());
            }
            return Lease(this, std::move(opened).value());
        }
        m_returned.wait(lock);
    }
}

Result<Connection, Error> ReadPool::openConnection() const
{
    auto opened = Connection::openReadOnly(m_path, m_options.busyTimeout);
    if (opened && m_options.cacheKiB > 0) {
        if (auto sized = opened->execute(QStringLiteral("PRAGMA cache_size = -%1").arg(m_options.cacheKiB)); !sized)
            return fail(sized.error());
    }
    return opened;
}

void ReadPool::giveBack(Connection connection)
{
    {
        std::lock_guard lock(m_mutex);
        m_idle.push_back(std::move(connection));
    }
    m_returned.notify_one();
}

int ReadPool::openConnections() const
{
    std::lock_guard lock(m_mutex);
    return m_open;
}

} // namespace velto::db
