#include "audio/programme_mix.h"

#include "audio/wav_file.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

using namespace lyrane;

Q_DECLARE_METATYPE(lyrane::MixedOutputKind)

namespace {

bool generate(const QStringList& arguments) {
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 QStringList{QStringLiteral("-nostdin"), QStringLiteral("-v"),
                             QStringLiteral("error"), QStringLiteral("-y")} +
                     arguments);
    return ffmpeg.waitForFinished(60000) && ffmpeg.exitCode() == 0;
}

// A narration of `seconds` at `rate`: a 300 Hz tone of `amplitude` over each clip, else silence.
NarrationSource toneNarration(int rate, double seconds, QList<SampleSpan> clips, double amplitude,
                              qint64* position) {
    NarrationSource narration;
    narration.sampleRate = rate;
    narration.totalSamples = qint64(seconds * rate);
    narration.clips = clips;
    narration.read = [=](double* out, qint64 max, QString*) {
        const qint64 count = std::min(max, narration.totalSamples - *position);
        for (qint64 i = 0; i < count; ++i) {
            const qint64 n = *position + i;
            bool inClip = false;
            for (const SampleSpan& clip : clips) {
                inClip = inClip || (n >= clip.start && n < clip.end);
            }
            out[i] = inClip ? amplitude * std::sin(2 * M_PI * 300.0 * double(n) / rate) : 0.0;
        }
        *position += count;
        return count;
    };
    return narration;
}

double rms(const QList<double>& samples, qint64 from, qint64 to) {
    double sum = 0;
    for (qint64 i = from; i < to; ++i) {
        sum += samples[i] * samples[i];
    }
    return std::sqrt(sum / double(to - from));
}

} // namespace

class ProgrammeMixTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString stereoTone; // 4 s of 1 kHz at 48 kHz on both channels

