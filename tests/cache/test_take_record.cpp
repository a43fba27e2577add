#include "cache/take_record.h"
#include "test_files.h"

#include <QtTest>

using lyrane::TakeRecordError;

class TakeRecordTest : public QObject {
    Q_OBJECT

    QTemporaryDir directory;

private slots:
    void reads_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("chosen");
        QTest::addColumn<int>("takes");
        // clang-format off
        QTest::newRow("chosen") << QByteArray("chosen 2 of 3\n") << int(TakeRecordError::None) << 2 << 3;
        QTest::newRow("no break") << QByteArray("chosen 1 of 1") << int(TakeRecordError::None) << 1 << 1;
        QTest::newRow("beyond") << QByteArray("chosen 4 of 3\n") << int(TakeRecordError::Unreadable) << 0 << 0;
        QTest::newRow("zero") << QByteArray("chosen 0 of 3\n") << int(TakeRecordError::Unreadable) << 0 << 0;
        QTest::newRow("garbage") << QByteArray("\x01\x02take") << int(TakeRecordError::Unreadable) << 0 << 0;
        QTest::newRow("trailing") << QByteArray("chosen 1 of 2\nmore") << int(TakeRecordError::Unreadable) << 0 << 0;
        QTest::newRow("empty") << QByteArray() << int(TakeRecordError::Unreadable) << 0 << 0;
        // clang-format on
    }
    void reads() {
        QFETCH(QByteArray, bytes);
        QFETCH(int, kind);
        QFETCH(int, chosen);
        QFETCH(int, takes);
        const QString path = lyrane::test::writeTestFile(
            directory, QString::fromLatin1(QTest::currentDataTag()), bytes);
        TakeRecordError error = TakeRecordError::None;
        QString message;
        const std::optional<lyrane::TakeRecord> record =
            lyrane::readTakeRecord(path, &error, &message);
        QCOMPARE(int(error), kind);
        QCOMPARE(record.has_value(), kind == int(TakeRecordError::None));
        QCOMPARE(message.isEmpty(), record.has_value());
        if (record) {
            QCOMPARE(record->chosen, chosen);
            QCOMPARE(record->takes, takes);
        }
    }

    void writesWhatItReads() {
        const QString path = directory.filePath(QStringLiteral("key.take"));
        TakeRecordError error = TakeRecordError::None;
        QString message;
        QVERIFY(!lyrane::readTakeRecord(path, &error, &message));
        QCOMPARE(error, TakeRecordError::Missing);
        QVERIFY2(lyrane::writeTakeRecord(path, {3, 5}, &message), qPrintable(message));
        const std::optional<lyrane::TakeRecord> record =
            lyrane::readTakeRecord(path, &error, &message);
        QVERIFY(record && record->chosen == 3 && record->takes == 5);
        QVERIFY(!lyrane::writeTakeRecord(directory.filePath(QStringLiteral("no/such/key.take")),
                                         {1, 2}, &message));
        QVERIFY(message.contains(QStringLiteral("no/such/key.take")));
    }
};

QTEST_GUILESS_MAIN(TakeRecordTest)
#include "test_take_record.moc"
