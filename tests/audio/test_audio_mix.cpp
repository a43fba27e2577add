#include "audio/audio_buffer.h"
#include "audio/clip_loading.h"
#include "audio/mp3_codec.h"
#include "audio/resampling.h"
#include "audio/time_stretch.h"
#include "audio/timeline_plan.h"
#include "audio/timeline_reference.h"
#include "audio/timeline_render.h"
#include "audio/wav_file.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <vector>

#include <cmath>

using namespace lyrane;

namespace {

AudioBuffer constant(qsizetype samples, double value = 0.5, int rate = 44100) {
    AudioBuffer buffer;
    buffer.sampleRate = rate;
    buffer.samples.fill(value, samples);
    return buffer;
}

AudioBuffer tone(double frequency, double seconds, int rate, double amplitude) {
    AudioBuffer buffer;
    buffer.sampleRate = rate;
    const qsizetype n = qsizetype(std::llround(seconds * rate));
    for (qsizetype i = 0; i < n; ++i) {
        buffer.samples.append(amplitude * std::sin(2.0 * M_PI * frequency * i / rate));
    }
    return buffer;
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

using Placements = QList<ClipPlacement>;

} // namespace

namespace lyrane {
bool operator==(const ClipPlacement& a, const ClipPlacement& b) {
    return a.desiredStartMs == b.desiredStartMs && a.actualStartMs == b.actualStartMs &&
           a.actualEndMs == b.actualEndMs;
}
} // namespace lyrane

namespace QTest {
template <> char* toString(const ClipPlacement& p) {
    return qstrdup(QByteArray::number(p.desiredStartMs) + "/" +
                   QByteArray::number(p.actualStartMs) + "-" + QByteArray::number(p.actualEndMs));
}
} // namespace QTest

class TestAudioMix : public QObject {
    Q_OBJECT

private slots:
    void placement_data();
    void placement();
    void paddingNeededFitsEveryClip_data();
    void paddingNeededFitsEveryClip();
    void pushedClipLandsAtSample();
    void mismatchedRateKeepsDuration();
    void firstRateMustBePositive();
    void normalize_data();
    void normalize();
    void mixScalesOnlyBeyondFullScale();
    void trimEndSilence_data();
    void trimEndSilence();
    void trimmedLengthOfPcm16_data();
    void trimmedLengthOfPcm16();
    void timelineFilesEqualMix_data();
    void timelineFilesEqualMix();

private:
    QTemporaryDir m_dir;
};

void TestAudioMix::placement_data() {
    QTest::addColumn<QList<qsizetype>>("lengths");
    QTest::addColumn<QList<qint64>>("starts");
    QTest::addColumn<QList<qint64>>("ends");
    QTest::addColumn<qint64>("durationMs");
    QTest::addColumn<qint64>("paddingMs");
    QTest::addColumn<Placements>("expected"); // placements appended, also on failure
    QTest::addColumn<QString>("message");     // empty: mixes

    QTest::newRow("pushed after a long clip")
        << QList<qsizetype>{132300, 44100} << QList<qint64>{0, 2500} << QList<qint64>{2000, 4000}
        << qint64(10000) << qint64(0) << Placements{{0, 0, 3000}, {2500, 3100, 4100}} << QString();
    QTest::newRow("exact cue time after silence")
        << QList<qsizetype>{44100, 44100} << QList<qint64>{0, 3000} << QList<qint64>{1000, 4000}
        << qint64(5000) << qint64(0) << Placements{{0, 0, 1000}, {3000, 3000, 4000}} << QString();
    QTest::newRow("end equals total")
        << QList<qsizetype>{88200} << QList<qint64>{0} << QList<qint64>{2000} << qint64(2000)
        << qint64(0) << Placements{{0, 0, 2000}} << QString();
    QTest::newRow("padding extends the timeline")
        << QList<qsizetype>{88200} << QList<qint64>{500} << QList<qint64>{2000} << qint64(2000)
        << qint64(500) << Placements{{500, 500, 2500}} << QString();
    QTest::newRow("negative first start")
        << QList<qsizetype>{4410} << QList<qint64>{-300} << QList<qint64>{100} << qint64(1000)
        << qint64(0) << Placements{{-300, 0, 100}} << QString();
    QTest::newRow("overlapping cues get no pause")
        << QList<qsizetype>{44100, 4410} << QList<qint64>{0, 500} << QList<qint64>{800, 900}
        << qint64(3000) << qint64(0) << Placements{{0, 0, 1000}, {500, 1000, 1100}} << QString();
    QTest::newRow("start not on 10 ms shows 1 ms early")
        << QList<qsizetype>{4410} << QList<qint64>{1234} << QList<qint64>{1500} << qint64(3000)
        << qint64(0) << Placements{{1234, 1233, 1333}} << QString();
    QTest::newRow("1500 ms overrun")
        << QList<qsizetype>{88200} << QList<qint64>{9000} << QList<qint64>{10000} << qint64(10000)
        << qint64(0) << Placements{}
        << QStringLiteral("segment 1 exceeds output duration while mixing. Need approximately "
                          "1500 ms of additional padding. Current padding: 0 ms, Total needed: "
                          "1500 ms");
    QTest::newRow("pushed past the end")
        << QList<qsizetype>{88200, 44100} << QList<qint64>{0, 1000} << QList<qint64>{900, 1500}
        << qint64(1800) << qint64(200) << Placements{{0, 0, 2000}}
        << QStringLiteral("segment 2 would exceed output duration. Need approximately 1520 ms of "
                          "additional padding. Current padding: 200 ms, Total needed: 1720 ms");
    QTest::newRow("count mismatch")
        << QList<qsizetype>{100, 100} << QList<qint64>{0, 100, 200} << QList<qint64>{50, 150}
        << qint64(1000) << qint64(0) << Placements{} << QStringLiteral("segment count mismatch");
    QTest::newRow("end list mismatch")
        << QList<qsizetype>{100} << QList<qint64>{0} << QList<qint64>{} << qint64(1000) << qint64(0)
        << Placements{} << QStringLiteral("segment count mismatch");
    QTest::newRow("empty") << QList<qsizetype>{} << QList<qint64>{} << QList<qint64>{}
                           << qint64(1000) << qint64(0) << Placements{}
                           << QStringLiteral("no segments to mix");
}

void TestAudioMix::placement() {
    QFETCH(QList<qsizetype>, lengths);
    QFETCH(QList<qint64>, starts);
    QFETCH(QList<qint64>, ends);
    QFETCH(qint64, durationMs);
    QFETCH(qint64, paddingMs);
    QFETCH(Placements, expected);
    QFETCH(QString, message);
    QList<AudioBuffer> clips;
    for (qsizetype n : lengths) {
        clips.append(constant(n));
    }
    Placements placements{{-1, -1, -1}};
    QString error;
    const auto mix = mixSegments(clips, starts, ends, durationMs, paddingMs, &placements, &error);
    const auto plan = planTimeline(clips, starts, ends, durationMs, paddingMs, &error);
    QCOMPARE(placements.takeFirst(), (ClipPlacement{-1, -1, -1})); // appended, not cleared
    QCOMPARE(placements, expected);
    if (!message.isEmpty()) {
        QVERIFY(!mix);
        QVERIFY(!plan);
        QCOMPARE(error, message);
        return;
    }
    QVERIFY2(mix, qPrintable(error));
    QVERIFY(plan);
    QCOMPARE(plan->placements, placements);
    QCOMPARE(mix->sampleRate, 44100);
    QCOMPARE(mix->samples.size(), qsizetype((durationMs + paddingMs) * 44100 / 1000));
    QCOMPARE(plan->totalSamples, qint64(mix->samples.size()));
    // Each clip occupies exactly its planned span.
    qsizetype loud = 0;
    for (double s : mix->samples) {
        loud += s != 0.0;
    }
    qsizetype total = 0;
    for (qsizetype i = 0; i < lengths.size(); ++i) {
        total += lengths[i];
        const qint64 at = plan->startSamples[i];
        QCOMPARE(mix->samples[at], 0.5);
        QCOMPARE(mix->samples[at + lengths[i] - 1], 0.5);
    }
    QCOMPARE(loud, total);
}

void TestAudioMix::paddingNeededFitsEveryClip_data() {
    QTest::addColumn<QList<qsizetype>>("lengths");
    QTest::addColumn<QList<qint64>>("starts");
    QTest::addColumn<QList<qint64>>("ends");
    QTest::addColumn<qint64>("durationMs");
    QTest::addColumn<qint64>("paddingNeededMs");

    QTest::newRow("last clip overruns") << QList<qsizetype>{88200} << QList<qint64>{9000}
                                        << QList<qint64>{10000} << qint64(10000) << qint64(1000);
    // Speech (3 s) is far shorter than the cues' span, yet the last clip ends 2.54 s late: the
    // first cue starts late and each collision adds a fifth of the gap between the cues.
    QTest::newRow("late first cue and collisions")
        << QList<qsizetype>{44100, 44100, 44100} << QList<qint64>{5000, 5200, 5400}
        << QList<qint64>{5100, 5300, 5500} << qint64(5500) << qint64(2540);
    QTest::newRow("empty clip past the end") << QList<qsizetype>{0} << QList<qint64>{2000}
                                             << QList<qint64>{2100} << qint64(1000) << qint64(1001);
}

void TestAudioMix::paddingNeededFitsEveryClip() {
    QFETCH(QList<qsizetype>, lengths);
    QFETCH(QList<qint64>, starts);
    QFETCH(QList<qint64>, ends);
    QFETCH(qint64, durationMs);
    QFETCH(qint64, paddingNeededMs);
    QList<AudioBuffer> clips;
    QList<qint64> sampleLengths;
    for (qsizetype n : lengths) {
        clips.append(constant(n));
        sampleLengths.append(n);
    }
    TimelinePlanFailure failure;
    QString error;
    QVERIFY(!planTimeline(clips, starts, ends, durationMs, 0, &error, &failure));
    QVERIFY(error.contains(QLatin1String("additional padding")));
    QCOMPARE(failure.kind, TimelinePlanFailure::Kind::ClipPastEnd);
    QCOMPARE(failure.paddingNeededMs, paddingNeededMs);
    TimelinePlanFailure fromLengths;
    QVERIFY(!planTimelineFromLengths(sampleLengths, 44100, starts, ends, durationMs, 0, &error,
                                     &fromLengths));
    QCOMPARE(fromLengths.paddingNeededMs, paddingNeededMs);
    // The figure is the least that fits.
    QVERIFY(planTimeline(clips, starts, ends, durationMs, paddingNeededMs, &error));
    QVERIFY(!planTimeline(clips, starts, ends, durationMs, paddingNeededMs - 1, &error, &failure));
    QCOMPARE(failure.kind, TimelinePlanFailure::Kind::ClipPastEnd);
    // A plan that fails for another reason says so.
    QVERIFY(!planTimeline(clips, starts, {}, durationMs, 0, &error, &failure));
    QCOMPARE(failure.kind, TimelinePlanFailure::Kind::InvalidInput);
}

void TestAudioMix::pushedClipLandsAtSample() {
    const auto mix = mixSegments({constant(132300), constant(44100, -0.25)}, {0, 2500},
                                 {2000, 4000}, 10000, 0, nullptr, nullptr);
    QVERIFY(mix);
    QCOMPARE(mix->samples[136709], 0.0);
    QCOMPARE(mix->samples[136710], -0.25);
    QCOMPARE(mix->samples[132299], 0.5);
    QCOMPARE(mix->samples[132300], 0.0);
}

void TestAudioMix::mismatchedRateKeepsDuration() {
    const AudioBuffer first = tone(440, 1.0, 44100, 0.5);
    const AudioBuffer half = tone(440, 1.0, 22050, 0.5);
    Placements placements;
    QString error;
    const auto mix =
        mixSegments({first, half}, {0, 2000}, {1000, 3000}, 4000, 0, &placements, &error);
    QVERIFY2(mix, qPrintable(error));
    QCOMPARE(placements.size(), 2);
    QCOMPARE(placements[1].actualStartMs, 2000);
    QCOMPARE(placements[1].actualEndMs, 3000);
    // The second clip sounds like the first: a 440 Hz tone of one second.
    double err = 0;
    for (qsizetype k = 100; k < 44000; ++k) {
        err = std::max(err, std::fabs(mix->samples[88200 + k] - first.samples[k]));
    }
    QVERIFY2(err < 0.02, qPrintable(QString::number(err)));
    const auto plan = planTimeline({first, half}, {0, 2000}, {1000, 3000}, 4000, 0, nullptr);
    QVERIFY(plan);
    QCOMPARE(plan->placements, placements);
    // Same-rate clips are used as they are.
    const auto same = mixSegments({first}, {0}, {1000}, 1000, 0, nullptr, nullptr);
    QVERIFY(same);
    QCOMPARE(same->samples, first.samples);
}

void TestAudioMix::firstRateMustBePositive() {
    QString error;
    QVERIFY(!mixSegments({constant(10, 0.5, 0)}, {0}, {10}, 1000, 0, nullptr, &error));
    QCOMPARE(error, QStringLiteral("invalid sample rate of the first segment: 0"));
}

void TestAudioMix::normalize_data() {
    QTest::addColumn<QList<double>>("in");
    QTest::addColumn<QList<double>>("out");
    QTest::newRow("scaled down") << QList<double>{0.5, -2.0, 1.0} << QList<double>{0.25, -1.0, 0.5};
    QTest::newRow("peak 1.6") << QList<double>{1.6, 0.8, -0.4} << QList<double>{1.0, 0.5, -0.25};
    QTest::newRow("peak exactly 1") << QList<double>{1.0, -0.5} << QList<double>{1.0, -0.5};
    QTest::newRow("quiet never amplified") << QList<double>{0.1, -0.2} << QList<double>{0.1, -0.2};
    QTest::newRow("empty") << QList<double>{} << QList<double>{};
}

void TestAudioMix::normalize() {
    QFETCH(QList<double>, in);
    QFETCH(QList<double>, out);
    AudioBuffer buffer;
    buffer.sampleRate = 8000;
    buffer.samples = in;
    lyrane::normalize(buffer);
    QCOMPARE(buffer.samples, out);
    QCOMPARE(buffer.sampleRate, 8000);
}

void TestAudioMix::mixScalesOnlyBeyondFullScale() {
    const auto mix = mixSegments({constant(100, 0.5), constant(100, -2.0)}, {0, 100}, {1, 101},
                                 1000, 0, nullptr, nullptr);
    QVERIFY(mix);
    QCOMPARE(mix->samples[0], 0.25);
    QCOMPARE(mix->samples[4410], -1.0);
}

void TestAudioMix::trimEndSilence_data() {
    QTest::addColumn<int>("silentTail");
    QTest::addColumn<double>("tailValue");
    QTest::addColumn<int>("expected");
    QTest::newRow("99 silent kept") << 99 << 0.0 << 1000;
    QTest::newRow("100 silent cut") << 100 << 0.0 << 900;
    QTest::newRow("0.001 counts as silent") << 100 << -0.001 << 900;
    QTest::newRow("just above threshold kept") << 500 << 0.0011 << 1000;
    QTest::newRow("all silent") << 1000 << 0.0005 << 0;
}

void TestAudioMix::trimEndSilence() {
    QFETCH(int, silentTail);
    QFETCH(double, tailValue);
    QFETCH(int, expected);
    AudioBuffer buffer = constant(1000, 0.3, 22050);
    for (int i = 1000 - silentTail; i < 1000; ++i) {
        buffer.samples[i] = tailValue;
    }
    const AudioBuffer trimmed = lyrane::trimEndSilence(buffer);
    QCOMPARE(trimmed.sampleRate, 22050);
    QCOMPARE(trimmed.samples, buffer.samples.first(expected));
    AudioBuffer empty;
    empty.sampleRate = 16000;
    QCOMPARE(lyrane::trimEndSilence(empty).sampleRate, 16000);
}

// 16-bit values trim exactly where their samples (value / 32768) do.
void TestAudioMix::trimmedLengthOfPcm16_data() {
    QTest::addColumn<int>("tailValue");
    QTest::addColumn<int>("expected");
    QTest::newRow("32 is silence") << 32 << 900;
    QTest::newRow("-32 is silence") << -32 << 900;
    QTest::newRow("33 is sound") << 33 << 1000;
    QTest::newRow("-33 is sound") << -33 << 1000;
}

void TestAudioMix::trimmedLengthOfPcm16() {
    QFETCH(int, tailValue);
    QFETCH(int, expected);
    std::vector<qint16> values(1000, qint16(-32768));
    QList<double> samples;
    for (int i = 0; i < 1000; ++i) {
        values[size_t(i)] = qint16(i < 900 ? -32768 : tailValue);
        samples.append(lyrane::fromPcm16(values[size_t(i)]));
    }
    QCOMPARE(lyrane::trimmedLength(values.data(), 1000), qsizetype(expected));
    QCOMPARE(lyrane::trimmedLength(samples), qsizetype(expected));
}

void TestAudioMix::timelineFilesEqualMix_data() {
    QTest::addColumn<bool>("loud");
    QTest::newRow("within full scale") << false;
    QTest::newRow("beyond full scale") << true;
}

void TestAudioMix::timelineFilesEqualMix() {
    QFETCH(bool, loud);
    // Clips cross the render's chunk boundaries, collide, and one has another rate.
    QList<AudioBuffer> clips{tone(220, 1.7, 44100, 0.6), tone(330, 2.4, 44100, loud ? 1.7 : 0.9),
                             tone(440, 0.9, 22050, 0.5), tone(550, 3.1, 44100, 0.7),
                             AudioBuffer{{}, 44100},     tone(660, 0.05, 44100, 0.3)};
    const QList<qint64> starts{250, 1000, 4200, 6000, 9000, 9010};
    const QList<qint64> ends{1200, 3000, 5000, 8000, 9005, 9100};
    Placements placements;
    QString error;
    const auto mix = mixSegments(clips, starts, ends, 12000, 300, &placements, &error);
    QVERIFY2(mix, qPrintable(error));
    const auto plan = planTimeline(clips, starts, ends, 12000, 300, &error);
    QVERIFY(plan);
    QCOMPARE(plan->placements, placements);
    QVERIFY(placements[1].actualStartMs > placements[1].desiredStartMs);

    const QString wavMix = m_dir.filePath(QStringLiteral("mix.wav"));
    const QString wavStream = m_dir.filePath(QStringLiteral("stream.wav"));
    QVERIFY(writeWav(*mix, wavMix, &error));
    QVERIFY2(writeTimelineWav(clips, *plan, wavStream, &error), qPrintable(error));
    const QByteArray wavBytes = readAll(wavMix);
    QCOMPARE(wavBytes.size(), 44 + 2 * mix->samples.size());
    QVERIFY(readAll(wavStream) == wavBytes);

    const QString mp3Mix = m_dir.filePath(QStringLiteral("mix.mp3"));
    const QString mp3Stream = m_dir.filePath(QStringLiteral("stream.mp3"));
    QVERIFY(encodeMp3(*mix, mp3Mix, &error));
    QVERIFY2(writeTimelineMp3(clips, *plan, mp3Stream, &error), qPrintable(error));
    const QByteArray mp3Bytes = readAll(mp3Mix);
    QVERIFY(mp3Bytes.size() > 1000);
    QVERIFY(readAll(mp3Stream) == mp3Bytes);

    // A plan for other clips is refused.
    QVERIFY(!writeTimelineWav(clips.mid(0, 2), *plan, wavStream, &error));
    QCOMPARE(error, QStringLiteral("timeline plan does not match the segments"));
}

QTEST_GUILESS_MAIN(TestAudioMix)

#include "test_audio_mix.moc"