private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        stereoTone = dir.filePath(QStringLiteral("tone.wav"));
        QVERIFY(generate({QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                          QStringLiteral("sine=frequency=1000:sample_rate=48000:duration=4"),
                          QStringLiteral("-ac"), QStringLiteral("2"), QStringLiteral("-c:a"),
                          QStringLiteral("pcm_s16le"), stereoTone}));
    }

    void outputKinds_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("known");
        QTest::addColumn<MixedOutputKind>("kind");
        QTest::addColumn<bool>("video");
        QTest::newRow("wav") << "a/b.wav" << true << MixedOutputKind::Wav << false;
        QTest::newRow("MP3 in capitals") << "b.MP3" << true << MixedOutputKind::Mp3 << false;
        QTest::newRow("m4a") << "b.m4a" << true << MixedOutputKind::M4a << false;
        QTest::newRow("mp4") << "b.mp4" << true << MixedOutputKind::Video << true;
        QTest::newRow("mov") << "x.y.MOV" << true << MixedOutputKind::Video << true;
        QTest::newRow("mkv") << "b.mkv" << true << MixedOutputKind::Video << true;
        QTest::newRow("ogg") << "b.ogg" << false << MixedOutputKind::Wav << false;
        QTest::newRow("no extension") << "mp4" << false << MixedOutputKind::Wav << false;
    }

    void outputKinds() {
        QFETCH(QString, path);
        QFETCH(bool, known);
        QFETCH(MixedOutputKind, kind);
        QFETCH(bool, video);
        const std::optional<MixedOutputKind> found = mixedOutputKindForPath(path);
        QCOMPARE(found.has_value(), known);
        if (known) {
            QCOMPARE(*found, kind);
        }
        QCOMPARE(isVideoOutputPath(path), video);
    }

    // A 44.1 kHz narration over a 48 kHz stereo programme: the programme's rate and layout are
    // kept, the narration is resampled and lands in the centre, the programme is ducked under
    // the clip and untouched elsewhere.
    void mixesAtTheProgrammesRateAndLayout() {
        qint64 position = 0;
        const NarrationSource narration =
            toneNarration(44100, 4.0, {{44100, 88200}}, 0.25, &position);
        ProgrammeMixSettings settings;
        settings.programmePath = stereoTone;
        settings.duckDb = 10;
        const QString output = dir.filePath(QStringLiteral("mix.wav"));
        QString error;
        ProgrammeMixReport report;
        QVERIFY2(mixNarrationOverProgramme(settings, narration, output, &report, &error),
                 qPrintable(error));
        QCOMPARE(report.extendedByMs, 0);
        QVERIFY(report.hasProgrammeAudio);

        // Both channels hold the same mix; readWav keeps the first, ffmpeg gives the second.
        const QString right = dir.filePath(QStringLiteral("right.wav"));
        QVERIFY(generate({QStringLiteral("-i"), output, QStringLiteral("-af"),
                          QStringLiteral("pan=mono|c0=c1"), QStringLiteral("-c:a"),
                          QStringLiteral("pcm_s16le"), right}));
        const std::optional<AudioBuffer> left = readWav(output, &error);
        const std::optional<AudioBuffer> second = readWav(right, &error);
        QVERIFY(left && second);
        QCOMPARE(left->sampleRate, 48000);
        QCOMPARE(left->samples.size(), qsizetype(4 * 48000));
        QCOMPARE(left->samples, second->samples);

        const std::optional<AudioBuffer> tone = readWav(stereoTone, &error);
        QVERIFY(tone);
        // Far from the clip: the programme alone, unchanged.
        QVERIFY(std::fabs(rms(left->samples, 0, 30000) - rms(tone->samples, 0, 30000)) < 1e-4);
        QVERIFY(std::fabs(rms(left->samples, 150000, 190000) - rms(tone->samples, 150000, 190000)) <
                1e-4);
        // Inside the clip: the ducked tone plus the narration's tone, uncorrelated.
        const double programme = rms(tone->samples, 52000, 92000) * duckGainFromDb(10);
        const double voice = 0.25 / std::sqrt(2.0);
        QVERIFY(std::fabs(rms(left->samples, 52000, 92000) -
                          std::sqrt(programme * programme + voice * voice)) < 2e-3);
    }

    void narrationPastTheEndExtendsTheOutput() {
        qint64 position = 0;
        const NarrationSource narration =
            toneNarration(48000, 5.5, {{4 * 48000, 5 * 48000}}, 0.25, &position);
        ProgrammeMixSettings settings;
        settings.programmePath = stereoTone;
        const QString output = dir.filePath(QStringLiteral("longer.m4a"));
        QString error;
        ProgrammeMixReport report;
        QVERIFY2(mixNarrationOverProgramme(settings, narration, output, &report, &error),
                 qPrintable(error));
        QCOMPARE(report.extendedByMs, 1500);
    }

    // Whatever fails, the output's name is left as it was and nothing is left beside it.
    void failuresLeaveNoFile_data() {
        QTest::addColumn<QString>("programme");
        QTest::addColumn<int>("stream");
        QTest::addColumn<bool>("narrationFails");
        QTest::addColumn<QString>("message");
        QTest::newRow("no such programme") << "missing.mp4" << 0 << false << "cannot open ";
        QTest::newRow("stream out of range")
            << "tone.wav" << 1 << false << "has no audio stream 1 (it has 1 audio streams)";
        QTest::newRow("narration cannot be read") << "tone.wav" << 0 << true << "disk gone";
    }

    void failuresLeaveNoFile() {
        QFETCH(QString, programme);
        QFETCH(int, stream);
        QFETCH(bool, narrationFails);
        QFETCH(QString, message);
        QTemporaryDir outputDir;
        qint64 position = 0;
        NarrationSource narration = toneNarration(48000, 3.0, {{0, 48000}}, 0.25, &position);
        if (narrationFails) {
            narration.read = [](double*, qint64, QString* error) -> qint64 {
                *error = QStringLiteral("disk gone");
                return -1;
            };
        }
        ProgrammeMixSettings settings;
        settings.programmePath = dir.filePath(programme);
        settings.audioStream = stream;
        const QString output = outputDir.filePath(QStringLiteral("out.mp4"));
        QString error;
        QVERIFY(!mixNarrationOverProgramme(settings, narration, output, nullptr, &error));
        QVERIFY2(error.contains(message), qPrintable(error));
        QCOMPARE(QDir(outputDir.path())
                     .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{});
    }
};

QTEST_GUILESS_MAIN(ProgrammeMixTest)
#include "test_programme_mix.moc"
