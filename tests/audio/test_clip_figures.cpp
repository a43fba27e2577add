#include "audio/clip_figures.h"

#include <QtTest>

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
};

QTEST_GUILESS_MAIN(ClipFiguresTest)
#include "test_clip_figures.moc"
