#include "chatdbfixture.h"
#include "handleresolver.h"
#include "testsupport.h"

#include <QDir>
#include <QRegularExpression>
#include <QTest>
#include <QtConcurrent>

#include <optional>

using namespace velto;
using velto::test::ChatDbFixture;

Q_DECLARE_METATYPE(std::optional<QString>)

// The resolver reads HOME/Library/Messages/chat.db through a pool it keeps for the whole
// process, so the order of the tests matters: the first runs before the database exists.
class TestHandleResolver : public QObject {
    Q_OBJECT

private:
    test::TemporaryHome m_home;
    std::optional<ChatDbFixture> m_db;

    QString databasePath() const { return QDir(m_home.path()).filePath(QStringLiteral("Library/Messages/chat.db")); }

private Q_SLOTS:
    void absentDatabaseIsLoggedAndRetried()
    {
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^Failed to open chat\\.db for handle resolution: .+")));
        QCOMPARE(HandleResolver::resolveHandleId(1), std::nullopt);

        // The failed open is not remembered: once the file is there, the next call reads it.
        QVERIFY(QDir().mkpath(QFileInfo(databasePath()).absolutePath()));
        QString error;
        m_db = ChatDbFixture::withoutOptionalColumns(databasePath(), &error);
        QVERIFY2(m_db.has_value(), qPrintable(error));
        const qint64 id = m_db->addHandle(QStringLiteral("Friend@Example.com"));
        QCOMPARE(HandleResolver::resolveHandleId(id), std::optional<QString>(QStringLiteral("friend@example.com")));
    }

    void normalisation_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<std::optional<QString>>("expected");
        auto some = [](const char16_t* text) { return std::optional<QString>(QString::fromUtf16(text)); };
        QTest::newRow("US number with punctuation") << QVariant(QStringLiteral("+1 (555) 123-4567")) << some(u"+15551234567");
        QTest::newRow("digits in groups") << QVariant(QStringLiteral("555 123 4567")) << some(u"5551234567");
        QTest::newRow("e-mail in capitals") << QVariant(QStringLiteral("John.Doe@Example.COM")) << some(u"john.doe@example.com");
        QTest::newRow("UK number padded") << QVariant(QStringLiteral(" +44 20 7946 0958 ")) << some(u"+442079460958");
        QTest::newRow("tabs and no-break spaces trimmed")
            << QVariant(QStringLiteral("\t\u00A0+1 555 0100\u00A0")) << some(u"+15550100");
        QTest::newRow("only parentheses") << QVariant(QStringLiteral(" ( ) ")) << some(u"( )");
        QTest::newRow("only a plus sign") << QVariant(QStringLiteral("+")) << some(u"+");
        QTest::newRow("plus inside") << QVariant(QStringLiteral("1+555")) << some(u"1555");
        QTest::newRow("name kept as is") << QVariant(QStringLiteral(" Team Chat ")) << some(u"Team Chat");
        QTest::newRow("short code") << QVariant(QStringLiteral("12345")) << some(u"12345");
        // Line breaks are not trimmed: the "+" is then not the first character.
        QTest::newRow("line break kept") << QVariant(QStringLiteral("\n+1 555\n")) << some(u"1555");
        QTest::newRow("e-mail with line break") << QVariant(QStringLiteral("A@B.C\n")) << some(u"a@b.c\n");
        QTest::newRow("blank") << QVariant(QStringLiteral(" \t ")) << std::optional<QString>();
        QTest::newRow("blob, not text") << QVariant(QByteArray("+15550100")) << std::optional<QString>();
    }

    void normalisation()
    {
        QFETCH(QVariant, stored);
        QFETCH(std::optional<QString>, expected);
        QVERIFY(m_db.has_value());
        const qint64 id = m_db->insert(QStringLiteral("handle"), {{QStringLiteral("id"), stored},
                                                                  {QStringLiteral("service"), QStringLiteral("iMessage")}});
        QVERIFY(id > 0);
        QCOMPARE(HandleResolver::resolveHandleId(id), expected);
        if (stored.typeId() == QMetaType::QString)
            QCOMPARE(HandleResolver::normalize(stored.toString()), expected);
    }

    void unknownRowIsAbsent()
    {
        QVERIFY(m_db.has_value());
        QCOMPARE(HandleResolver::resolveHandleId(987654), std::nullopt);
        QCOMPARE(HandleResolver::resolveHandleId(0), std::nullopt);
    }

    void concurrentAndAsyncCalls()
    {
        QVERIFY(m_db.has_value());
        QList<qint64> ids;
        for (int i = 0; i < 40; ++i)
            ids << m_db->addHandle(QStringLiteral("+1 (555) 000-%1").arg(i, 4, 10, QLatin1Char('0')));
        const QList<std::optional<QString>> resolved
            = QtConcurrent::blockingMapped(ids, [](qint64 id) { return HandleResolver::resolveHandleId(id); });
        for (int i = 0; i < ids.size(); ++i)
            QCOMPARE(resolved.at(i), std::optional<QString>(QStringLiteral("+15550000%1").arg(i, 3, 10, QLatin1Char('0'))));
        QCOMPARE(QCoro::waitFor(HandleResolver::resolveHandleIdAsync(ids.first())),
                 std::optional<QString>(QStringLiteral("+15550000000")));
    }
};

QTEST_GUILESS_MAIN(TestHandleResolver)
#include "tst_handleresolver.moc"
