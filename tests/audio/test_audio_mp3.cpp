#include "audio/audio_buffer.h"
#include "audio/clip_loading.h"
#include "audio/mp3_codec.h"
#include "audio/mp3_decoding.h"
#include "audio/resampling.h"
#include "audio/time_stretch.h"
#include "audio/timeline_plan.h"
#include "audio/timeline_render.h"
#include "audio/wav_file.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <csignal>
#include <cstdio>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

using namespace lyrane;

namespace {

AudioBuffer tone(double frequency, double seconds, int rate, double amplitude = 0.5) {
    AudioBuffer buffer;
    buffer.sampleRate = rate;
    const qsizetype n = static_cast<qsizetype>(std::llround(seconds * rate));
    buffer.samples.reserve(n);
    for (qsizetype i = 0; i < n; ++i) {
        buffer.samples.append(amplitude * std::sin(2.0 * M_PI * frequency * i / rate));
    }
    return buffer;
}

// Normalized cross-correlation of a against b shifted by lag samples.
double correlation(const QList<double>& a, const QList<double>& b, qsizetype lag) {
    double ab = 0, aa = 0, bb = 0;
    for (qsizetype i = 0; i < a.size(); ++i) {
        const qsizetype j = i + lag;
        if (j < 0 || j >= b.size()) {
            continue;
        }
        ab += a[i] * b[j];
        aa += a[i] * a[i];
        bb += b[j] * b[j];
    }
    return (aa > 0 && bb > 0) ? ab / std::sqrt(aa * bb) : 0.0;
}

double bestCorrelation(const QList<double>& a, const QList<double>& b, qsizetype maxLag,
                       qsizetype* bestLag = nullptr) {
    double best = -1;
    for (qsizetype lag = 0; lag <= maxLag; ++lag) {
        const double c = correlation(a, b, lag);
        if (c > best) {
            best = c;
            if (bestLag) {
                *bestLag = lag;
            }
        }
    }
    return best;
}

struct StreamInfo {
    QString codec;
    int channels = 0;
    int sampleRate = 0;
    qint64 bitRate = 0;
};

std::optional<StreamInfo> probe(const QString& path) {
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.toUtf8().constData(), nullptr, nullptr) < 0) {
        return std::nullopt;
    }
    std::optional<StreamInfo> info;
    if (avformat_find_stream_info(format, nullptr) >= 0 && format->nb_streams > 0) {
        const AVCodecParameters* p = format->streams[0]->codecpar;
        info = StreamInfo{QString::fromUtf8(avcodec_get_name(p->codec_id)),
                          p->ch_layout.nb_channels, p->sample_rate, p->bit_rate};
    }
    avformat_close_input(&format);
    return info;
}

bool runFfmpeg(const QStringList& arguments) {
    QProcess process;
    process.start(QStringLiteral("ffmpeg"),
                  QStringList{QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"),
                              QStringLiteral("error"), QStringLiteral("-y")} +
                      arguments);
    return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

} // namespace

class TestAudioMp3 : public QObject {
    Q_OBJECT

private slots:
    void encodeProducesMono128kAt44100();
    void encodeDecodeRoundTrip();
    void encodeToBytesMatchesFile();
    void encodeEmptyBuffer();
    void encodeFailures_data();
    void encodeFailures();
    void encodeWriteFailureRemovesPartialFile();
    void decodeStereo48k();
    void decodeCoverArt();
    void wavNamedMp3IsRefused();
    void decodeMissingFile();
    void resampleKeepsDurationAndWaveform_data();
    void resampleKeepsDurationAndWaveform();
    void resampleRejectsBadRates();
    void loadAudioDispatch_data();
    void loadAudioDispatch();
    void speedUpKeepsPitch();
    void speedUpRejectsBadFactor();

private:
    QTemporaryDir m_dir;
    QString path(const QString& name) const { return m_dir.filePath(name); }
    static bool haveFfmpeg() {
        return !QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).isEmpty();
    }
};

void TestAudioMp3::encodeProducesMono128kAt44100() {
    const QString file = path(QStringLiteral("probe.mp3"));
    QString error;
    QVERIFY2(encodeMp3(tone(440, 2.0, 44100), file, &error), qPrintable(error));
    const auto info = probe(file);
    QVERIFY(info);
    QCOMPARE(info->codec, QStringLiteral("mp3"));
    QCOMPARE(info->channels, 1);
    QCOMPARE(info->sampleRate, 44100);
    QCOMPARE(info->bitRate, qint64(128000));
}

