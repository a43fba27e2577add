#include "synthesis/cost_estimate.h"

#include <QtTest>

#include <limits>

using lyrane::AccountCredits;
using lyrane::CostEstimate;

class CostEstimateTest : public QObject {
    Q_OBJECT

private slots:
    void characters_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("characters");
        QTest::newRow("empty") << "" << qint64(0);
        QTest::newRow("ascii") << "Hello, world." << qint64(13);
        QTest::newRow("accents") << "Grüße" << qint64(5);
        QTest::newRow("outside the basic plane") << "a👋b" << qint64(3);
        QTest::newRow("a lone surrogate") << QString(QChar(0xD83D)) << qint64(1);
    }
    void characters() {
        QFETCH(QString, text);
        QFETCH(qint64, characters);
        QCOMPARE(lyrane::billableCharacters(text), characters);
    }

    void credits_data() {
        QTest::addColumn<QString>("model");
        QTest::addColumn<qint64>("characters");
        QTest::addColumn<qint64>("credits");
        QTest::newRow("multilingual") << "eleven_multilingual_v2" << qint64(7) << qint64(7);
        QTest::newRow("v3") << "eleven_v3" << qint64(3345) << qint64(3345);
        QTest::newRow("flash, even") << "eleven_flash_v2_5" << qint64(8) << qint64(4);
        QTest::newRow("flash, odd rounds up") << "eleven_flash_v2" << qint64(7) << qint64(4);
        QTest::newRow("flash, one") << "eleven_flash_v2_5" << qint64(1) << qint64(1);
        QTest::newRow("turbo") << "eleven_turbo_v2_5" << qint64(101) << qint64(51);
        QTest::newRow("turbo v2") << "eleven_turbo_v2" << qint64(100) << qint64(50);
        QTest::newRow("nothing") << "eleven_flash_v2_5" << qint64(0) << qint64(0);
        QTest::newRow("a model not known") << "eleven_v4_preview" << qint64(9) << qint64(9);
        QTest::newRow("flash in the middle is not flash")
            << "my_eleven_flash" << qint64(9) << qint64(9);
    }
    void credits() {
        QFETCH(QString, model);
        QFETCH(qint64, characters);
        QFETCH(qint64, credits);
        QCOMPARE(lyrane::creditsForRequest(characters, model), credits);
    }

    void groupedNumbers_data() {
        QTest::addColumn<qint64>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << qint64(0) << "0";
        QTest::newRow("999") << qint64(999) << "999";
        QTest::newRow("1000") << qint64(1000) << "1,000";
        QTest::newRow("12345") << qint64(12345) << "12,345";
        QTest::newRow("million") << qint64(1234567) << "1,234,567";
        QTest::newRow("negative") << qint64(-1234) << "-1,234";
        QTest::newRow("largest") << std::numeric_limits<qint64>::max()
                                 << "9,223,372,036,854,775,807";
        QTest::newRow("smallest") << std::numeric_limits<qint64>::min()
                                  << "-9,223,372,036,854,775,808";
    }
    void groupedNumbers() {
        QFETCH(qint64, value);
        QFETCH(QString, text);
        // Grouping must not follow the locale.
        const QLocale previous;
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        const QString grouped = lyrane::groupedNumber(value);
        QLocale::setDefault(previous);
        QCOMPARE(grouped, text);
    }

    // The cues of a run, summed: `cues` as "characters" (to synthesize) or "characters*"
    // (cached).
    void estimates_data() {
        QTest::addColumn<QString>("model");
        QTest::addColumn<QStringList>("cues");
        QTest::addColumn<QString>("line");
        QStringList halfCached;
        for (int i = 0; i < 200; ++i) {
            // 150 cached cues of 60 characters; 45 of 67 and 5 of 66, making 3,345.
            halfCached.append(i < 150 ? QStringLiteral("60*") : QString::number(i < 195 ? 67 : 66));
        }
        QTest::newRow("the example")
            << "eleven_multilingual_v2" << halfCached
            << "Estimate: 200 cues, 12,345 characters; 150 cues cached; 50 to synthesize: 3,345 "
               "characters, about 3,345 credits with eleven_multilingual_v2\n";
        QTest::newRow("flash at half, rounded up per request")
            << "eleven_flash_v2_5" << QStringList{"7", "7", "10*", "1"}
            << "Estimate: 4 cues, 25 characters; 1 cue cached; 3 to synthesize: 15 characters, "
               "about 9 credits with eleven_flash_v2_5\n";
        QTest::newRow("all cached")
            << "eleven_v3" << QStringList{"1000*", "234*"}
            << "Estimate: 2 cues, 1,234 characters; 2 cues cached; 0 to synthesize: 0 "
               "characters, about 0 credits with eleven_v3\n";
        QTest::newRow("one of each")
            << "eleven_turbo_v2" << QStringList{"1"}
            << "Estimate: 1 cue, 1 character; 0 cues cached; 1 to synthesize: 1 character, "
               "about 1 credit with eleven_turbo_v2\n";
        QTest::newRow("nothing") << "eleven_multilingual_v2" << QStringList{}
                                 << "Estimate: 0 cues, 0 characters; 0 cues cached; 0 to "
                                    "synthesize: 0 characters, about 0 credits with "
                                    "eleven_multilingual_v2\n";
    }
    void estimates() {
        QFETCH(QString, model);
        QFETCH(QStringList, cues);
        QFETCH(QString, line);
        CostEstimate estimate;
        estimate.modelId = model;
        for (QString cue : cues) {
            const bool cached = cue.endsWith(QLatin1Char('*'));
            cue.remove(QLatin1Char('*'));
            estimate.addCue(cue.toLongLong(), cached);
        }
        QCOMPARE(lyrane::estimateLine(estimate), line);
    }

    void accountCredits_data() {
        QTest::addColumn<qint64>("used");
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<bool>("canExtend");
        QTest::addColumn<qint64>("needed");
        QTest::addColumn<qint64>("left");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("plenty") << qint64(100) << qint64(10000) << false << qint64(500)
                                << qint64(9900) << true;
        QTest::newRow("exactly enough")
            << qint64(9500) << qint64(10000) << false << qint64(500) << qint64(500) << true;
        QTest::newRow("one short")
            << qint64(9501) << qint64(10000) << false << qint64(500) << qint64(499) << false;
        QTest::newRow("short but extendable")
            << qint64(9999) << qint64(10000) << true << qint64(500) << qint64(1) << true;
        QTest::newRow("overdrawn")
            << qint64(10100) << qint64(10000) << false << qint64(1) << qint64(0) << false;
        QTest::newRow("nothing needed")
            << qint64(10000) << qint64(10000) << false << qint64(0) << qint64(0) << true;
    }
    void accountCredits() {
        QFETCH(qint64, used);
        QFETCH(qint64, limit);
        QFETCH(bool, canExtend);
        QFETCH(qint64, needed);
        QFETCH(qint64, left);
        QFETCH(bool, allowed);
        const AccountCredits account{used, limit, canExtend};
        QCOMPARE(account.left(), left);
        QCOMPARE(account.allows(needed), allowed);
    }

    void messages_data() {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("expected");
        QTest::newRow("not enough credits")
            << lyrane::notEnoughCreditsLine(12345, 999)
            << "Not enough credits: this run needs about 12,345, the account has 999 left\n";
        QTest::newRow("billed") << lyrane::billedLine(3345, 50, false)
                                << "Billed: 3,345 characters for 50 new clips\n";
        QTest::newRow("billed, estimated") << lyrane::billedLine(1000, 1, true)
                                           << "Billed: 1,000 characters for 1 new clips "
                                              "(estimated)\n";
        QTest::newRow("billed nothing")
            << lyrane::billedLine(0, 0, false) << "Billed: 0 characters for 0 new clips\n";
        QTest::newRow("billed one character")
            << lyrane::billedLine(1, 1, false) << "Billed: 1 characters for 1 new clips\n";
        QTest::newRow("over budget") << lyrane::overBudgetLine(3345, 1000)
                                     << "This run needs about 3,345 credits; --max-credits "
                                        "allows 1,000\n";
        QTest::newRow("credit check skipped")
            << lyrane::creditCheckSkippedLine(QStringLiteral("HTTP 401: missing permission\n"))
            << "Could not read the account's credits (HTTP 401: missing permission); going on "
               "without the credit check\n";
        QTest::newRow("mirror in a dry run")
            << lyrane::dryRunMirrorLine()
            << "The mirror is not asked in a dry run: cues cached only there count as to "
               "synthesize\n";
    }
    void messages() {
        QFETCH(QString, message);
        QFETCH(QString, expected);
        QCOMPARE(message, expected);
    }

    void maxCredits_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<qint64>("credits"); // -1: refused
        QTest::newRow("zero") << "0" << qint64(0);
        QTest::newRow("some") << "5000" << qint64(5000);
        QTest::newRow("large") << "9000000000" << qint64(9000000000);
        QTest::newRow("negative") << "-1" << qint64(-1);
        QTest::newRow("fraction") << "1.5" << qint64(-1);
        QTest::newRow("grouped") << "1,000" << qint64(-1);
        QTest::newRow("word") << "lots" << qint64(-1);
        QTest::newRow("empty") << "" << qint64(-1);
    }
    void maxCredits() {
        QFETCH(QString, value);
        QFETCH(qint64, credits);
        QString error;
        const std::optional<qint64> parsed = lyrane::parseMaxCredits(value, &error);
        QCOMPARE(parsed.value_or(-1), credits);
        QCOMPARE(error,
                 parsed ? QString() : QStringLiteral("--max-credits must be zero or positive\n"));
    }
};

QTEST_GUILESS_MAIN(CostEstimateTest)
#include "test_cost_estimate.moc"
