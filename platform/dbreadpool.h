#pragma once

#include "dbconnection.h"
#include "dberror.h"
#include "result.h"

#include <QString>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

namespace velto::db {

struct ReadPoolOptions {
    QString label; // names the pool in log lines
    int maximumConnections = 4;
    std::chrono::milliseconds busyTimeout{0}; // zero: SQLite's default, no waiting
    int cacheKiB = 0; // page cache of each connection; zero: SQLite's default (about 2 MiB)
};

// A small pool of read-only connections to one database file, for readers that run several
// queries at once from pool threads. Connections are opened on demand up to `maximumConnections`
// (the first at open(), so a file that cannot be opened fails there); acquire() blocks while all
// of them are lent out. Thread-safe. Leases must be returned before the pool is destroyed,
// which holding the pool by shared_ptr in every user arranges.
class ReadPool {
public:
    using Options = ReadPoolOptions;

    // A connection lent by the pool; goes back when the lease is destroyed. Statements prepared
    // on it must be gone by then: the next borrower may be another thread.
    class Lease {
    public:
        Lease(Lease&& other) noexcept;
        Lease& operator=(Lease&&) = delete;
        Lease(const Lease&) = delete;
        ~Lease();
        Connection& connection() { return m_connection; }
        Connection* operator->() { return &m_connection; }

    private:
        friend class ReadPool;
        Lease(ReadPool* pool, Connection connection);
        ReadPool* m_pool;
        Connection m_connection;
    };

    static Result<std::shared_ptr<ReadPool>, Error> open(const QString& path, Options options = {});
    ~ReadPool();
    ReadPool(const ReadPool&) = delete;
    ReadPool& operator=(const ReadPool&) = delete;

    Result<Lease, Error> acquire();

    // Runs `work(Connection&)` on a lent connection. `work` returns Result<T, Error>; a failure
    // to get a connection comes back as the same type.
    template <typename Work>
    auto read(Work&& work) -> std::invoke_result_t<Work, Connection&>
    {
        auto lease = acquire();
        if (!lease)
            return fail(lease.error());
        return std::forward<Work>(work)(lease->connection());
    }

    QString path() const { return m_path; }
    QString label() const { return m_options.label; }
    int openConnections() const;

private:
    ReadPool(QString path, Options options);
    Result<Connection, Error> openConnection() const;
    void giveBack(Connection connection);

    const QString m_path;
    const Options m_options;
    mutable std::mutex m_mutex;
    std::condition_variable m_returned;
    std::vector<Connection> m_idle;
    int m_open = 0;
};

} // namespace velto::db