void TestAudioMp3::encodeDecodeRoundTrip() {
    // A tone with a late onset, so a lost tail would show as a missing burst.
    AudioBuffer input = tone(440, 1.5, 44100, 0.4);
    for (qsizetype i = input.samples.size() - 3000; i < input.samples.size(); ++i) {
        input.samples[i] = 0.8 * std::sin(2.0 * M_PI * 1000.0 * i / 44100);
    }
    const QString file = path(QStringLiteral("roundtrip.mp3"));
    QString error;
    QVERIFY2(encodeMp3(input, file, &error), qPrintable(error));
    const auto decoded = decodeMp3(file, &error);
    QVERIFY2(decoded, qPrintable(error));
    QCOMPARE(decoded->sampleRate, 44100);
    // Encoder delay and padding add at most a couple of frames; none of the input is lost.
    QVERIFY2(decoded->samples.size() >= input.samples.size(),
             qPrintable(
                 QStringLiteral("%1 < %2").arg(decoded->samples.size()).arg(input.samples.size())));
    QVERIFY(decoded->samples.size() <= input.samples.size() + 2 * 1152 + 1105);
    qsizetype lag = 0;
    const double c = bestCorrelation(input.samples, decoded->samples, 3000, &lag);
    QVERIFY2(c > 0.9, qPrintable(QString::number(c)));
    // The closing burst is present after alignment.
    double tailEnergy = 0;
    for (qsizetype i = input.samples.size() - 2000; i < input.samples.size(); ++i) {
        const double v = decoded->samples[i + lag];
        tailEnergy += v * v;
    }
    QVERIFY2(tailEnergy / 2000 > 0.2, qPrintable(QString::number(tailEnergy / 2000)));
}

void TestAudioMp3::encodeToBytesMatchesFile() {
    // The file holds the bare encoder's frames behind its Info frame, laid out again: the
    // same audio, and exactly the input's length where the bare frames carry the encoder's
    // delay and padding.
    const AudioBuffer input = tone(300, 0.7, 44100);
    const QString file = path(QStringLiteral("bytes.mp3"));
    QVERIFY(encodeMp3(input, file, nullptr));
    const auto bytes = encodeMp3ToBytes(input, kMp3BitRate, nullptr);
    QVERIFY(bytes);
    const auto fromFile = decodeMp3(file, nullptr);
    const auto bare = checkMp3Stream(*bytes, nullptr);
    QVERIFY(fromFile && bare);
    QCOMPARE(fromFile->samples.size(), input.samples.size());
    QVERIFY(bare->samples > input.samples.size());
    qsizetype lag = 0;
    QVERIFY(bestCorrelation(input.samples, fromFile->samples, 100, &lag) > 0.99);
    QCOMPARE(lag, qsizetype(0));
    // A lower bit rate gives a smaller stream.
    const auto small = encodeMp3ToBytes(input, 64000, nullptr);
    QVERIFY(small);
    QVERIFY(small->size() < bytes->size());
}

void TestAudioMp3::encodeEmptyBuffer() {
    AudioBuffer empty;
    empty.sampleRate = 44100;
    const QString file = path(QStringLiteral("empty.mp3"));
    QString error;
    QVERIFY2(encodeMp3(empty, file, &error), qPrintable(error));
    QVERIFY(QFile::exists(file));
    const auto bytes = encodeMp3ToBytes(empty, 128000, &error);
    QVERIFY(bytes);
}

void TestAudioMp3::encodeFailures_data() {
    QTest::addColumn<int>("rate");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("message");
    QTest::newRow("missing directory") << 44100 << QStringLiteral("no/such/dir/out.mp3")
                                       << QStringLiteral("failed to create MP3 file");
    QTest::newRow("rejected rate")
        << 12345 << QStringLiteral("rate.mp3") << QStringLiteral("failed to open MP3 encoder");
    QTest::newRow("zero rate") << 0 << QStringLiteral("zero.mp3")
                               << QStringLiteral("failed to open MP3 encoder");
    QTest::newRow("full device") << 44100 << QStringLiteral("/dev/full")
                                 << QStringLiteral("failed to write MP3 file");
}

