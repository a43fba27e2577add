// Hostile and damaged clips through the clip loader: every one either loads or fails with a
// message; none crashes, aborts or takes memory the file does not justify.

#include "audio/clip_loading.h"
#include "audio/mp3_codec.h"
#include "audio/mp3_decoding.h"
#include "audio/wav_file.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <cmath>

extern "C" {
#include <libavutil/log.h>
}

using namespace lyrane;

namespace {

QByteArray le16(quint16 v) {
    QByteArray b(2, '\0');
    qToLittleEndian<quint16>(v, b.data());
    return b;
}

QByteArray le32(quint32 v) {
    QByteArray b(4, '\0');
    qToLittleEndian<quint32>(v, b.data());
    return b;
}

// A 44-byte PCM WAV header declaring what it is told, whatever follows it.
QByteArray wavHeader(quint16 channels, quint32 rate, quint32 dataBytes) {
    return "RIFF" + le32(36 + dataBytes) + "WAVEfmt " + le32(16) + le16(1) + le16(channels) +
           le32(rate) + le32(rate * 2u * channels) + le16(quint16(2 * channels)) + le16(16) +
           "data" + le32(dataBytes);
}

QByteArray toneValues(int count, int rate) {
    QByteArray bytes;
    for (int i = 0; i < count; ++i) {
        bytes += le16(quint16(qint16(12000 * std::sin(2 * M_PI * 440.0 * i / rate))));
    }
    return bytes;
}

bool writeAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool haveFfmpeg() {
    return !QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).isEmpty();
}

// One MP3 part of a tone with the given channel count and rate, without tags or an info frame,
// so parts can be joined into one stream whose layout or rate changes between frames.
QByteArray mp3Part(int channels, int rate, double seconds, const QString& scratch) {
    QProcess process;
    process.start(
        QStringLiteral("ffmpeg"),
        {QStringLiteral("-hide_banner"),
         QStringLiteral("-loglevel"),
         QStringLiteral("error"),
         QStringLiteral("-y"),
         QStringLiteral("-f"),
         QStringLiteral("lavfi"),
         QStringLiteral("-i"),
         QStringLiteral("sine=frequency=440:sample_rate=%1:duration=%2").arg(rate).arg(seconds),
         QStringLiteral("-ac"),
         QString::number(channels),
         QStringLiteral("-c:a"),
         QStringLiteral("libmp3lame"),
         QStringLiteral("-write_xing"),
         QStringLiteral("0"),
         QStringLiteral("-id3v2_version"),
         QStringLiteral("0"),
         QStringLiteral("-write_id3v1"),
         QStringLiteral("0"),
         QStringLiteral("-f"),
         QStringLiteral("mp3"),
         scratch});
    if (!process.waitForFinished(60000) || process.exitCode() != 0) {
        return QByteArray();
    }
    return readAll(scratch);
}

struct Part {
    int channels;
    int rate;
    double seconds;
};

} // namespace

Q_DECLARE_METATYPE(Part)

class TestClipLoading : public QObject {
    Q_OBJECT

private slots:
    void wavHeaderBounds_data();
    void wavHeaderBounds();
    void mp3LayoutChangesMidStream_data();
    void mp3LayoutChangesMidStream();
    void mp3NamedClipInAnotherContainer_data();
    void mp3NamedClipInAnotherContainer();
    void damagedClipsLoadOrFail_data();
    void damagedClipsLoadOrFail();
    void legacyClipsLoadWithoutWriting_data();
    void legacyClipsLoadWithoutWriting();

private:
    QTemporaryDir m_dir;
    QString path(const QString& name) const { return m_dir.filePath(name); }
};

