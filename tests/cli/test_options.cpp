#include "cli/options.h"

#include <QtTest>

using lyrane::parseDurationMs;

class OptionsTest : public QObject {
    Q_OBJECT

private slots:
    void acceptedDurations_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("milliseconds");
        QTest::newRow("default") << "0" << 0;
        QTest::newRow("bare seconds") << "5" << 5000;
        QTest::newRow("bare fraction") << "2.25" << 2250;
        QTest::newRow("milliseconds") << "500ms" << 500;
        QTest::newRow("seconds") << "5s" << 5000;
        QTest::newRow("minutes") << "1m" << 60000;
        QTest::newRow("minutes and seconds") << "1m30s" << 90000;
        QTest::newRow("fraction of a second") << "1.5s" << 1500;
        QTest::newRow("hours") << "2h" << 7200000;
        QTest::newRow("letter case ignored") << "1H30M" << 5400000;
        QTest::newRow("upper-case ms") << "250MS" << 250;
        QTest::newRow("three groups") << "1h1m1s" << 3661000;
        QTest::newRow("rounded up") << "0.0006s" << 1;
        QTest::newRow("rounded down") << "0.0004s" << 0;
        QTest::newRow("a whole day") << "24h" << 86400000;
        QTest::newRow("a day in minutes") << "1440m" << 86400000;
    }
    void acceptedDurations() {
        QFETCH(QString, text);
        QFETCH(int, milliseconds);
        const std::optional<int> parsed = parseDurationMs(text);
        QVERIFY2(parsed.has_value(), qPrintable(text));
        QCOMPARE(*parsed, milliseconds);
    }

    void rejectedDurations_data() {
        QTest::addColumn<QString>("text");
        for (const char* text : {"",
                                 "5x",
                                 "-1s",
                                 "-5",
                                 "1e9h",
                                 "1e3",
                                 "s",
                                 "ms",
                                 "1..5s",
                                 ".5s",
                                 "5.s",
                                 "5 s",
                                 " 5s",
                                 "5s ",
                                 "1m-30s",
                                 "24h1ms",
                                 "86400001ms",
                                 "25h",
                                 "inf",
                                 "nan",
                                 "1,5s",
                                 "5sec",
                                 "99999999999999999999h"}) {
            QTest::newRow(text[0] ? text : "empty") << QString::fromLatin1(text);
        }
    }
    void rejectedDurations() {
        QFETCH(QString, text);
        QCOMPARE(parseDurationMs(text), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(OptionsTest)
#include "test_options.moc"
