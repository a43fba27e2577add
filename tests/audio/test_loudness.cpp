#include "audio/loudness.h"

#include <QtTest>

#include <cmath>
#include <limits>
#include <vector>

using namespace lyrane;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

std::vector<double> sine(int rate, double frequency, double levelDbfs, double seconds,
                         double phase = 0.0) {
    const double amplitude = std::pow(10.0, levelDbfs / 20.0);
    std::vector<double> samples(static_cast<size_t>(seconds * rate));
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = amplitude * std::sin(2.0 * M_PI * frequency * double(i) / rate + phase);
    }
    return samples;
}

LoudnessReading measure(const std::vector<double>& samples, int rate, qint64 chunk = 0) {
    LoudnessMeter meter;
    QString error;
    if (!meter.open(rate, &error)) {
        qWarning() << error;
        return {};
    }
    const qint64 total = qint64(samples.size());
    const qint64 step = chunk > 0 ? chunk : qMax<qint64>(total, 1);
    for (qint64 offset = 0; offset < total; offset += step) {
        if (!meter.add(samples.data() + offset, qMin(step, total - offset), &error)) {
            qWarning() << error;
            return {};
        }
    }
    const auto reading = meter.reading(&error);
    if (!reading) {
        qWarning() << error;
        return {};
    }
    return *reading;
}

} // namespace

class LoudnessTest : public QObject {
    Q_OBJECT

private slots:
    // BS.1770 puts a 1 kHz sine at its RMS level (peak level - 3.01 dB): the K-weighting's gain
    // at 1 kHz is what the -0.691 constant cancels. Its true peak is its amplitude.
    void measuresTonesAtKnownLevels_data() {
        QTest::addColumn<int>("rate");
        QTest::addColumn<double>("frequency");
        QTest::addColumn<double>("levelDbfs");
        QTest::addColumn<double>("phase");
        QTest::addColumn<double>("expectedLufs"); // NaN: not checked
        QTest::addColumn<double>("expectedDbtp");

        QTest::newRow("1 kHz at -20 dBFS, 48 kHz")
            << 48000 << 1000.0 << -20.0 << 0.0 << -23.01 << -20.0;
        QTest::newRow("1 kHz at -20 dBFS, 44.1 kHz")
            << 44100 << 1000.0 << -20.0 << 0.0 << -23.01 << -20.0;
        QTest::newRow("1 kHz at -30 dBFS, 22.05 kHz")
            << 22050 << 1000.0 << -30.0 << 0.0 << -33.01 << -30.0;
        QTest::newRow("1 kHz at -6 dBFS, 16 kHz")
            << 16000 << 1000.0 << -6.0 << 0.0 << -9.01 << -6.0;
        // A quarter of the rate, a quarter period off: every sample is at 0.707 of the crest,
        // 3 dB below the true peak a sample-peak meter would miss.
        QTest::newRow("inter-sample peak at fs/4")
            << 44100 << 11025.0 << -6.0 << M_PI / 4 << std::nan("") << -6.0;
    }

    void measuresTonesAtKnownLevels() {
        QFETCH(int, rate);
        QFETCH(double, frequency);
        QFETCH(double, levelDbfs);
        QFETCH(double, phase);
        QFETCH(double, expectedLufs);
        QFETCH(double, expectedDbtp);

        const LoudnessReading reading = measure(sine(rate, frequency, levelDbfs, 5.0, phase), rate);
        if (!std::isnan(expectedLufs)) {
            QVERIFY2(std::fabs(reading.integratedLufs - expectedLufs) < 0.1,
                     qPrintable(QString::number(reading.integratedLufs)));
        }
        QVERIFY2(std::fabs(reading.truePeakDbtp - expectedDbtp) < 0.15,
                 qPrintable(QString::number(reading.truePeakDbtp)));
    }

    void chunkingDoesNotChangeTheReading() {
        const std::vector<double> samples = sine(44100, 523.0, -17.0, 3.0);
        const LoudnessReading whole = measure(samples, 44100);
        for (const qint64 chunk : {1, 441, 4096, 100000}) {
            const LoudnessReading pieces = measure(samples, 44100, chunk);
            QCOMPARE(pieces.integratedLufs, whole.integratedLufs);
            QCOMPARE(pieces.truePeakDbtp, whole.truePeakDbtp);
        }
    }