void TestClipLoading::wavHeaderBounds_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("message"); // %1: the path; empty: loads
    QTest::addColumn<int>("samples");

    QTest::newRow("rate 2^31-1, data 0xFFFFFFFF, no data")
        << wavHeader(1, 0x7FFFFFFFu, 0xFFFFFFFFu)
        << QStringLiteral("invalid WAV file %1: sample rate 2147483647 Hz is out of range") << 0;
    QTest::newRow("rate 0xFFFFFFFF")
        << wavHeader(1, 0xFFFFFFFFu, 8) + toneValues(4, 8000)
        << QStringLiteral("invalid WAV file %1: sample rate 4294967295 Hz is out of range") << 0;
    QTest::newRow("rate just above 768 kHz")
        << wavHeader(1, 768001, 8) + toneValues(4, 8000)
        << QStringLiteral("invalid WAV file %1: sample rate 768001 Hz is out of range") << 0;
    QTest::newRow("9 channels") << wavHeader(9, 8000, 18) + toneValues(9, 8000)
                                << QStringLiteral("invalid WAV file %1: 9 channels (at most 8)")
                                << 0;
    QTest::newRow("768 kHz, data 0xFFFFFFFF, no data")
        << wavHeader(1, 768000, 0xFFFFFFFFu) << QString() << 0;
    QTest::newRow("1 Hz, short by one second")
        << wavHeader(1, 1, 6) + toneValues(2, 8000) << QString() << 3;
    QTest::newRow("8 channels") << wavHeader(8, 768000, 32) + toneValues(16, 8000) << QString()
                                << 2;
}

void TestClipLoading::wavHeaderBounds() {
    QFETCH(QByteArray, file);
    QFETCH(QString, message);
    QFETCH(int, samples);
    const QString name = path(QStringLiteral("header.wav"));
    QVERIFY(writeAll(name, file));
    QString error;
    const std::optional<AudioBuffer> loaded = loadAudio(name, &error);
    AudioBuffer reused;
    QString trimmedError;
    const bool trimmed = loadTrimmedClip(name, reused, &trimmedError);
    if (message.isEmpty()) {
        QVERIFY2(loaded, qPrintable(error));
        QCOMPARE(loaded->samples.size(), qsizetype(samples));
        QVERIFY2(trimmed, qPrintable(trimmedError));
    } else {
        QVERIFY(!loaded);
        QCOMPARE(error, message.arg(name));
        QVERIFY(!trimmed);
        QCOMPARE(trimmedError, message.arg(name));
        QCOMPARE(readAll(name), file); // a bad header is no legacy clip to rewrite
    }
}

void TestClipLoading::mp3LayoutChangesMidStream_data() {
    QTest::addColumn<QList<Part>>("parts");
    QTest::newRow("stereo then mono") << QList<Part>{{2, 44100, 0.05}, {1, 44100, 0.03}};
    QTest::newRow("mono, stereo, mono")
        << QList<Part>{{1, 44100, 0.2}, {2, 44100, 0.2}, {1, 44100, 0.2}};
    QTest::newRow("rate changes") << QList<Part>{{2, 44100, 0.2}, {1, 22050, 0.2}, {2, 48000, 0.2}};
}

void TestClipLoading::mp3LayoutChangesMidStream() {
    if (!haveFfmpeg()) {
        QSKIP("ffmpeg not installed");
    }
    QFETCH(QList<Part>, parts);
    QByteArray joined;
    qsizetype separateSamples = 0;
    for (const Part& part : parts) {
        const QString scratch = path(QStringLiteral("part.mp3"));
        const QByteArray bytes = mp3Part(part.channels, part.rate, part.seconds, scratch);
        QVERIFY(!bytes.isEmpty());
        QString error;
        const auto alone = decodeMp3(scratch, &error);
        QVERIFY2(alone, qPrintable(error));
        separateSamples += alone->samples.size();
        joined += bytes;
    }
    const QString name = path(QStringLiteral("joined.mp3"));
    QVERIFY(writeAll(name, joined));
    QString error;
    const auto decoded = loadAudio(name, &error);
    QVERIFY2(decoded, qPrintable(error));
    QCOMPARE(decoded->sampleRate, kMp3DecodeRate);
    // Every part is there at the clip's rate; frame edges may shift by a frame or two.
    QVERIFY2(
        std::abs(decoded->samples.size() - separateSamples) <= 2 * 1152,
        qPrintable(QStringLiteral("%1 vs %2").arg(decoded->samples.size()).arg(separateSamples)));
    double peak = 0.0;
    for (const double s : decoded->samples) {
        peak = std::max(peak, std::fabs(s));
    }
    // The generated tone's amplitude is 1/8: neither lost nor turned into noise.
    QVERIFY2(peak > 0.1 && peak < 0.15, qPrintable(QString::number(peak)));
}

