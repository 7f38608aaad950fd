#include "readonlydb.h"

#include <QUrl>

#include <sqlite3.h>

namespace velto::test {

ReadOnlyDb::ReadOnlyDb(const QString &path)
{
    QUrl uri = QUrl::fromLocalFile(path);
    uri.setQuery(QStringLiteral("mode=ro"));
    if (sqlite3_open_v2(uri.toString(QUrl::FullyEncoded).toUtf8().constData(), &m_db,
                        SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr)
        != SQLITE_OK) {
        m_error = QString::fromUtf8(sqlite3_errmsg(m_db));
        sqlite3_close(m_db);
        m_db = nullptr;
        return;
    }
    // A test reads while the simulator may still be writing: wait for the writer rather than
    // reading nothing (a busy database would otherwise look like an empty result).
    sqlite3_busy_timeout(m_db, 5000);
}

ReadOnlyDb::~ReadOnlyDb()
{
    sqlite3_close(m_db);
}

QList<QVariantList> ReadOnlyDb::rows(const QString &sql, const QVariantList &parameters)
{
    QList<QVariantList> result;
    sqlite3_stmt *statement = nullptr;
    if (!m_db || sqlite3_prepare_v2(m_db, sql.toUtf8().constData(), -1, &statement, nullptr) != SQLITE_OK) {
        m_error = m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QStringLiteral("not open");
        return result;
    }
    for (int i = 0; i < parameters.size(); ++i) {
        const QVariant &parameter = parameters.at(i);
        if (parameter.typeId() == QMetaType::QString) {
            const QByteArray utf8 = parameter.toString().toUtf8();
            sqlite3_bind_text(statement, i + 1, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
        } else {
            sqlite3_bind_int64(statement, i + 1, parameter.toLongLong());
        }
    }
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        QVariantList row;
        for (int column = 0; column < sqlite3_column_count(statement); ++column) {
            switch (sqlite3_column_type(statement, column)) {
            case SQLITE_INTEGER:
                row.append(qint64(sqlite3_column_int64(statement, column)));
                break;
            case SQLITE_FLOAT:
                row.append(sqlite3_column_double(statement, column));
                break;
            case SQLITE_TEXT:
                row.append(QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, column)),
                                             sqlite3_column_bytes(statement, column)));
                break;
            case SQLITE_BLOB:
                row.append(QByteArray(static_cast<const char *>(sqlite3_column_blob(statement, column)),
                                      sqlite3_column_bytes(statement, column)));
                break;
            default:
                row.append(QVariant());
            }
        }
        result.append(row);
    }
    if (rc != SQLITE_DONE)
        m_error = QString::fromUtf8(sqlite3_errmsg(m_db));
    sqlite3_finalize(statement);
    return result;
}

QVariant ReadOnlyDb::value(const QString &sql, const QVariantList &parameters)
{
    const QList<QVariantList> result = rows(sql, parameters);
    return result.isEmpty() || result.first().isEmpty() ? QVariant() : result.first().first();
}

} // namespace velto::test