    // Parts measured on separate meters read as the whole; gating works across them: a part
    // 30 LU down falls below the relative gate, one 10 LU down does not.
    void metersCombineIntoOneGatedReading_data() {
        QTest::addColumn<double>("secondDbfs");
        QTest::addColumn<double>("expectedLufs");
        // Equal durations: mean energy of 1 and 0.1 of the first part's: -23.01 + 10 lg 0.55.
        QTest::newRow("second part 10 dB down") << -30.0 << -25.61;
        QTest::newRow("second part 30 dB down, gated out") << -50.0 << -23.01;
        QTest::newRow("second part silent") << -kInf << -23.01;
    }

    void metersCombineIntoOneGatedReading() {
        QFETCH(double, secondDbfs);
        QFETCH(double, expectedLufs);
        const int rate = 48000;
        // Long enough that the few blocks straddling a part's end weigh under 0.05 LU.
        const std::vector<double> first = sine(rate, 1000.0, -20.0, 40.0);
        const std::vector<double> second = sine(rate, 1000.0, secondDbfs, 40.0);

        QString error;
        LoudnessMeter one;
        QVERIFY(one.open(rate, &error));
        LoudnessMeter a;
        LoudnessMeter b;
        QVERIFY(a.open(rate, &error) && b.open(rate, &error));
        QVERIFY(one.addPart(first.data(), qint64(first.size()), &error));
        QVERIFY(one.addPart(second.data(), qint64(second.size()), &error));
        QVERIFY(a.addPart(first.data(), qint64(first.size()), &error));
        QVERIFY(b.addPart(second.data(), qint64(second.size()), &error));

        const auto whole = one.reading(&error);
        const auto combined = LoudnessMeter::combined({&b, &a}, &error);
        QVERIFY2(whole && combined, qPrintable(error));
        QVERIFY2(std::fabs(whole->integratedLufs - expectedLufs) < 0.1,
                 qPrintable(QString::number(whole->integratedLufs)));
        QVERIFY2(std::fabs(combined->integratedLufs - whole->integratedLufs) < 0.01,
                 qPrintable(QString::number(combined->integratedLufs)));
        QCOMPARE(combined->truePeakDbtp, whole->truePeakDbtp);
    }

    // Parts spread over meters in any order read the very same integrated loudness, so a run's
    // gain does not depend on which thread measured which clip.
    void partsReadAlikeOnAnyMeterInAnyOrder() {
        const int rate = 44100;
        std::vector<std::vector<double>> parts;
        for (int k = 0; k < 6; ++k) {
            parts.push_back(sine(rate, 300.0 + 170.0 * k, -12.0 - 3.0 * k, 0.731 + 0.413 * k));
        }
        QString error;
        const auto readAll = [&](const std::vector<int>& order, size_t meters) {
            std::vector<LoudnessMeter> each(meters);
            std::vector<const LoudnessMeter*> opened;
            for (size_t k = 0; k < order.size(); ++k) {
                const std::vector<double>& part = parts[size_t(order[k])];
                if (k < meters && each[k].open(rate, &error)) {
                    opened.push_back(&each[k]);
                }
                each[k % meters].addPart(part.data(), qint64(part.size()), &error);
            }
            const auto reading = LoudnessMeter::combined(opened, &error);
            return reading ? reading->integratedLufs : 0.0;
        };
        const double inOrder = readAll({0, 1, 2, 3, 4, 5}, 1);
        QVERIFY(inOrder < -10.0);
        QCOMPARE(readAll({5, 3, 1, 0, 2, 4}, 1), inOrder);
        QCOMPARE(readAll({2, 0, 4, 1, 5, 3}, 2), inOrder);
        QCOMPARE(readAll({1, 4, 0, 5, 3, 2}, 3), inOrder);
    }

