#include "runs/take_requests.h"

#include <QtTest>

using Ranges = QList<QPair<int, int>>;
using Choices = QMap<int, int>;

class TakeRequestsTest : public QObject {
    Q_OBJECT

private slots:
    void cueRanges_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<Ranges>("ranges");
        // clang-format off
        QTest::newRow("one") << "17" << true << Ranges{{17, 17}};
        QTest::newRow("list and range") << "3,17,23-25" << true << Ranges{{3, 3}, {17, 17}, {23, 25}};
        QTest::newRow("spaces") << " 3 , 4 - 5 " << true << Ranges{{3, 3}, {4, 5}};
        QTest::newRow("zero") << "0" << false << Ranges{};
        QTest::newRow("backwards") << "5-4" << false << Ranges{};
        QTest::newRow("empty item") << "1,,2" << false << Ranges{};
        QTest::newRow("open range") << "4-" << false << Ranges{};
        QTest::newRow("two dashes") << "1-2-3" << false << Ranges{};
        QTest::newRow("sign") << "+3" << false << Ranges{};
        QTest::newRow("too large") << "9999999999" << false << Ranges{};
        QTest::newRow("word") << "all" << false << Ranges{};
        // clang-format on
    }
    void cueRanges() {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(Ranges, ranges);
        const std::optional<Ranges> parsed = lyrane::parseCueRanges(text);
        QCOMPARE(parsed.has_value(), valid);
        QCOMPARE(parsed.value_or(Ranges{}), ranges);
    }

    void takeChoices_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<Choices>("choices");
        // clang-format off
        QTest::newRow("one") << "17=1" << true << Choices{{17, 1}};
        QTest::newRow("two") << "17=1, 23=3" << true << Choices{{17, 1}, {23, 3}};
        QTest::newRow("cue twice") << "17=1,17=2" << false << Choices{};
        QTest::newRow("take zero") << "17=0" << false << Choices{};
        QTest::newRow("no take") << "17" << false << Choices{};
        QTest::newRow("range") << "1-2=1" << false << Choices{};
        QTest::newRow("two signs") << "1=2=3" << false << Choices{};
        // clang-format on
    }
    void takeChoices() {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(Choices, choices);
        const std::optional<Choices> parsed = lyrane::parseTakeChoices(text);
        QCOMPARE(parsed.has_value(), valid);
        QCOMPARE(parsed.value_or(Choices{}), choices);
    }

    void requestsAnswer() {
        lyrane::TakeRequests requests;
        QVERIFY(requests.isEmpty());
        QCOMPARE(requests.lastCue(), 0);
        requests.retakes = {{3, 3}, {7, 9}};
        requests.choices = {{12, 1}};
        QCOMPARE(requests.lastCue(), 12);
        QVERIFY(requests.isRetaken(8) && requests.isRetaken(3) && !requests.isRetaken(6));
    }
};

QTEST_GUILESS_MAIN(TakeRequestsTest)
#include "test_take_requests.moc"
