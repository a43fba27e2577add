#include "audio/audio_buffer.h"
#include "audio/clip_loading.h"
#include "audio/mp3_codec.h"
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

AudioBuffer tone(qsizetype length, double amplitude, int rate = 44100, qsizetype silentTail = 0) {
    AudioBuffer buffer;
    buffer.sampleRate = rate;
    buffer.samples.resize(length + silentTail);
    for (qsizetype i = 0; i < length; ++i) {
        buffer.samples[i] = amplitude * std::sin(2.0 * M_PI * 440.0 * double(i) / rate);
    }
    buffer.samples[length - 1] = amplitude; // a loud last sample marks where the sound ends
    return buffer;
}

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class StreamedTimelineTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    // The second clip collides with the first and is pushed; the third starts at its cue.
    const QList<AudioBuffer> clips{tone(132300, 0.5), tone(22050, 1.6), tone(4410, 0.25)};
    const QList<qint64> starts{0, 2500, 6000};
    const QList<qint64> ends{2000, 3000, 7000};

    QList<qint64> lengths() const {
        QList<qint64> result;
        for (const AudioBuffer& clip : clips) {
            result.append(clip.samples.size());
        }
        return result;
    }
    TimelineClipLoader loaderFor(const QList<AudioBuffer>& source) const {
        return [source](qsizetype index, AudioBuffer& clip, QString*) {
            clip = source[index];
            return true;
        };
    }

private slots:
    void planFromLengthsMatchesPlanFromClips() {
        QString error;
        const auto fromClips = planTimeline(clips, starts, ends, 7000, 500, &error);
        const auto fromLengths =
            planTimelineFromLengths(lengths(), 44100, starts, ends, 7000, 500, &error);
        QVERIFY(fromClips && fromLengths);
        QCOMPARE(fromLengths->startSamples, fromClips->startSamples);
        QCOMPARE(fromLengths->totalSamples, fromClips->totalSamples);
        QCOMPARE(fromLengths->placements.size(), 3);
        QCOMPARE(fromLengths->placements[1].actualStartMs, 3100);

        QString clipError;
        QString lengthError;
        QVERIFY(!planTimeline(clips, starts, ends, 3000, 0, &clipError));
        QVERIFY(!planTimelineFromLengths(lengths(), 44100, starts, ends, 3000, 0, &lengthError));
        QCOMPARE(lengthError, clipError);
        QVERIFY(lengthError.contains("additional padding"));
    }

    void streamedFilesEqualTheMixWrittenWhole() {
        QString error;
        const auto plan = planTimeline(clips, starts, ends, 7000, 500, &error);
        QVERIFY(plan);
        const auto mix = mixSegments(clips, starts, ends, 7000, 500, nullptr, &error);
        QVERIFY(mix);
        const double peak = 1.6; // the loud second clip makes the mix scale down

        const QString whole = dir.filePath("whole.wav");
        const QString streamed = dir.filePath("streamed.wav");
        QVERIFY(writeWav(*mix, whole, &error));
        QVERIFY2(
            writeStreamedTimelineWav(*plan, lengths(), peak, loaderFor(clips), streamed, &error),
            qPrintable(error));
        QCOMPARE(contents(streamed), contents(whole));

        const QString wholeMp3 = dir.filePath("whole.mp3");
        const QString streamedMp3 = dir.filePath("streamed.mp3");
        QVERIFY(encodeMp3(*mix, wholeMp3, &error));
        QVERIFY2(
            writeStreamedTimelineMp3(*plan, lengths(), peak, loaderFor(clips), streamedMp3, &error),
            qPrintable(error));
        QCOMPARE(contents(streamedMp3), contents(wholeMp3));
    }

    void aClipThatChangedMeanwhileFailsAndLeavesNoFile() {
        QString error;
        const auto plan =
            planTimelineFromLengths(lengths(), 44100, starts, ends, 7000, 500, &error);
        QVERIFY(plan);
        QList<AudioBuffer> changed = clips;
        changed[2] = tone(100, 0.25);
        const QString path = dir.filePath("changed.wav");
        QVERIFY(!writeStreamedTimelineWav(*plan, lengths(), 1.6, loaderFor(changed), path, &error));
        QVERIFY2(!error.isEmpty(), "the failure has a message");
        QVERIFY(!QFile::exists(path));

        const TimelineClipLoader failing = [](qsizetype, AudioBuffer&, QString* loadError) {
            *loadError = QStringLiteral("gone");
            return false;
        };
        QVERIFY(!writeStreamedTimelineWav(*plan, lengths(), 1.6, failing, path, &error));
        QVERIFY2(error.contains("gone"), qPrintable(error));
        QVERIFY(!QFile::exists(path));
    }

    void loadTrimmedClipEqualsLoadThenTrim() {
        QString error;
        const QString path = dir.filePath("tailed.wav");
        QVERIFY(writeWav(tone(1000, 0.5, 22050, 300), path, &error));
        const auto loaded = loadAudio(path, &error);
        QVERIFY(loaded);
        const AudioBuffer expected = trimEndSilence(*loaded);
        QCOMPARE(expected.samples.size(), 1000);

        AudioBuffer reused = tone(5000, 0.1); // leftovers of a previous, longer clip
        QVERIFY(loadTrimmedClip(path, reused, &error));
        QCOMPARE(reused.sampleRate, 22050);
        QCOMPARE(reused.samples, expected.samples);

        QVERIFY(!loadTrimmedClip(dir.filePath("missing.wav"), reused, &error));
        QVERIFY(error.startsWith("failed to open WAV file"));
    }
};

QTEST_GUILESS_MAIN(StreamedTimelineTest)
#include "test_streamed_timeline.moc"
