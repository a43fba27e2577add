#include "audio/programme_mix.h"

#include "audio/mix_samples.h"
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

// One channel's sample of a frame's planes in `format`, as a number (16-bit: its integer).
double storedSample(uint8_t* const* planes, AVSampleFormat format, int channel) {
    switch (format) {
    case AV_SAMPLE_FMT_FLTP:
        return reinterpret_cast<const float*>(planes[channel])[0];
    case AV_SAMPLE_FMT_FLT:
        return reinterpret_cast<const float*>(planes[0])[channel];
    case AV_SAMPLE_FMT_S16P:
        return reinterpret_cast<const qint16*>(planes[channel])[0];
    default:
        return reinterpret_cast<const qint16*>(planes[0])[channel];
    }
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

    // A narration alone: MP3 by name, else WAV, ".wav" added when the name has neither.
    void narrationOutputs_data() {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("mp3");
        QTest::addColumn<QString>("mixPath");
        // clang-format off
        QTest::newRow("mp3") << "a/b.MP3" << "a/b.MP3" << true << "a/b.MP3";
        QTest::newRow("wav") << "b.Wav" << "b.Wav" << false << "b.Wav";
        QTest::newRow("bare") << "b" << "b.wav" << false << "b.wav";
        QTest::newRow("video") << "b.mp4" << "b.mp4.wav" << false << "b.mp4";
        QTest::newRow("other") << "b.ogg" << "b.ogg.wav" << false << "b.ogg.wav";
        // clang-format on
    }

    void narrationOutputs() {
        QFETCH(QString, option);
        QFETCH(QString, path);
        QFETCH(bool, mp3);
        QFETCH(QString, mixPath);
        QCOMPARE(narrationOutputPath(option), path);
        QCOMPARE(isMp3OutputPath(option), mp3);
        QCOMPARE(mixedOutputPath(option), mixPath);
    }

    // The mix of one sample, from the programme and narration through the ducking envelope to
    // the encoder's format. One clip over [1000, 2000): ramps over [900, 1000) and [2000, 2200).
    void mixesOneSample_data() {
        QTest::addColumn<int>("channels");
        QTest::addColumn<double>("duckDb");
        QTest::addColumn<qint64>("at");
        QTest::addColumn<bool>("playing"); // the programme still has sound
        QTest::addColumn<double>("left");
        QTest::addColumn<double>("right");
        QTest::addColumn<double>("narration");
        QTest::addColumn<double>("gain");
        QTest::addColumn<int>("format");
        QTest::addColumn<double>("wantLeft");
        QTest::addColumn<double>("wantRight");
        const int flt = AV_SAMPLE_FMT_FLT;
        const int fltp = AV_SAMPLE_FMT_FLTP;
        const int s16 = AV_SAMPLE_FMT_S16;
        const int s16p = AV_SAMPLE_FMT_S16P;
        // clang-format off
        QTest::newRow("before the ramp") << 1 << 20.0 << qint64(500) << true << 0.5 << 0.0 << 0.1 << 1.0 << flt << 0.6 << 0.0;
        QTest::newRow("held down 20 dB") << 1 << 20.0 << qint64(1500) << true << 0.5 << 0.0 << 0.1 << 1.0 << flt << 0.15 << 0.0;
        QTest::newRow("held down 10 dB") << 1 << 10.0 << qint64(1999) << true << 0.5 << 0.0 << 0.0 << 1.0 << flt << 0.5 * 0.316227766 << 0.0;
        QTest::newRow("0 dB: no ducking") << 1 << 0.0 << qint64(1500) << true << 0.5 << 0.0 << 0.1 << 1.0 << flt << 0.6 << 0.0;
        QTest::newRow("halfway down") << 1 << 20.0 << qint64(950) << true << 0.5 << 0.0 << 0.0 << 1.0 << flt << 0.275 << 0.0;
        QTest::newRow("halfway up") << 1 << 20.0 << qint64(2100) << true << 0.5 << 0.0 << 0.0 << 1.0 << flt << 0.275 << 0.0;
        QTest::newRow("released") << 1 << 20.0 << qint64(2200) << true << 0.5 << 0.0 << 0.0 << 1.0 << flt << 0.5 << 0.0;
        QTest::newRow("programme over") << 1 << 20.0 << qint64(500) << false << 0.5 << 0.0 << 0.1 << 1.0 << flt << 0.1 << 0.0;
        QTest::newRow("gain on the whole") << 1 << 0.0 << qint64(500) << true << 0.5 << 0.0 << 0.1 << 0.5 << flt << 0.3 << 0.0;
        QTest::newRow("stereo, centred") << 2 << 20.0 << qint64(1500) << true << 0.5 << -0.5 << 0.1 << 1.0 << flt << 0.15 << 0.05;
        QTest::newRow("stereo planar") << 2 << 0.0 << qint64(500) << true << 0.5 << -0.5 << 0.1 << 1.0 << fltp << 0.6 << -0.4;
        QTest::newRow("float clips") << 2 << 0.0 << qint64(500) << true << 0.9 << -0.9 << 0.3 << 1.0 << fltp << 1.0 << -0.6;
        QTest::newRow("float clips low") << 1 << 0.0 << qint64(500) << true << -0.9 << 0.0 << -0.3 << 1.0 << flt << -1.0 << 0.0;
        QTest::newRow("16-bit rounds") << 1 << 0.0 << qint64(500) << true << 0.25 << 0.0 << 0.0 << 1.0 << s16 << 8192.0 << 0.0;
        QTest::newRow("16-bit clips") << 2 << 0.0 << qint64(500) << true << 0.9 << -0.9 << 0.3 << 1.0 << s16 << 32767.0 << -19661.0;
        QTest::newRow("16-bit clips low") << 2 << 0.0 << qint64(500) << true << -0.9 << 0.9 << -0.3 << 1.0 << s16p << -32768.0 << 19661.0;
        // clang-format on
    }

    void mixesOneSample() {
        QFETCH(int, channels);
        QFETCH(double, duckDb);
        QFETCH(qint64, at);
        QFETCH(bool, playing);
        QFETCH(double, left);
        QFETCH(double, right);
        QFETCH(double, narration);
        QFETCH(double, gain);
        QFETCH(int, format);
        QFETCH(double, wantLeft);
        QFETCH(double, wantRight);
        DuckingEnvelope envelope(planDuckRegions({{1000, 2000}}, 100, 200), duckGainFromDb(duckDb));
        double duck = 0;
        envelope.fill(at, &duck, 1);
        const double programme[] = {left, right};
        const double* planesIn[] = {&programme[0], &programme[1]};
        double mixed[2] = {};
        mixSamples(planesIn, channels, playing ? 1 : 0, &duck, &narration, gain, 1, mixed);
        alignas(8) uint8_t first[8] = {};
        alignas(8) uint8_t second[8] = {};
        uint8_t* planes[] = {first, second};
        const AVSampleFormat sampleFormat = AVSampleFormat(format);
        storeMixedSamples(mixed, 1, channels, sampleFormat, planes);
        QVERIFY(std::fabs(storedSample(planes, sampleFormat, 0) - wantLeft) < 1e-6);
        if (channels == 2) {
            QVERIFY(std::fabs(storedSample(planes, sampleFormat, 1) - wantRight) < 1e-6);
        }
    }

    // A block is the same as its samples one by one: channels interleave, the programme stops
    // where its queue ends.
    void mixesBlocksAsSamples() {
        constexpr int kCount = 300;
        std::vector<double> left(kCount), right(kCount), gains(kCount), narration(kCount);
        for (int i = 0; i < kCount; ++i) {
            left[size_t(i)] = std::sin(i * 0.1);
            right[size_t(i)] = std::cos(i * 0.07);
            gains[size_t(i)] = 1.0 - i / 600.0;
            narration[size_t(i)] = 0.2 * std::sin(i * 0.3);
        }
        const double* programme[] = {left.data(), right.data()};
        std::vector<double> block(2 * kCount);
        mixSamples(programme, 2, 200, gains.data(), narration.data(), 0.8, kCount, block.data());
        for (int i = 0; i < kCount; ++i) {
            const double* one[] = {&left[size_t(i)], &right[size_t(i)]};
            double mixed[2];
            mixSamples(one, 2, i < 200 ? 1 : 0, &gains[size_t(i)], &narration[size_t(i)], 0.8, 1,
                       mixed);
            QCOMPARE(block[size_t(2 * i)], mixed[0]);
            QCOMPARE(block[size_t(2 * i + 1)], mixed[1]);
        }
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
