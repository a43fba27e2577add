#include "audio/clip_loading.h"
#include "audio/mp3_codec.h"
#include "audio/prepared_clips.h"
#include "audio/resampling.h"
#include "audio/streamed_timeline.h"
#include "audio/time_stretch.h"
#include "audio/timeline_plan.h"
#include "audio/timeline_reference.h"
#include "audio/timeline_render.h"
#include "audio/wav_file.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

using namespace lyrane;

namespace {

// A tone with a loud last sample and then a silent tail long enough to be trimmed.
AudioBuffer tone(double seconds, double frequency, double amplitude, int rate) {
    AudioBuffer buffer;
    buffer.sampleRate = rate;
    const qsizetype n = qsizetype(seconds * rate);
    buffer.samples.resize(n + rate / 10);
    for (qsizetype i = 0; i < n; ++i) {
        buffer.samples[i] = amplitude * std::sin(2.0 * M_PI * frequency * double(i) / rate);
    }
    buffer.samples[n - 1] = amplitude;
    return buffer;
}

// Full-scale square wave: resampling it rings above full scale, so the mix is scaled down.
AudioBuffer square(double seconds, int rate) {
    AudioBuffer buffer;
    buffer.sampleRate = rate;
    buffer.samples.resize(qsizetype(seconds * rate));
    for (qsizetype i = 0; i < buffer.samples.size(); ++i) {
        buffer.samples[i] = (i / 40) % 2 ? 1.0 : -1.0;
    }
    return buffer;
}

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

constexpr double kMaxSpeedUp = 1.5;

// The rule a run applies: a clip longer than its slot is sped up to fit it, up to 1.5x.
double speedToFit(qint64 length, int rate, qint64 slotMs) {
    const qint64 slotSamples = slotMs * rate / 1000;
    if (slotSamples <= 0 || length <= slotSamples) {
        return 1.0;
    }
    return std::min(double(length) / double(slotSamples), kMaxSpeedUp);
}

} // namespace

class PreparedClipsTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QHash<QString, QString> files;

    QString clipPath(const QString& name) const { return files.value(name); }

