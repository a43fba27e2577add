// The resampler kept from clip to clip against a fresh resample() of each clip: the same samples
// in double precision whatever came before, within a step or two of 24-bit audio in single.

#include "audio/resampling.h"

#include <QtTest>

#include <cmath>

using namespace lyrane;

class TestResampling : public QObject {
    Q_OBJECT

private slots:
    void keptFromClipToClip_data() {
        QTest::addColumn<int>("rate");
        QTest::addColumn<bool>("single");
        QTest::addColumn<double>("tolerance");
        QTest::newRow("44.1 kHz, double") << 44100 << false << 0.0;
        QTest::newRow("22.05 kHz, double") << 22050 << false << 0.0;
        QTest::newRow("44.1 kHz, single") << 44100 << true << 2.5e-7;
        QTest::newRow("16 kHz, single") << 16000 << true << 2.5e-7;
        QTest::newRow("48 kHz, copied") << 48000 << true << 0.0;
    }
    void keptFromClipToClip() {
        QFETCH(int, rate);
        QFETCH(bool, single);
        QFETCH(double, tolerance);
        ClipResampler resampler(single ? ResamplingPrecision::Single : ResamplingPrecision::Double);
        AudioBuffer out;
        for (const qsizetype length :
             {qsizetype(rate / 4), qsizetype(90), qsizetype(0), qsizetype(rate / 2)}) {
            AudioBuffer clip{{}, rate};
            for (qsizetype i = 0; i < length; ++i) {
                clip.samples << 0.9 * std::sin(0.06 * double(i)) + 0.05 * std::sin(0.7 * double(i));
            }
            QString error;
            QVERIFY2(resampler.resample(clip, 48000, out, &error), qPrintable(error));
            const std::optional<AudioBuffer> fresh = resample(clip, 48000, &error);
            QVERIFY(fresh);
            QCOMPARE(out.sampleRate, 48000);
            QCOMPARE(out.samples.size(), fresh->samples.size());
            for (qsizetype i = 0; i < out.samples.size(); ++i) {
                QVERIFY2(std::abs(out.samples[i] - fresh->samples[i]) <= tolerance,
                         qPrintable(QStringLiteral("sample %1 of %2").arg(i).arg(length)));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestResampling)
#include "test_resampling.moc"
