#pragma once

// Internal to the database-access layer: the shared state behind a Connection and its
// statements. Not installed in any public header.

#include <QByteArray>
#include <QString>

#include <sqlite3.h>

#include <string>
#include <unordered_map>
#include <vector>

namespace velto::db::detail {

struct ConnectionState {
    ~ConnectionState();

    // Takes an idle statement prepared from `sql`, or nullptr when there is none.
    sqlite3_stmt* takeCached(const std::string& sql);
    // Puts a statement back (already reset); finalises it when the cache is full.
    void giveBack(const std::string& sql, sqlite3_stmt* stmt);

    sqlite3* db = nullptr;
    QString path;
    bool readOnly = true;

    // Idle prepared statements by SQL text. Bounded: the store and the readers use a handful
    // of fixed texts, plus a few shapes that depend on how many values an IN list holds.
    static constexpr std::size_t cacheLimit = 64;
    std::unordered_map<std::string, std::vector<sqlite3_stmt*>> idle;
    std::size_t idleCount = 0;
};

} // namespace velto::db::detail