void TestAudioMp3::encodeFailures() {
    QFETCH(int, rate);
    QFETCH(QString, target);
    QFETCH(QString, message);
    const QString file = target.startsWith(QLatin1Char('/')) ? target : path(target);
    if (file == QLatin1String("/dev/full") && !QFile::exists(file)) {
        QSKIP("no /dev/full");
    }
    AudioBuffer input = tone(440, 0.5, rate > 0 ? rate : 44100);
    input.sampleRate = rate;
    QString error = QStringLiteral("unchanged");
    QVERIFY(!encodeMp3(input, file, &error));
    QCOMPARE(error, message);
    if (!target.startsWith(QLatin1Char('/'))) {
        QVERIFY(!QFile::exists(file));
    }
    QVERIFY(!encodeMp3(input, file, nullptr));
}

void TestAudioMp3::encodeWriteFailureRemovesPartialFile() {
    // A file size limit makes the writes fail part-way through a regular file.
    const QString file = path(QStringLiteral("limited.mp3"));
    QProcess shell;
    // Run the encoder in a child with a small limit, through this test binary itself.
    const QString self = QCoreApplication::applicationFilePath();
    shell.start(QStringLiteral("sh"),
                {QStringLiteral("-c"),
                 QStringLiteral("ulimit -f 4; exec \"$0\" -child-limited \"$1\""), self, file});
    QVERIFY(shell.waitForFinished(60000));
    const QByteArray output = shell.readAllStandardOutput() + shell.readAllStandardError();
    QVERIFY2(output.contains("failed to write MP3 file"), output.constData());
    QVERIFY(!QFile::exists(file));
}

void TestAudioMp3::decodeStereo48k() {
    if (!haveFfmpeg()) {
        QSKIP("ffmpeg not installed");
    }
    const QString file = path(QStringLiteral("stereo48.mp3"));
    QVERIFY(runFfmpeg({QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                       QStringLiteral("sine=frequency=440:sample_rate=48000:duration=2"),
                       QStringLiteral("-ac"), QStringLiteral("2"), QStringLiteral("-b:a"),
                       QStringLiteral("192k"), file}));
    const auto info = probe(file);
    QVERIFY(info);
    QCOMPARE(info->channels, 2);
    QCOMPARE(info->sampleRate, 48000);
    QString error;
    const auto decoded = decodeMp3(file, &error);
    QVERIFY2(decoded, qPrintable(error));
    QCOMPARE(decoded->sampleRate, 44100);
    const double seconds = decoded->samples.size() / 44100.0;
    QVERIFY2(std::fabs(seconds - 2.0) < 0.06, qPrintable(QString::number(seconds)));
    const double c = bestCorrelation(tone(440, 1.0, 44100).samples, decoded->samples, 3000);
    QVERIFY2(c > 0.9, qPrintable(QString::number(c)));
}

void TestAudioMp3::decodeCoverArt() {
    if (!haveFfmpeg()) {
        QSKIP("ffmpeg not installed");
    }
    const QString cover = path(QStringLiteral("cover.png"));
    QVERIFY(runFfmpeg({QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                       QStringLiteral("color=c=red:s=32x32"), QStringLiteral("-frames:v"),
                       QStringLiteral("1"), cover}));
    const QStringList tone1s = {QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                                QStringLiteral("sine=frequency=440:sample_rate=44100:duration=1")};
    // An MP3 file with its cover picture in the ID3 tag loads as any MP3.
    const QString tagged = path(QStringLiteral("tagged.mp3"));
    QVERIFY(
        runFfmpeg(QStringList{QStringLiteral("-i"), cover} + tone1s +
                  QStringList{QStringLiteral("-map"), QStringLiteral("1:a"), QStringLiteral("-map"),
                              QStringLiteral("0:v"), QStringLiteral("-c:v"), QStringLiteral("png"),
                              QStringLiteral("-disposition:v"), QStringLiteral("attached_pic"),
                              QStringLiteral("-c:a"), QStringLiteral("libmp3lame"),
                              QStringLiteral("-f"), QStringLiteral("mp3"), tagged}));
    QString error;
    const auto decoded = loadAudio(tagged, &error);
    QVERIFY2(decoded, qPrintable(error));
    QVERIFY2(std::fabs(decoded->samples.size() / 44100.0 - 1.0) < 0.06,
             qPrintable(QString::number(decoded->samples.size())));
    QVERIFY(bestCorrelation(tone(440, 0.5, 44100).samples, decoded->samples, 3000) > 0.9);

    // A clip cached as MP3 is read as MP3 only: an MP3 stream in Matroska behind a picture,
    // named .mp3 like a cached clip, is refused rather than handed to another demuxer.
    const QString file = path(QStringLiteral("cover.mp3"));
    QVERIFY(runFfmpeg(
        QStringList{QStringLiteral("-loop"), QStringLiteral("1"), QStringLiteral("-i"), cover} +
        tone1s +
        QStringList{QStringLiteral("-map"), QStringLiteral("0:v"), QStringLiteral("-map"),
                    QStringLiteral("1:a"), QStringLiteral("-c:v"), QStringLiteral("png"),
                    QStringLiteral("-c:a"), QStringLiteral("libmp3lame"), QStringLiteral("-t"),
                    QStringLiteral("1"), QStringLiteral("-f"), QStringLiteral("matroska"), file}));
    const auto info = probe(file);
    QVERIFY(info);
    QVERIFY2(info->codec != QLatin1String("mp3"), "fixture should have the picture first");
    QVERIFY(!loadAudio(file, &error));
    QCOMPARE(error, QStringLiteral("failed to open MP3 file: %1").arg(file));
}

