#pragma once

#include <QList>
#include <QString>
#include <QVariant>

struct sqlite3;

namespace velto::test {

// A read-only connection opened the way the relay opens the Messages database (URI, mode=ro).
// Cells come back as QVariant: NULL invalid, integers qint64, texts QString, blobs QByteArray.
class ReadOnlyDb {
public:
    explicit ReadOnlyDb(const QString &path);
    ~ReadOnlyDb();
    ReadOnlyDb(const ReadOnlyDb &) = delete;
    ReadOnlyDb &operator=(const ReadOnlyDb &) = delete;

    bool isOpen() const { return m_db != nullptr; }
    QString errorText() const { return m_error; }

    // Every row of a query; on an error, no rows and errorText() says why.
    QList<QVariantList> rows(const QString &sql, const QVariantList &parameters = {});
    // The first cell of the first row.
    QVariant value(const QString &sql, const QVariantList &parameters = {});

private:
    sqlite3 *m_db = nullptr;
    QString m_error;
};

} // namespace velto::test