private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        QString error;
        const auto save = [&](const QString& name, const AudioBuffer& buffer) {
            const QString path = dir.filePath(name);
            const bool ok = name.endsWith(QLatin1String(".mp3")) ? encodeMp3(buffer, path, &error)
                                                                 : writeWav(buffer, path, &error);
            files.insert(name, path);
            return ok;
        };
        QVERIFY2(save("a.wav", tone(1.2, 440.0, 0.5, 44100)), qPrintable(error));
        QVERIFY2(save("b.mp3", tone(0.9, 660.0, 0.6, 44100)), qPrintable(error));
        QVERIFY2(save("c.wav", tone(0.8, 330.0, 0.4, 22050)), qPrintable(error));
        QVERIFY2(save("d.wav", tone(2.6, 520.0, 0.3, 44100)), qPrintable(error));
        QVERIFY2(save("e.wav", tone(2.4, 250.0, 0.7, 48000)), qPrintable(error));
        QVERIFY2(save("f.mp3", tone(1.0, 880.0, 0.5, 22050)), qPrintable(error));
        QVERIFY2(save("g.wav", square(0.5, 16000)), qPrintable(error));
    }

    // The streamed passes write the very bytes the in-memory path writes: every clip loaded,
    // resampled to the first clip's rate and sped up, then mixed and normalised at once.
    void streamedEqualsInMemory_data() {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QList<qint64>>("starts");
        QTest::addColumn<bool>("autospeed");

        const QList<qint64> fourStarts{0, 1500, 3000, 4200};
        QTest::newRow("wav clips at one rate")
            << QStringList{"a.wav", "d.wav", "a.wav", "d.wav"} << fourStarts << false;
        QTest::newRow("mp3 clips")
            << QStringList{"b.mp3", "b.mp3", "f.mp3", "b.mp3"} << fourStarts << false;
        QTest::newRow("mixed rates")
            << QStringList{"a.wav", "c.wav", "e.wav", "f.mp3"} << fourStarts << false;
        QTest::newRow("stretched clips") << QStringList{"a.wav", "d.wav", "a.wav", "d.wav"}
                                         << QList<qint64>{0, 1300, 3300, 5000} << true;
        QTest::newRow("everything at once, over full scale")
            << QStringList{"c.wav", "d.wav", "b.mp3", "e.wav", "g.wav"}
            << QList<qint64>{0, 1000, 3000, 4000, 5500} << true;
    }

    void streamedEqualsInMemory() {
        QFETCH(QStringList, names);
        QFETCH(QList<qint64>, starts);
        QFETCH(bool, autospeed);

        QStringList paths;
        QList<qint64> ends;
        for (int i = 0; i < names.size(); ++i) {
            paths.append(clipPath(names[i]));
            ends.append(starts[i] + 800);
        }
        const qint64 durationMs = starts.last() + 3000;
        const auto slotMs = [&](qsizetype i) {
            return (i + 1 < starts.size() ? starts[i + 1] : durationMs) - starts[i];
        };

        // In memory, stage by stage.
        QString error;
        QList<AudioBuffer> clips;
        for (const QString& path : paths) {
            const auto loaded = loadAudio(path, &error);
            QVERIFY2(loaded, qPrintable(error));
            clips.append(trimEndSilence(*loaded));
        }
        const int rate = clips.first().sampleRate;
        QList<double> speedUps;
        for (qsizetype i = 0; i < clips.size(); ++i) {
            if (clips[i].sampleRate != rate) {
                const auto resampled = resample(clips[i], rate, &error);
                QVERIFY2(resampled, qPrintable(error));
                clips[i] = *resampled;
            }
            const double factor =
                autospeed ? speedToFit(clips[i].samples.size(), rate, slotMs(i)) : 1.0;
            if (factor != 1.0) {
                const auto faster = speedUp(clips[i], factor, &error);
                QVERIFY2(faster, qPrintable(error));
                clips[i] = *faster;
            }
            speedUps.append(factor);
        }
        const auto plan = planTimeline(clips, starts, ends, durationMs, 1000, &error);
        QVERIFY2(plan, qPrintable(error));
        const QString memoryWav = dir.filePath("memory.wav");
        const QString memoryMp3 = dir.filePath("memory.mp3");
        QVERIFY2(writeTimelineWav(clips, *plan, memoryWav, &error), qPrintable(error));
        QVERIFY2(writeTimelineMp3(clips, *plan, memoryMp3, &error), qPrintable(error));

        // Streamed: measured on two threads, made again one clip at a time.
        ClipPreparation preparation;
        preparation.threads = 2;
        if (autospeed) {
            preparation.speedUp = [&](qsizetype i, qint64 length, int clipRate) {
                return speedToFit(length, clipRate, slotMs(i));
            };
        }
        ClipFailure failure;
        const auto prepared = PreparedClips::prepare(paths, preparation, &failure);
        QVERIFY2(prepared, qPrintable(failure.message));
        QCOMPARE(prepared->sampleRate(), rate);
        QCOMPARE(prepared->speedUps(), speedUps);
        QCOMPARE(std::any_of(speedUps.cbegin(), speedUps.cend(), [](double f) { return f > 1.0; }),
                 autospeed);
        double peak = 0.0;
        for (qsizetype i = 0; i < clips.size(); ++i) {
            QCOMPARE(prepared->lengths()[i], qint64(clips[i].samples.size()));
            // Measured on the way, from 16-bit values or samples: the prepared clip's figures.
            const ClipFigures expected = measureClip(clips[i].samples, rate);
            const ClipFigures& figures = prepared->figures()[i];
            QCOMPARE(figures.peak, expected.peak);
            QCOMPARE(figures.speechSamples, expected.speechSamples);
            QCOMPARE(figures.envelope, expected.envelope);
            for (const double s : std::as_const(clips[i].samples)) {
                peak = std::max(peak, std::fabs(s));
            }
        }
        QCOMPARE(prepared->peak(), peak);
        if (QByteArray(QTest::currentDataTag()).contains("full scale")) {
            QVERIFY(peak > 1.0);
        }

        const auto streamedPlan = planTimelineFromLengths(
            prepared->lengths(), prepared->sampleRate(), starts, ends, durationMs, 1000, &error);
        QVERIFY2(streamedPlan, qPrintable(error));
        QCOMPARE(streamedPlan->startSamples, plan->startSamples);
        const TimelineClipLoader load = [&](qsizetype i, AudioBuffer& clip, QString* e) {
            return prepared->load(i, clip, e);
        };
        const QString streamedWav = dir.filePath("streamed.wav");
        const QString streamedMp3 = dir.filePath("streamed.mp3");
        QVERIFY2(writeStreamedTimelineWav(*streamedPlan, prepared->lengths(), prepared->peak(),
                                          load, streamedWav, &error),
                 qPrintable(error));
        QVERIFY2(writeStreamedTimelineMp3(*streamedPlan, prepared->lengths(), prepared->peak(),
                                          load, streamedMp3, &error),
                 qPrintable(error));
        QVERIFY(contents(memoryWav).size() > 44);
        QVERIFY(contents(streamedWav) == contents(memoryWav));
        QVERIFY(contents(memoryMp3).size() > 0);
        QVERIFY(contents(streamedMp3) == contents(memoryMp3));
    }

    // The failure reported is the one a stage-by-stage run meets first: any clip that cannot be
    // loaded before any clip that cannot be sped up, the earliest of a kind.
    void failuresRankedAsStageByStage_data() {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<int>("badSpeedAt"); // -1: none
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("index");

        const int load = int(ClipFailure::Kind::Load);
        const int speedUp = int(ClipFailure::Kind::SpeedUp);
        QTest::newRow("missing clip")
            << QStringList{"a.wav", "b.mp3", "missing.wav", "c.wav"} << -1 << load << 2;
        QTest::newRow("first clip missing")
            << QStringList{"missing.mp3", "a.wav"} << -1 << load << 0;
        QTest::newRow("speed-up failure")
            << QStringList{"a.wav", "d.wav", "a.wav", "d.wav"} << 1 << speedUp << 1;
        QTest::newRow("missing clip after a speed-up failure")
            << QStringList{"a.wav", "d.wav", "a.wav", "missing.wav"} << 1 << load << 3;
    }

    void failuresRankedAsStageByStage() {
        QFETCH(QStringList, names);
        QFETCH(int, badSpeedAt);
        QFETCH(int, kind);
        QFETCH(int, index);
        QStringList paths;
        for (const QString& name : names) {
            paths.append(files.contains(name) ? clipPath(name) : dir.filePath(name));
        }
        ClipPreparation preparation;
        preparation.threads = 2;
        preparation.speedUp = [badSpeedAt](qsizetype i, qint64, int) {
            return i == badSpeedAt ? 0.0 : 1.0;
        };
        ClipFailure failure;
        QVERIFY(!PreparedClips::prepare(paths, preparation, &failure));
        QCOMPARE(int(failure.kind), kind);
        QCOMPARE(int(failure.index), index);
        QVERIFY(!failure.message.isEmpty());
    }

    // The first pass's loudness reading is the timeline's: the clips one after another with
    // their pauses read the same, whatever the threads.
    void loudnessOfTheClipsIsTheTimelines() {
        const QStringList names{"a.wav", "d.wav", "a.wav", "d.wav", "a.wav", "d.wav"};
        QStringList paths;
        QList<qint64> starts;
        QList<qint64> ends;
        for (int i = 0; i < names.size(); ++i) {
            paths.append(clipPath(names[i]));
            starts.append(i * 4000);
            ends.append(i * 4000 + 3000);
        }
        ClipPreparation preparation;
        preparation.measureLoudness = true;
        preparation.threads = 2;
        ClipFailure failure;
        const auto prepared = PreparedClips::prepare(paths, preparation, &failure);
        QVERIFY2(prepared, qPrintable(failure.message));
        QVERIFY(prepared->loudness());

        QString error;
        const auto plan = planTimelineFromLengths(prepared->lengths(), prepared->sampleRate(),
                                                  starts, ends, 24000, 0, &error);
        QVERIFY2(plan, qPrintable(error));
        LoudnessMeter meter;
        QVERIFY(meter.open(prepared->sampleRate(), &error));
        std::vector<double> timeline(size_t(plan->totalSamples), 0.0);
        AudioBuffer clip;
        for (qsizetype i = 0; i < paths.size(); ++i) {
            QVERIFY(prepared->load(i, clip, &error));
            std::copy(clip.samples.cbegin(), clip.samples.cend(),
                      timeline.begin() + plan->startSamples[i]);
        }
        QVERIFY(meter.add(timeline.data(), qint64(timeline.size()), &error));
        const auto whole = meter.reading(&error);
        QVERIFY(whole);
        QVERIFY2(std::fabs(whole->integratedLufs - prepared->loudness()->integratedLufs) < 0.1,
                 qPrintable(QStringLiteral("%1 against %2")
                                .arg(prepared->loudness()->integratedLufs)
                                .arg(whole->integratedLufs)));
        QVERIFY(std::fabs(whole->truePeakDbtp - prepared->loudness()->truePeakDbtp) < 0.05);
    }
};

QTEST_GUILESS_MAIN(PreparedClipsTest)
#include "test_prepared_clips.moc"