void TestAudioMp3::wavNamedMp3IsRefused() {
    const QString file = path(QStringLiteral("really-wav.mp3"));
    const AudioBuffer input = tone(440, 0.25, 44100);
    QVERIFY(writeWav(input, file, nullptr));
    QString error;
    QVERIFY(!loadAudio(file, &error));
    QCOMPARE(error, QStringLiteral("failed to open MP3 file: %1").arg(file));
}

void TestAudioMp3::decodeMissingFile() {
    const QString file = path(QStringLiteral("absent.mp3"));
    QString error;
    QVERIFY(!decodeMp3(file, &error));
    QCOMPARE(error, QStringLiteral("failed to open MP3 file: %1").arg(file));
}

void TestAudioMp3::resampleKeepsDurationAndWaveform_data() {
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::newRow("down 44100 -> 22050") << 44100 << 22050;
    QTest::newRow("up 22050 -> 44100") << 22050 << 44100;
    QTest::newRow("48000 -> 44100") << 48000 << 44100;
    QTest::newRow("16000 -> 44100") << 16000 << 44100;
}

void TestAudioMp3::resampleKeepsDurationAndWaveform() {
    QFETCH(int, from);
    QFETCH(int, to);
    // 1.3 s, with a burst at the very end so a lost tail shows.
    AudioBuffer input = tone(440, 1.3, from, 0.5);
    const qsizetype tail = from / 20;
    for (qsizetype i = input.samples.size() - tail; i < input.samples.size(); ++i) {
        input.samples[i] = 0.9 * std::sin(2.0 * M_PI * 200.0 * i / from);
    }
    QString error;
    const auto output = resample(input, to, &error);
    QVERIFY2(output, qPrintable(error));
    QCOMPARE(output->sampleRate, to);
    QCOMPARE(output->samples.size(),
             qsizetype(std::llround(double(input.samples.size()) * to / from)));
    // Aligned at lag 0: resampling adds no delay.
    AudioBuffer expected = tone(440, 1.3, to, 0.5);
    const qsizetype outTail = to / 20;
    for (qsizetype i = expected.samples.size() - outTail; i < expected.samples.size(); ++i) {
        expected.samples[i] = 0.9 * std::sin(2.0 * M_PI * 200.0 * i / to);
    }
    const double c = correlation(expected.samples, output->samples, 0);
    QVERIFY2(c > 0.99, qPrintable(QString::number(c)));
    double tailEnergy = 0;
    for (qsizetype i = output->samples.size() - outTail / 2; i < output->samples.size() - 8; ++i) {
        tailEnergy += output->samples[i] * output->samples[i];
    }
    QVERIFY2(tailEnergy / (outTail / 2 - 8) > 0.3, qPrintable(QString::number(tailEnergy)));
}

void TestAudioMp3::resampleRejectsBadRates() {
    QString error;
    QVERIFY(!resample(tone(440, 0.1, 44100), 0, &error));
    QCOMPARE(error, QStringLiteral("invalid target sample rate: 0"));
    AudioBuffer noRate = tone(440, 0.1, 44100);
    noRate.sampleRate = -5;
    QVERIFY(!resample(noRate, 22050, &error));
    QCOMPARE(error, QStringLiteral("invalid source sample rate: -5"));
    const auto same = resample(tone(440, 0.1, 44100), 44100, &error);
    QVERIFY(same);
    QCOMPARE(same->samples, tone(440, 0.1, 44100).samples);
    AudioBuffer empty;
    empty.sampleRate = 16000;
    const auto emptyOut = resample(empty, 44100, &error);
    QVERIFY(emptyOut && emptyOut->samples.isEmpty() && emptyOut->sampleRate == 44100);
}