void TestClipLoading::mp3NamedClipInAnotherContainer_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::newRow("WAV with rate 0") << wavHeader(1, 0, 2000) + toneValues(1000, 8000);
    QTest::newRow("WAV with rate 1") << wavHeader(2, 1, 4000) + toneValues(2000, 8000);
    QTest::newRow("sound WAV") << wavHeader(1, 44100, 2000) + toneValues(1000, 44100);
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("text") << QByteArray("not audio at all\n");
}

void TestClipLoading::mp3NamedClipInAnotherContainer() {
    QFETCH(QByteArray, file);
    const QString name = path(QStringLiteral("cached.mp3"));
    QVERIFY(writeAll(name, file));
    QString error;
    QVERIFY(!loadAudio(name, &error));
    QCOMPARE(error, QStringLiteral("failed to open MP3 file: %1").arg(name));
}

void TestClipLoading::damagedClipsLoadOrFail_data() {
    QTest::addColumn<QString>("suffix");
    QTest::newRow("wav") << QStringLiteral("wav");
    QTest::newRow("mp3") << QStringLiteral("mp3");
}

void TestClipLoading::damagedClipsLoadOrFail() {
    QFETCH(QString, suffix);
    const QString source = path(QStringLiteral("sound.") + suffix);
    AudioBuffer tone;
    tone.sampleRate = 44100;
    for (int i = 0; i < 11025; ++i) {
        tone.samples.append(0.5 * std::sin(2 * M_PI * 440.0 * i / 44100));
    }
    QString error;
    QVERIFY2(suffix == QLatin1String("wav") ? writeWav(tone, source, &error)
                                            : encodeMp3(tone, source, &error),
             qPrintable(error));
    const QByteArray sound = readAll(source);
    const QString name = path(QStringLiteral("damaged.") + suffix);
    QRandomGenerator random(20261208);
    int loaded = 0;
    int failed = 0;
    for (int round = 0; round < 60; ++round) {
        QByteArray bytes = sound;
        if (round < 20) {
            bytes.truncate(random.bounded(int(sound.size())));
        } else {
            const int flips = 1 + random.bounded(round < 40 ? 4 : 64);
            for (int k = 0; k < flips; ++k) {
                // Headers first: half the damage lands in the first 64 bytes.
                const int at = random.bounded(k % 2 ? int(bytes.size()) : 64);
                bytes[at] = char(random.bounded(256));
            }
        }
        QVERIFY(writeAll(name, bytes));
        error.clear();
        const auto clip = loadAudio(name, &error);
        if (!clip) {
            QVERIFY2(!error.isEmpty(), qPrintable(QString::number(round)));
            ++failed;
            continue;
        }
        ++loaded;
        QVERIFY(clip->sampleRate > 0 && clip->sampleRate <= 768000);
        // No more samples than the file holds plus at most one second of silence (WAV), or
        // than its MP3 frames can carry: the shortest frame is 24 bytes and the longest holds
        // 1152 samples at 8 kHz, 6351 at the clip's rate.
        const qsizetype bound = suffix == QLatin1String("wav") ? bytes.size() / 2 + clip->sampleRate
                                                               : (bytes.size() / 24 + 2) * 6351;
        QVERIFY2(clip->samples.size() <= bound,
                 qPrintable(
                     QStringLiteral("round %1: %2 samples").arg(round).arg(clip->samples.size())));
    }
    qInfo("%s: %d damaged clips loaded, %d refused", qPrintable(suffix), loaded, failed);
}

