#pragma once

#include "accountdetectorerror.h"
#include "manualaccount.h"
#include "result.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <QCoroTask>

#include <chrono>

namespace velto {

struct ProcessResult;

// Finds the addresses this Mac sends messages from: the messaging account's vetted aliases
// where the private messaging framework exists, else the sender addresses of recent outgoing
// messages in the Messages database, read with the sqlite3 shell. Stateless; any task may
// call it. The shell runs as a child process, so nothing here blocks the calling thread.
class AccountDetectorService {
public:
    using Accounts = QList<ManualAccount>;

    static const QString sqlite3Path;           // "/usr/bin/sqlite3"
    static const QString recentSenderQuery;     // the query run on the Messages database
    static constexpr std::chrono::milliseconds sqlite3TimeLimit{30000};

    // The aliases when the framework finds any, else the database route (whose failure this is).
    static QCoro::Task<Result<Accounts, AccountDetectorError>> detectAccounts();
    // The private framework does not exist on this platform: always imcoreUnavailable.
    static Result<Accounts, AccountDetectorError> detectViaIMCore();
    // HOME/Library/Messages/chat.db through the sqlite3 shell; databaseNotFound without
    // starting a process when the file is missing.
    static QCoro::Task<Result<Accounts, AccountDetectorError>> detectViaChatDb();
    // The shell's standard output for `query` on `dbPath`.
    static QCoro::Task<Result<QString, AccountDetectorError>> spawnSqlite3(QString dbPath, QString query);

    // The steps that need no system, shared by the routes above.
    // Aliases "e:ADDRESS" and "tel:NUMBER" as accounts, in order; others and empty ones skipped.
    static Accounts accountsFromAliases(const QStringList& aliases);
    // The shell's output as accounts: lines trimmed, upper-case UUIDs and lines that neither
    // contain "@" nor start with "+" dropped, the rest classified, in the output's order.
    static Accounts accountsFromQueryOutput(const QString& output);
    // How a finished (or failed) shell run reads: its output, or the error it stands for.
    static Result<QString, AccountDetectorError> interpretSqlite3Result(const ProcessResult& result);
};

} // namespace velto
