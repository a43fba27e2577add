#include "audio/clip_figures.h"

#include <QtTest>

#include <vector>

namespace {

constexpr int kRate = 1000; // 10-sample windows, 100-sample envelope blocks

// Runs of (samples, level): a tone at `level` as alternating signs, or silence at 0.
QList<double> clip(const QList<QPair<int, double>>& runs) {
    QList<double> samples;
    for (const auto& [count, level] : runs) {
        for (int i = 0; i < count; ++i) {
            samples.append(i % 2 == 0 ? level : -level);
        }
    }
    return samples;
}

} // namespace

using Runs = QList<QPair<int, double>>;

class ClipFiguresTest : public QObject {
    Q_OBJECT

private slots:
    void figures_data() {
        QTest::addColumn<Runs>("runs");
        QTest::addColumn<qint64>("speech");
        QTest::addColumn<qint64>("pause");
        QTest::addColumn<qint64>("fullScale");
        // clang-format off
        QTest::newRow("silence") << Runs{{500, 0.0}} << qint64(0) << qint64(0) << qint64(0);
        QTest::newRow("lead-in kept out") << Runs{{200, 0.0}, {300, 0.5}} << qint64(300) << qint64(0) << qint64(0);
        QTest::newRow("pause inside") << Runs{{100, 0.5}, {1200, 0.001}, {100, 0.5}} << qint64(1400) << qint64(1200) << qint64(0);
        QTest::newRow("tail silence is no pause") << Runs{{100, 0.5}, {900, 0.0}} << qint64(100) << qint64(0) << qint64(0);
        QTest::newRow("full scale") << Runs{{100, 1.0}, {100, 0.5}} << qint64(200) << qint64(0) << qint64(100);
        // clang-format on
    }
    void figures() {
        QFETCH(Runs, runs);
        QFETCH(qint64, speech);
        QFETCH(qint64, pause);
        QFETCH(qint64, fullScale);
        const QList<double> samples = clip(runs);
        const lyrane::ClipFigures figures = lyrane::measureClip(samples, kRate);
        QCOMPARE(figures.speechSamples, speech);
        QCOMPARE(figures.longestPauseSamples, pause);
        QCOMPARE(figures.fullScaleSamples, fullScale);
        QCOMPARE(figures.envelope.size(), (samples.size() + 99) / 100);
    }

    void envelopeIsEachBlocksRms() {
        const lyrane::ClipFigures figures =
            lyrane::measureClip(clip({{100, 0.5}, {50, 0.25}}), kRate);
        QCOMPARE(figures.envelope.size(), 2);
        QCOMPARE(figures.envelope[0], 0.5F);
        QCOMPARE(figures.envelope[1], 0.25F);
        QCOMPARE(figures.peak, 0.5);
    }

    // The 16-bit path sums in integers and in lanes: it must give the samples' figures to the
    // last bit, whatever the rate (windows and blocks need not line up).
    void pcm16FiguresEqualTheSamples_data() {
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("count");
        // clang-format off
        QTest::newRow("44.1 kHz, blocks of whole windows") << 44100 << 150001;
        QTest::newRow("22.05 kHz, blocks across windows") << 22050 << 70007;
        QTest::newRow("8 kHz, short") << 8000 << 13;
        QTest::newRow("below 100 Hz, one-sample windows") << 99 << 1000;
        QTest::newRow("empty") << 48000 << 0;
        // clang-format on
    }
    void pcm16FiguresEqualTheSamples() {
        QFETCH(int, rate);
        QFETCH(int, count);
        // Speech-like bursts between near-silences, the extremes of 16 bits among them.
        std::vector<qint16> values(size_t(count), 0);
        QList<double> samples(count);
        quint32 noise = 12345;
        for (int i = 0; i < count; ++i) {
            noise = noise * 1664525u + 1013904223u;
            const bool loud = (i / std::max(1, rate / 3)) % 3 != 1;
            const int value = loud ? int(noise >> 16) - 32768 : int(noise >> 28) - 8;
            values[size_t(i)] = qint16(i % 997 == 5 ? -32768 : value);
            samples[i] = values[size_t(i)] / 32768.0;
        }
        const lyrane::ClipFigures expected = lyrane::measureClip(samples, rate);
        const lyrane::ClipFigures figures = lyrane::measurePcm16Clip(values.data(), count, rate);
        QCOMPARE(figures.peak, expected.peak);
        QCOMPARE(figures.fullScaleSamples, expected.fullScaleSamples);
        QCOMPARE(figures.speechSamples, expected.speechSamples);
        QCOMPARE(figures.longestPauseSamples, expected.longestPauseSamples);
        QCOMPARE(figures.envelope, expected.envelope);
        QVERIFY(count < 1000 || expected.longestPauseSamples > 0);
    }
};

QTEST_GUILESS_MAIN(ClipFiguresTest)
#include "test_clip_figures.moc"
