#include "accountdetectorservice.h"

#include "logger.h"
#include "platform.h"
#include "processrunner.h"
#include "validationservice.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringDecoder>

namespace velto {

namespace {

const Logger& log()
{
    static const Logger logger("AccountDetector");
    return logger;
}

struct Counts {
    qsizetype phones = 0;
    qsizetype emails = 0;
};

Counts countByType(const AccountDetectorService::Accounts& accounts)
{
    Counts counts;
    for (const ManualAccount& account : accounts)
        ++(account.type == AccountType::phone ? counts.phones : counts.emails);
    return counts;
}

// UTF-8 text, or empty when the bytes are not valid UTF-8.
QString strictUtf8(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    return decoder.hasError() ? QString() : text;
}

} // namespace

const QString AccountDetectorService::sqlite3Path = QStringLiteral("/usr/bin/sqlite3");

const QString AccountDetectorService::recentSenderQuery = QStringLiteral(
    "SELECT DISTINCT destination_caller_id AS identifier\n"
    "FROM message\n"
    "WHERE is_from_me = 1\n"
    "AND destination_caller_id IS NOT NULL\n"
    "AND destination_caller_id != ''\n"
    "ORDER BY date DESC\n"
    "LIMIT 50");

QCoro::Task<Result<AccountDetectorService::Accounts, AccountDetectorError>> AccountDetectorService::detectAccounts()
{
    auto viaFramework = detectViaIMCore();
    if (viaFramework && !viaFramework->isEmpty())
        co_return std::move(viaFramework).value();
    log().info(QStringLiteral("IMCore detection unavailable, falling back to chat.db"));
    co_return co_await detectViaChatDb();
}

Result<AccountDetectorService::Accounts, AccountDetectorError> AccountDetectorService::detectViaIMCore()
{
    // The framework ships only with the Mac's own system; accountsFromAliases holds what the
    // route does with the aliases it returns there.
    return fail(AccountDetectorError::imcoreUnavailable());
}

QCoro::Task<Result<AccountDetectorService::Accounts, AccountDetectorError>> AccountDetectorService::detectViaChatDb()
{
    const QString path = QDir(Platform::homeDirectory()).filePath(QStringLiteral("Library/Messages/chat.db"));
    if (!QFileInfo::exists(path))
        co_return fail(AccountDetectorError::databaseNotFound());
    auto output = co_await spawnSqlite3(path, recentSenderQuery);
    if (!output)
        co_return fail(output.error());
    Accounts accounts = accountsFromQueryOutput(output.value());
    const Counts counts = countByType(accounts);
    log().info(QStringLiteral("chat.db: detected %1 accounts (%2 phone, %3 email)")
                   .arg(accounts.size())
                   .arg(counts.phones)
                   .arg(counts.emails));
    co_return accounts;
}

QCoro::Task<Result<QString, AccountDetectorError>> AccountDetectorService::spawnSqlite3(QString dbPath, QString query)
{
    // Exactly the path and the query: the shell's default output mode prints one value a line.
    // Named, not a braced list inside the co_await: GCC 12 cannot build the coroutine frame for that.
    QStringList arguments{dbPath, query};
    const ProcessResult result = co_await runProcess(sqlite3Path, std::move(arguments), QByteArray(), sqlite3TimeLimit);
    co_return interpretSqlite3Result(result);
}

Result<QString, AccountDetectorError> AccountDetectorService::interpretSqlite3Result(const ProcessResult& result)
{
    switch (result.outcome) {
    case ProcessResult::Outcome::failedToStart:
        return fail(AccountDetectorError::launchFailed(result.errorText));
    case ProcessResult::Outcome::timedOut:
        // The shell waits on nothing: one that does not end holds a lock it should not.
        return fail(AccountDetectorError::queryFailed(result.errorText));
    case ProcessResult::Outcome::crashed:
    case ProcessResult::Outcome::finished:
        break;
    }
    if (result.succeeded())
        return strictUtf8(result.standardOutput);
    const QString errorText = strictUtf8(result.standardError).trimmed();
    if (errorText.toLower().contains(QLatin1String("operation not permitted")))
        return fail(AccountDetectorError::permissionDenied());
    return fail(AccountDetectorError::queryFailed(errorText.isEmpty() ? result.errorText : errorText));
}

AccountDetectorService::Accounts AccountDetectorService::accountsFromAliases(const QStringList& aliases)
{
    Accounts accounts;
    for (const QString& alias : aliases) {
        if (alias.startsWith(QLatin1String("e:")) && alias.size() > 2)
            accounts.append(ManualAccount::create(AccountType::email, alias.mid(2)));
        else if (alias.startsWith(QLatin1String("tel:")) && alias.size() > 4)
            accounts.append(ManualAccount::create(AccountType::phone, alias.mid(4)));
    }
    const Counts counts = countByType(accounts);
    log().info(QStringLiteral("IMCore: detected %1 vetted aliases (%2 phone, %3 email)")
                   .arg(accounts.size())
                   .arg(counts.phones)
                   .arg(counts.emails));
    return accounts;
}

AccountDetectorService::Accounts AccountDetectorService::accountsFromQueryOutput(const QString& output)
{
    static const QRegularExpression lineBreaks(QStringLiteral("[\\n\\r\\x{000B}\\x{000C}\\x{0085}\\x{2028}\\x{2029}]"));
    static const QRegularExpression upperCaseUuid(
        QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"));
    Accounts accounts;
    for (const QString& piece : output.split(lineBreaks, Qt::SkipEmptyParts)) {
        const QString line = piece.trimmed();
        if (line.isEmpty() || upperCaseUuid.match(line).hasMatch())
            continue;
        if (!line.contains(u'@') && !line.startsWith(u'+'))
            continue;
        accounts.append(ManualAccount::create(ValidationService::getAccountType(line), line));
    }
    return accounts;
}

} // namespace velto
