#include "audio/ducking_envelope.h"

#include <QtTest>

#include <array>
#include <cmath>
#include <vector>

using namespace lyrane;

Q_DECLARE_METATYPE(QList<lyrane::SampleSpan>)
Q_DECLARE_METATYPE(QList<lyrane::DuckRegion>)

namespace {

QList<DuckRegion> regions(std::initializer_list<std::array<qint64, 4>> list) {
    QList<DuckRegion> out;
    for (const auto& r : list) {
        out.append(DuckRegion{r[0], r[1], r[2], r[3]});
    }
    return out;
}

} // namespace

class DuckingEnvelopeTest : public QObject {
    Q_OBJECT

private slots:
    void plansRegions_data() {
        QTest::addColumn<QList<SampleSpan>>("clips");
        QTest::addColumn<qint64>("attack");
        QTest::addColumn<qint64>("release");
        QTest::addColumn<QList<DuckRegion>>("expected");

        QTest::newRow("no clips") << QList<SampleSpan>{} << qint64(150) << qint64(400)
                                  << QList<DuckRegion>{};
        QTest::newRow("one clip") << QList<SampleSpan>{{1000, 2000}} << qint64(150) << qint64(400)
                                  << regions({{850, 1000, 2000, 2400}});
        QTest::newRow("gap shorter than attack + release stays down")
            << QList<SampleSpan>{{1000, 2000}, {2549, 3000}} << qint64(150) << qint64(400)
            << regions({{850, 1000, 3000, 3400}});
        QTest::newRow("gap of exactly attack + release comes back up")
            << QList<SampleSpan>{{1000, 2000}, {2550, 3000}} << qint64(150) << qint64(400)
            << regions({{850, 1000, 2000, 2400}, {2400, 2550, 3000, 3400}});
        QTest::newRow("three clips, the first two merged, given out of order")
            << QList<SampleSpan>{{5000, 6000}, {0, 100}, {300, 400}} << qint64(150) << qint64(400)
            << regions({{-150, 0, 400, 800}, {4850, 5000, 6000, 6400}});
        QTest::newRow("empty clips are ignored")
            << QList<SampleSpan>{{1000, 1000}, {2000, 1500}} << qint64(150) << qint64(400)
            << QList<DuckRegion>{};
        QTest::newRow("a clip inside another keeps the longer end")
            << QList<SampleSpan>{{1000, 5000}, {2000, 3000}} << qint64(10) << qint64(20)
            << regions({{990, 1000, 5000, 5020}});
        QTest::newRow("no attack or release: hard edges")
            << QList<SampleSpan>{{100, 200}, {200, 300}} << qint64(0) << qint64(0)
            << regions({{100, 100, 300, 300}});
    }

    void plansRegions() {
        QFETCH(QList<SampleSpan>, clips);
        QFETCH(qint64, attack);
        QFETCH(qint64, release);
        QFETCH(QList<DuckRegion>, expected);
        const QList<DuckRegion> planned = planDuckRegions(clips, attack, release);
        QCOMPARE(planned.size(), expected.size());
        for (qsizetype i = 0; i < planned.size(); ++i) {
            QCOMPARE(planned[i].rampDownStart, expected[i].rampDownStart);
            QCOMPARE(planned[i].holdStart, expected[i].holdStart);
            QCOMPARE(planned[i].holdEnd, expected[i].holdEnd);
            QCOMPARE(planned[i].rampUpEnd, expected[i].rampUpEnd);
        }
    }

    void gainLevels_data() {
        QTest::addColumn<double>("db");
        QTest::addColumn<double>("gain");
        QTest::newRow("off") << 0.0 << 1.0;
        QTest::newRow("6 dB") << 6.0 << 0.501187;
        QTest::newRow("10 dB") << 10.0 << 0.316228;
        QTest::newRow("40 dB") << 40.0 << 0.01;
    }

    void gainLevels() {
        QFETCH(double, db);
        QFETCH(double, gain);
        QVERIFY(std::fabs(duckGainFromDb(db) - gain) < 1e-6);
        // The envelope is full outside, exactly the gain inside and never beyond either.
        DuckingEnvelope envelope(planDuckRegions({{1000, 2000}}, 150, 400), duckGainFromDb(db));
        QCOMPARE(envelope.gainAt(0), 1.0);
        QCOMPARE(envelope.gainAt(849), 1.0);
        QCOMPARE(envelope.gainAt(1000), duckGainFromDb(db));
        QCOMPARE(envelope.gainAt(1999), duckGainFromDb(db));
        QCOMPARE(envelope.gainAt(2400), 1.0);
        QCOMPARE(envelope.gainAt(1000000), 1.0);
    }

    // The level moves without steps: each sample differs from the last by at most the slope of
    // the ramp's steepest point, and the ramps are monotonic.
    void rampsAreSmooth_data() {
        QTest::addColumn<qint64>("attack");
        QTest::addColumn<qint64>("release");
        QTest::addColumn<double>("db");
        QTest::newRow("defaults at 48 kHz") << qint64(7200) << qint64(19200) << 10.0;
        QTest::newRow("short ramps, deep duck") << qint64(441) << qint64(441) << 30.0;
    }

    void rampsAreSmooth() {
        QFETCH(qint64, attack);
        QFETCH(qint64, release);
        QFETCH(double, db);
        const double low = duckGainFromDb(db);
        DuckingEnvelope envelope(planDuckRegions({{50000, 60000}}, attack, release), low);
        std::vector<double> gains(120000);
        envelope.fill(0, gains.data(), qint64(gains.size()));
        const double steepestDown = M_PI / 2 * (1 - low) / double(attack) * 1.0001;
        const double steepestUp = M_PI / 2 * (1 - low) / double(release) * 1.0001;
        for (size_t i = 1; i < gains.size(); ++i) {
            const double step = gains[i] - gains[i - 1];
            if (qint64(i) <= 50000) {
                QVERIFY2(step <= 0 && -step <= steepestDown, qPrintable(QString::number(i)));
            } else if (qint64(i) <= 60000) {
                QCOMPARE(step, 0.0);
            } else {
                QVERIFY2(step >= 0 && step <= steepestUp, qPrintable(QString::number(i)));
            }
        }
        // Gentle at both ends of a ramp: the first step is far smaller than the steepest.
        QVERIFY(gains[50000 - attack] - gains[50000 - attack + 1] < steepestDown / 100);
    }

    // Filling in slices of any size, including going back, gives gainAt's values.
    void fillMatchesGainAt() {
        const QList<DuckRegion> planned =
            planDuckRegions({{0, 500}, {700, 900}, {5000, 5200}, {9000, 12000}}, 150, 400);
        DuckingEnvelope envelope(planned, duckGainFromDb(12));
        const DuckingEnvelope reference(planned, duckGainFromDb(12));
        std::vector<double> gains(20000);
        for (const qint64 slice : {1, 7, 1024, 4096, 20000}) {
            for (qint64 start = 0; start < 13000; start += slice) {
                envelope.fill(start, gains.data(), slice);
                for (qint64 i = 0; i < slice; ++i) {
                    QCOMPARE(gains[size_t(i)], reference.gainAt(start + i));
                }
            }
        }
        // Before the timeline's start, a ramp that began before sample 0 is already under way.
        QVERIFY(reference.gainAt(0) < 1.0);
        QVERIFY(reference.gainAt(-150) == 1.0);
    }
};

QTEST_GUILESS_MAIN(DuckingEnvelopeTest)
#include "test_ducking_envelope.moc"