    void silenceAndMismatchedMeters() {
        const LoudnessReading silent = measure(std::vector<double>(48000 * 2, 0.0), 48000);
        QVERIFY(std::isinf(silent.integratedLufs) && silent.integratedLufs < 0);
        QVERIFY(std::isinf(silent.truePeakDbtp) && silent.truePeakDbtp < 0);

        QString error;
        LoudnessMeter meter;
        QVERIFY(!meter.open(0, &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(!meter.add(nullptr, 0, &error));
        LoudnessMeter other;
        QVERIFY(meter.open(44100, &error) && other.open(48000, &error));
        error.clear();
        QVERIFY(!LoudnessMeter::combined({&meter, &other}, &error));
        QVERIFY(!error.isEmpty());
    }

    // Stereo: the channels' powers add (a signal on both reads 3.01 dB above one channel of
    // it, pauses included), the true peak is the higher channel's; a stereo meter does not
    // combine with a mono one.
    void stereoSumsChannelsAndTakesTheHigherPeak() {
        const int rate = 48000;
        const std::vector<double> left = sine(rate, 1000.0, -20.0, 4.0);
        const std::vector<double> right = sine(rate, 1000.0, -26.0, 4.0);
        std::vector<double> both(left.size() * 2);
        std::vector<double> same(left.size() * 2);
        for (size_t i = 0; i < left.size(); ++i) {
            both[2 * i] = left[i];
            both[2 * i + 1] = right[i];
            same[2 * i] = same[2 * i + 1] = left[i];
        }
        QString error;
        LoudnessMeter stereo;
        QVERIFY2(stereo.open(rate, 2, &error), qPrintable(error));
        QVERIFY(stereo.add(both.data(), qint64(left.size()) / 2, &error));
        QVERIFY(stereo.add(both.data() + left.size(), qint64(left.size()) / 2, &error));
        const auto reading = stereo.reading(&error);
        QVERIFY2(reading, qPrintable(error));
        const double expected = 10.0 * std::log10(std::pow(10.0, (-20.0 - 3.01) / 10.0) +
                                                  std::pow(10.0, (-26.0 - 3.01) / 10.0));
        QVERIFY2(std::fabs(reading->integratedLufs - expected) < 0.05,
                 qPrintable(QString::number(reading->integratedLufs)));
        QVERIFY2(std::fabs(reading->truePeakDbtp + 20.0) < 0.05,
                 qPrintable(QString::number(reading->truePeakDbtp)));

        LoudnessMeter dual;
        LoudnessMeter mono;
        QVERIFY(dual.open(rate, 2, &error) && mono.open(rate, &error));
        const qint64 half = qint64(left.size()) / 2;
        QVERIFY(dual.addPart(same.data(), half, &error) &&
                dual.addPart(same.data() + 2 * half, half, &error));
        QVERIFY(mono.addPart(left.data(), half, &error) &&
                mono.addPart(left.data() + half, half, &error));
        const double difference =
            dual.reading(&error)->integratedLufs - mono.reading(&error)->integratedLufs;
        // Gating in 0.1 LU steps: each reading is within 0.05 LU.
        QVERIFY2(std::fabs(difference - 3.01) < 0.11, qPrintable(QString::number(difference)));

        LoudnessMeter single;
        QVERIFY(single.open(rate, &error));
        error.clear();
        QVERIFY(!LoudnessMeter::combined({&dual, &single}, &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(!dual.open(rate, 3, &error));
    }

    void gainMeetsTargetUnderTheCeiling_data() {
        QTest::addColumn<double>("lufs");
        QTest::addColumn<double>("dbtp");
        QTest::addColumn<double>("target");
        QTest::addColumn<double>("ceiling");
        QTest::addColumn<double>("gainDb");
        QTest::addColumn<int>("outcome");

        const int reached = int(LoudnessOutcome::Reached);
        const int limited = int(LoudnessOutcome::LimitedByTruePeak);
        const int silent = int(LoudnessOutcome::Silent);
        QTest::newRow("quiet speech raised") << -30.0 << -20.0 << -16.0 << -1.0 << 14.0 << reached;
        QTest::newRow("loud speech lowered") << -10.0 << -0.5 << -23.0 << -1.0 << -13.0 << reached;
        QTest::newRow("peaky speech held at the ceiling")
            << -30.0 << -12.0 << -16.0 << -1.0 << 11.0 << limited;
        QTest::newRow("exactly at the ceiling")
            << -30.0 << -15.0 << -16.0 << -1.0 << 14.0 << reached;
        QTest::newRow("already over the ceiling at the target")
            << -16.0 << 0.5 << -16.0 << -1.0 << -1.5 << limited;
        QTest::newRow("silence left alone") << -kInf << -kInf << -16.0 << -1.0 << 0.0 << silent;
    }

    void gainMeetsTargetUnderTheCeiling() {
        QFETCH(double, lufs);
        QFETCH(double, dbtp);
        QFETCH(double, target);
        QFETCH(double, ceiling);
        QFETCH(double, gainDb);
        QFETCH(int, outcome);

        const LoudnessGain gain = loudnessGain({lufs, dbtp}, target, ceiling);
        QCOMPARE(int(gain.outcome), outcome);
        QVERIFY(std::fabs(gain.gainDb - gainDb) < 1e-9);
        QVERIFY(std::fabs(gain.factor - std::pow(10.0, gainDb / 20.0)) < 1e-12);
        if (gain.outcome != LoudnessOutcome::Silent) {
            QVERIFY(gain.result.truePeakDbtp <= ceiling + 1e-9);
            QVERIFY(std::fabs(gain.result.integratedLufs - (lufs + gainDb)) < 1e-9);
            QCOMPARE(gain.outcome == LoudnessOutcome::Reached,
                     std::fabs(gain.result.integratedLufs - target) < 1e-9);
        }
    }

    // The gain is worked out from the reading at unity: measuring the scaled signal again
    // gives what the gain promised.
    void scaledSignalReadsAsPredicted() {
        std::vector<double> samples = sine(44100, 700.0, -31.0, 4.0);
        const std::vector<double> burst = sine(44100, 2500.0, -12.0, 0.5);
        samples.insert(samples.end(), burst.begin(), burst.end());
        const LoudnessReading before = measure(samples, 44100);
        for (const double target : {-16.0, -23.0}) {
            const LoudnessGain gain = loudnessGain(before, target, -1.0);
            std::vector<double> scaled = samples;
            for (double& s : scaled) {
                s *= gain.factor;
            }
            const LoudnessReading after = measure(scaled, 44100);
            QVERIFY2(std::fabs(after.integratedLufs - gain.result.integratedLufs) < 0.05,
                     qPrintable(QString::number(after.integratedLufs)));
            QVERIFY2(std::fabs(after.truePeakDbtp - gain.result.truePeakDbtp) < 0.01,
                     qPrintable(QString::number(after.truePeakDbtp)));
        }
    }

    void reportLine_data() {
        QTest::addColumn<double>("lufs");
        QTest::addColumn<double>("dbtp");
        QTest::addColumn<QString>("line");
        QTest::newRow("reached") << -30.0 << -20.0
                                 << "Loudness: -16.0 LUFS integrated, true peak -6.0 dBTP\n";
        QTest::newRow("limited")
            << -30.0 << -12.0
            << "Loudness: -19.0 LUFS integrated, true peak -1.0 dBTP (target -16.0 LUFS not "
               "reached: the true-peak ceiling of -1.0 dBTP limits the gain)\n";
        QTest::newRow("silent") << -kInf << -kInf
                                << "Loudness: -inf LUFS integrated, true peak -inf dBTP (target "
                                   "-16.0 LUFS not reached: nothing in the output is loud enough "
                                   "to measure)\n";
    }

    void reportLine() {
        QFETCH(double, lufs);
        QFETCH(double, dbtp);
        QFETCH(QString, line);
        QCOMPARE(loudnessReport(loudnessGain({lufs, dbtp}, -16.0, -1.0), -16.0, -1.0), line);
    }
};

QTEST_GUILESS_MAIN(LoudnessTest)
#include "test_loudness.moc"