void TestClipLoading::legacyClipsLoadWithoutWriting_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QList<qint16>>("values"); // as the upgraded WAV file holds them
    QTest::addColumn<QString>("message");      // empty: loads

    QTest::newRow("raw PCM") << QByteArray::fromHex("ff7f01000080f401f9ff")
                             << QList<qint16>{32766, 0, -32767, 499, -6} << QString();
    QTest::newRow("empty") << QByteArray() << QList<qint16>{} << QString();
    QTest::newRow("RIFF without WAVE")
        << QByteArray("RIFF") + le32(4) + "AVI " << QList<qint16>{18769, 17989, 3, 0, 22080, 8264}
        << QString();
    QTest::newRow("odd length")
        << QByteArray::fromHex("0102030405") << QList<qint16>{}
        << QStringLiteral("invalid WAV file: invalid WAV file: missing RIFF header; legacy PCM "
                          "conversion failed: raw PCM data length must be an even number of "
                          "bytes");
    QTest::newRow("damaged RIFF") << "RIFX" + wavHeader(1, 8000, 4).mid(4) + toneValues(2, 8000)
                                  << QList<qint16>{}
                                  << QStringLiteral("invalid WAV file: missing RIFF header");
    QTest::newRow("odd RIFF without WAVE")
        << QByteArray("RIFF") + le32(4) + "AVI !" << QList<qint16>{}
        << QStringLiteral("invalid WAV file: invalid WAV file: missing WAVE header; legacy PCM "
                          "conversion failed: raw PCM data length must be an even number of "
                          "bytes");
}

// Loading is read-only: a legacy clip keeps its bytes and its time stamp, and nothing appears
// beside it; it reads as it will once the cache has upgraded it.
void TestClipLoading::legacyClipsLoadWithoutWriting() {
    QFETCH(QByteArray, file);
    QFETCH(QList<qint16>, values);
    QFETCH(QString, message);
    QTemporaryDir dir;
    const QString name = dir.filePath(QStringLiteral("legacy.wav"));
    QVERIFY(writeAll(name, file));
    const QDateTime stamp = QDateTime::currentDateTimeUtc().addDays(-3);
    {
        QFile touch(name);
        QVERIFY(touch.open(QIODevice::ReadWrite));
        QVERIFY(touch.setFileTime(stamp, QFileDevice::FileModificationTime));
    }
    const QDateTime before = QFileInfo(name).lastModified();

    QString error;
    const std::optional<AudioBuffer> loaded = loadAudio(name, &error);
    AudioBuffer trimmed;
    QString trimmedError;
    const bool trimmedOk = loadTrimmedClip(name, trimmed, &trimmedError);
    if (message.isEmpty()) {
        QVERIFY2(loaded, qPrintable(error));
        QCOMPARE(loaded->sampleRate, kRawPcmSampleRate);
        QList<double> expected;
        for (qint16 v : values) {
            expected.append(fromPcm16(v));
        }
        QCOMPARE(loaded->samples, expected);
        QVERIFY2(trimmedOk, qPrintable(trimmedError));
        QCOMPARE(trimmed.sampleRate, kRawPcmSampleRate);
        expected.resize(trimmedLength(expected));
        QCOMPARE(trimmed.samples, expected);
    } else {
        QVERIFY(!loaded);
        QCOMPARE(error, message);
        QVERIFY(!trimmedOk);
        QCOMPARE(trimmedError, message);
    }
    QCOMPARE(readAll(name), file);
    QCOMPARE(QFileInfo(name).lastModified(), before);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("legacy.wav")});
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    av_log_set_level(AV_LOG_QUIET);
    TestClipLoading test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_clip_loading.moc"