void TestAudioMp3::loadAudioDispatch_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("message"); // empty: loads
    QTest::addColumn<int>("samples");
    QByteArray wav;
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("x.wav"));
        AudioBuffer b = tone(100, 0.01, 44100);
        writeWav(b, file, nullptr);
        QFile f(file);
        f.open(QIODevice::ReadOnly);
        wav = f.readAll();
    }
    const QByteArray pcm = QByteArray::fromHex("0100ff7f0080");
    QTest::newRow("upper-case WAV") << QStringLiteral("clip.WAV") << wav << QString() << 441;
    QTest::newRow("wave suffix")
        << QStringLiteral("clip.wave") << wav
        << QStringLiteral("unsupported audio format: wave (only .wav, .pcm, and .mp3 supported)")
        << 0;
    QTest::newRow("no dot")
        << QStringLiteral("clip") << wav
        << QStringLiteral("unsupported audio format:  (only .wav, .pcm, and .mp3 supported)") << 0;
    QTest::newRow("pcm") << QStringLiteral("clip.pcm") << pcm << QString() << 3;
    QTest::newRow("odd pcm") << QStringLiteral("odd.Pcm") << QByteArray("abc")
                             << QStringLiteral(
                                    "raw PCM data length must be an even number of bytes")
                             << 0;
}

void TestAudioMp3::loadAudioDispatch() {
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QString, message);
    QFETCH(int, samples);
    const QString file = path(name);
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
    }
    QString error;
    const auto loaded = loadAudio(file, &error);
    if (message.isEmpty()) {
        QVERIFY2(loaded, qPrintable(error));
        QCOMPARE(loaded->samples.size(), qsizetype(samples));
        QCOMPARE(loaded->sampleRate, 44100);
    } else {
        QVERIFY(!loaded);
        QCOMPARE(error, message);
    }
}

void TestAudioMp3::speedUpKeepsPitch() {
    const AudioBuffer input = tone(440, 3.0, 44100, 0.5);
    QString error;
    const auto fast = speedUp(input, 1.5, &error);
    QVERIFY2(fast, qPrintable(error));
    QCOMPARE(fast->sampleRate, 44100);
    const double seconds = fast->samples.size() / 44100.0;
    QVERIFY2(std::fabs(seconds - 2.0) < 0.06, qPrintable(QString::number(seconds)));
    // Dominant frequency by zero crossings over the steady middle part.
    const qsizetype from = fast->samples.size() / 4;
    const qsizetype to = 3 * fast->samples.size() / 4;
    int crossings = 0;
    for (qsizetype i = from + 1; i < to; ++i) {
        if ((fast->samples[i - 1] < 0) != (fast->samples[i] < 0)) {
            ++crossings;
        }
    }
    const double frequency = crossings / 2.0 / ((to - from) / 44100.0);
    QVERIFY2(std::fabs(frequency - 440.0) < 10.0, qPrintable(QString::number(frequency)));
}

void TestAudioMp3::speedUpRejectsBadFactor() {
    QString error;
    QVERIFY(!speedUp(tone(440, 0.1, 44100), 0.0, &error));
    QCOMPARE(error, QStringLiteral("invalid speed factor: 0"));
    const auto same = speedUp(tone(440, 0.1, 44100), 1.0, &error);
    QVERIFY(same && same->samples.size() == 4410);
}

int main(int argc, char** argv) {
    // Child mode for the file-size-limit test: encode and print the outcome.
    if (argc == 3 && qstrcmp(argv[1], "-child-limited") == 0) {
        QCoreApplication app(argc, argv);
        signal(SIGXFSZ, SIG_IGN);
        QString error;
        const bool ok = encodeMp3(tone(440, 20.0, 44100), QString::fromLocal8Bit(argv[2]), &error);
        std::printf("%s\n", ok ? "ok" : qPrintable(error));
        return ok ? 0 : 1;
    }
    QCoreApplication app(argc, argv);
    av_log_set_level(AV_LOG_ERROR);
    TestAudioMp3 test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_audio_mp3.moc"
