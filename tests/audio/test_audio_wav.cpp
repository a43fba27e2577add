#include "audio/audio_buffer.h"
#include "audio/clip_loading.h"
#include "audio/mp3_codec.h"
#include "audio/resampling.h"
#include "audio/time_stretch.h"
#include "audio/timeline_plan.h"
#include "audio/timeline_reference.h"
#include "audio/timeline_render.h"
#include "audio/wav_file.h"
#include "audio/wav_samples.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <vector>

using namespace lyrane;

namespace {

QByteArray le16(qint16 v) {
    QByteArray b(2, '\0');
    qToLittleEndian<qint16>(v, b.data());
    return b;
}

QByteArray le32(quint32 v) {
    QByteArray b(4, '\0');
    qToLittleEndian<quint32>(v, b.data());
    return b;
}

QByteArray chunk(const char* id, const QByteArray& body, qint64 declaredSize = -1) {
    return QByteArray(id, 4) + le32(declaredSize < 0 ? body.size() : quint32(declaredSize)) + body;
}

QByteArray fmtBody(qint16 format, quint16 channels, qint32 rate, quint16 bits,
                   const QByteArray& extra = QByteArray()) {
    return le16(format) + le16(qint16(channels)) + le32(quint32(rate)) +
           le32(quint32(rate * channels * bits / 8)) + le16(qint16(channels * bits / 8)) +
           le16(qint16(bits)) + extra;
}

QByteArray values(const QList<qint16>& list) {
    QByteArray b;
    for (qint16 v : list) {
        b += le16(v);
    }
    return b;
}

QByteArray riff(const QByteArray& chunks) {
    return "RIFF" + le32(4 + chunks.size()) + "WAVE" + chunks;
}

QList<double> scaled(const QList<qint16>& list) {
    QList<double> out;
    for (qint16 v : list) {
        out.append(v / 32768.0);
    }
    return out;
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The file's first channel as readWavPcm16 reads it, each value / 32768.
QList<double> readAsPcm16(const QString& path) {
    QFile file(path);
    WavLayout layout;
    std::vector<qint16> read;
    if (readWavHeader(file, path, &layout, nullptr)) {
        readWavPcm16(file, layout, read);
    }
    QList<double> samples;
    for (const qint16 value : read) {
        samples.append(fromPcm16(value));
    }
    return samples;
}

bool writeAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

} // namespace

class TestAudioWav : public QObject {
    Q_OBJECT

private slots:
    void headerByteForByte();
    void emptyBufferWritesHeaderOnly();
    void sampleConversion_data();
    void sampleConversion();
    void readWriteCycle();
    void keptClipsKeepEveryValue();
    void chunkWalk_data();
    void chunkWalk();
    void truncatedData_data();
    void truncatedData();
    void openFailure();
    void decodePcm_data();
    void decodePcm();
    void legacyPcmReadAsUpgraded();
    void legacyOddLengthLeftUntouched();
    void emptyLegacyClipIsSilence();
    void damagedWavIsNoLegacyClip();
    void createFailure();
    void writeFailureToDevice();
    void writeFailureLeavesNothing();
    void tooLongForWav();

private:
    QTemporaryDir m_dir;
    QString path(const QString& name) const { return m_dir.filePath(name); }
};

void TestAudioWav::headerByteForByte() {
    AudioBuffer buffer;
    buffer.sampleRate = 22050;
    buffer.samples = {0.0, -1.0, 32767.0 / 32767.0};
    const QString file = path(QStringLiteral("header.wav"));
    QString error;
    QVERIFY2(writeWav(buffer, file, &error), qPrintable(error));
    const QByteArray expected = QByteArray::fromHex("52494646" // RIFF
                                                    "2a000000" // 36 + 6
                                                    "57415645" // WAVE
                                                    "666d7420" // fmt
                                                    "10000000" // 16
                                                    "0100"     // PCM
                                                    "0100"     // mono
                                                    "22560000" // 22050
                                                    "44ac0000" // 44100 bytes/s
                                                    "0200"     // block align
                                                    "1000"     // 16 bits
                                                    "64617461" // data
                                                    "06000000" // 6 bytes
                                                    "0000"     // 0
                                                    "0180"     // -32767
                                                    "ff7f");   // 32767
    QCOMPARE(readAll(file).toHex(), expected.toHex());
}

void TestAudioWav::emptyBufferWritesHeaderOnly() {
    AudioBuffer buffer;
    buffer.sampleRate = 44100;
    const QString file = path(QStringLiteral("empty-out.wav"));
    QVERIFY(writeWav(buffer, file, nullptr));
    const QByteArray bytes = readAll(file);
    QCOMPARE(bytes.size(), 44);
    QCOMPARE(qFromLittleEndian<quint32>(bytes.constData() + 4), 36u);
    QCOMPARE(qFromLittleEndian<quint32>(bytes.constData() + 40), 0u);
    const auto back = readWav(file, nullptr);
    QVERIFY(back && back->samples.isEmpty() && back->sampleRate == 44100);
}

void TestAudioWav::sampleConversion_data() {
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("stored");
    QTest::newRow("above full scale") << 1.5 << 32767;
    QTest::newRow("below full scale") << -1.5 << -32768;
    QTest::newRow("half") << 0.5 << 16383;
    QTest::newRow("tiny negative") << -0.00001 << 0;
    QTest::newRow("minus one") << -1.0 << -32767;
    QTest::newRow("just below -1") << -1.0000306 << -32768;
}

void TestAudioWav::sampleConversion() {
    QFETCH(double, value);
    QFETCH(int, stored);
    AudioBuffer buffer;
    buffer.sampleRate = 8000;
    buffer.samples = {value};
    const QString file = path(QStringLiteral("conv.wav"));
    QVERIFY(writeWav(buffer, file, nullptr));
    const QByteArray bytes = readAll(file);
    QCOMPARE(bytes.size(), 46);
    QCOMPARE(int(qFromLittleEndian<qint16>(bytes.constData() + 44)), stored);
}

void TestAudioWav::readWriteCycle() {
    const QList<qint16> stored = {32767, 1, -32768, 100, -1, -100, 0, 12345};
    const QString in = path(QStringLiteral("cycle-in.wav"));
    const QString out = path(QStringLiteral("cycle-out.wav"));
    QVERIFY(writeAll(
        in, riff(chunk("fmt ", fmtBody(1, 1, 44100, 16)) + chunk("data", values(stored)))));
    const auto buffer = readWav(in, nullptr);
    QVERIFY(buffer);
    QCOMPARE(buffer->samples, scaled(stored));
    QVERIFY(writeWav(*buffer, out, nullptr));
    const QByteArray bytes = readAll(out);
    QCOMPARE(bytes.size(), 44 + 2 * stored.size());
    for (qsizetype i = 0; i < stored.size(); ++i) {
        const qint16 expected = qint16(qint64(stored[i]) * 32767 / 32768);
        QCOMPARE(qFromLittleEndian<qint16>(bytes.constData() + 44 + 2 * i), expected);
    }
}

void TestAudioWav::chunkWalk_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("message"); // empty: reads
    QTest::addColumn<QList<double>>("samples");
    QTest::addColumn<int>("rate");
    const QByteArray fmt = chunk("fmt ", fmtBody(1, 1, 16000, 16));
    const QByteArray data = chunk("data", values({1000, -2000, 3000}));
    const QList<double> three = scaled({1000, -2000, 3000});

    QTest::newRow("plain") << riff(fmt + data) << QString() << three << 16000;
    QTest::newRow("18-byte fmt")
        << riff(chunk("fmt ", fmtBody(1, 1, 16000, 16, QByteArray(2, '\x7f'))) + data) << QString()
        << three << 16000;
    QTest::newRow("odd LIST chunk with pad byte")
        << riff(fmt + chunk("LIST", "INFOabc") + QByteArray(1, '\0') + data) << QString() << three
        << 16000;
    QTest::newRow("second fmt replaces the first")
        << riff(chunk("fmt ", fmtBody(1, 2, 8000, 16)) + fmt + data) << QString() << three << 16000;
    QTest::newRow("stereo gives first channel")
        << riff(chunk("fmt ", fmtBody(1, 2, 48000, 16)) +
                chunk("data", values({100, -100, 200, -200, 300, -300})))
        << QString() << scaled({100, 200, 300}) << 48000;
    QTest::newRow("3 channels, 7 values") << riff(chunk("fmt ", fmtBody(1, 3, 8000, 16)) +
                                                  chunk("data", values({1, 2, 3, 4, 5, 6, 7})))
                                          << QString() << scaled({1, 4, 7}) << 8000;
    QTest::newRow("data before fmt")
        << riff(data + fmt) << QStringLiteral("invalid WAV file: data chunk before fmt chunk")
        << QList<double>() << 0;
    QTest::newRow("fmt with 0 channels")
        << riff(chunk("fmt ", fmtBody(1, 0, 16000, 16)) + data)
        << QStringLiteral("invalid WAV file: data chunk before fmt chunk") << QList<double>() << 0;
    QTest::newRow("8-bit") << riff(chunk("fmt ", fmtBody(1, 1, 8000, 8)) + data)
                           << QStringLiteral("unsupported bit depth: 8 (only 16-bit supported)")
                           << QList<double>() << 0;
    QTest::newRow("24-bit") << riff(chunk("fmt ", fmtBody(1, 1, 8000, 24)) + data)
                            << QStringLiteral("unsupported bit depth: 24 (only 16-bit supported)")
                            << QList<double>() << 0;
    QTest::newRow("float format") << riff(chunk("fmt ", fmtBody(3, 1, 8000, 32)) + data)
                                  << QStringLiteral("unsupported WAV format: only PCM is supported")
                                  << QList<double>() << 0;
    QTest::newRow("no RIFF") << QByteArray("RIF")
                             << QStringLiteral("invalid WAV file: missing RIFF header")
                             << QList<double>() << 0;
    QTest::newRow("no WAVE") << QByteArray("RIFF\x04\0\0\0AVI ", 12)
                             << QStringLiteral("invalid WAV file: missing WAVE header")
                             << QList<double>() << 0;
    QTest::newRow("no data chunk")
        << riff(fmt + chunk("LIST", "INFO")) << QStringLiteral("WAV file missing data chunk")
        << QList<double>() << 0;
    QTest::newRow("chunk larger than the file")
        << riff(fmt + chunk("junk", "xx", 0xFFFFFFF0u) + data)
        << QStringLiteral("WAV file missing data chunk") << QList<double>() << 0;
}

void TestAudioWav::chunkWalk() {
    QFETCH(QByteArray, file);
    QFETCH(QString, message);
    QFETCH(QList<double>, samples);
    QFETCH(int, rate);
    const QString name = path(QStringLiteral("walk.wav"));
    QVERIFY(writeAll(name, file));
    QString error = QStringLiteral("untouched");
    const auto buffer = readWav(name, &error);
    if (message.isEmpty()) {
        QVERIFY2(buffer, qPrintable(error));
        QCOMPARE(error, QStringLiteral("untouched"));
        QCOMPARE(buffer->samples, samples);
        QCOMPARE(readAsPcm16(name), samples);
        QCOMPARE(buffer->sampleRate, rate);
    } else {
        QVERIFY(!buffer);
        QCOMPARE(error, message);
    }
}

void TestAudioWav::truncatedData_data() {
    QTest::addColumn<int>("rate");
    QTest::addColumn<quint32>("declaredBytes");
    QTest::addColumn<int>("heldValues");
    QTest::addColumn<int>("expectedSamples");
    QTest::newRow("small shortfall keeps declared count") << 8000 << 200u << 60 << 100;
    QTest::newRow("shortfall of exactly one second")
        << 8000 << quint32(2 * (8000 + 10)) << 10 << 8010;
    QTest::newRow("shortfall beyond one second") << 8000 << quint32(2 * (8001 + 10)) << 10 << 10;
    QTest::newRow("huge declared size") << 44100 << 0xFFFFFFF0u << 60 << 60;
    QTest::newRow("odd trailing byte") << 8000 << 400u << 60 << 200;
}

void TestAudioWav::truncatedData() {
    QFETCH(int, rate);
    QFETCH(quint32, declaredBytes);
    QFETCH(int, heldValues);
    QFETCH(int, expectedSamples);
    QList<qint16> held;
    for (int i = 0; i < heldValues; ++i) {
        held.append(qint16(1000 + i));
    }
    QByteArray file =
        riff(chunk("fmt ", fmtBody(1, 1, rate, 16))) + "data" + le32(declaredBytes) + values(held);
    if (QByteArray(QTest::currentDataTag()) == "odd trailing byte") {
        file += '\x55';
    }
    const QString name = path(QStringLiteral("truncated.wav"));
    QVERIFY(writeAll(name, file));
    QString error;
    const auto buffer = readWav(name, &error);
    QVERIFY2(buffer, qPrintable(error));
    QCOMPARE(buffer->samples.size(), qsizetype(expectedSamples));
    QCOMPARE(buffer->samples.first(heldValues), scaled(held));
    QCOMPARE(readAsPcm16(name), buffer->samples);
    for (qsizetype i = heldValues; i < buffer->samples.size(); ++i) {
        QCOMPARE(buffer->samples[i], 0.0);
    }
}

void TestAudioWav::openFailure() {
    const QString name = path(QStringLiteral("absent.wav"));
    QString error;
    QVERIFY(!readWav(name, &error));
    QVERIFY2(error.startsWith(QStringLiteral("failed to open WAV file %1: ").arg(name)),
             qPrintable(error));
    QVERIFY(error.size() > QStringLiteral("failed to open WAV file %1: ").arg(name).size());
}

void TestAudioWav::decodePcm_data() {
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("rate");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QList<double>>("samples");
    QTest::newRow("values") << QByteArray::fromHex("0080ff7f0100ffff") << 44100 << QString()
                            << QList<double>{-1.0, 0.999969482421875, 1 / 32768.0, -1 / 32768.0};
    QTest::newRow("empty") << QByteArray() << 22050 << QString() << QList<double>();
    QTest::newRow("odd") << QByteArray("abc") << 44100
                         << QStringLiteral("raw PCM data length must be an even number of bytes")
                         << QList<double>();
    QTest::newRow("rate 0 and odd reports the rate")
        << QByteArray("abc") << 0 << QStringLiteral("invalid PCM sample rate: 0")
        << QList<double>();
    QTest::newRow("negative rate")
        << QByteArray("ab") << -8000 << QStringLiteral("invalid PCM sample rate: -8000")
        << QList<double>();
}

void TestAudioWav::decodePcm() {
    QFETCH(QByteArray, data);
    QFETCH(int, rate);
    QFETCH(QString, message);
    QFETCH(QList<double>, samples);
    QString error;
    const auto buffer = decodePcm16Mono(data, rate, &error);
    if (message.isEmpty()) {
        QVERIFY(buffer);
        QCOMPARE(buffer->samples, samples);
        QCOMPARE(buffer->sampleRate, rate);
    } else {
        QVERIFY(!buffer);
        QCOMPARE(error, message);
    }
}

void TestAudioWav::legacyPcmReadAsUpgraded() {
    const QList<qint16> stored = {32767, 1, -32768, 500, -7};
    const QString name = path(QStringLiteral("legacy.wav"));
    QVERIFY(writeAll(name, values(stored)));
    QString error;
    const auto first = loadAudio(name, &error);
    QVERIFY2(first, qPrintable(error));
    QCOMPARE(first->sampleRate, 44100);
    QList<double> expected;
    for (qint16 s : stored) {
        expected.append(qint16(qint64(s) * 32767 / 32768) / 32768.0);
    }
    QCOMPARE(first->samples, expected);
    // Loading never writes: the clip stays as it was, however often it is read.
    const auto second = loadAudio(name, &error);
    QVERIFY(second);
    QCOMPARE(second->samples, expected);
    QCOMPARE(readAll(name), values(stored));
    QVERIFY(QDir(m_dir.path()).entryList({QStringLiteral("legacy.wav*")}, QDir::Files).size() == 1);
}

void TestAudioWav::legacyOddLengthLeftUntouched() {
    const QString name = path(QStringLiteral("odd-legacy.wav"));
    const QByteArray content("\x01\x02\x03\x04\x05", 5);
    QVERIFY(writeAll(name, content));
    QString error;
    QVERIFY(!loadAudio(name, &error));
    QCOMPARE(error,
             QStringLiteral("invalid WAV file: invalid WAV file: missing RIFF header; legacy "
                            "PCM conversion failed: raw PCM data length must be an even "
                            "number of bytes"));
    QCOMPARE(readAll(name), content);
}

void TestAudioWav::emptyLegacyClipIsSilence() {
    const QString name = path(QStringLiteral("empty.wav"));
    QVERIFY(writeAll(name, QByteArray()));
    QString error;
    const auto buffer = loadAudio(name, &error);
    QVERIFY2(buffer, qPrintable(error));
    QVERIFY(buffer->samples.isEmpty());
    QCOMPARE(buffer->sampleRate, 44100);
    QCOMPARE(QFileInfo(name).size(), 0);
}

void TestAudioWav::damagedWavIsNoLegacyClip() {
    // A damaged WAV file is not mistaken for raw PCM.
    const QString name = path(QStringLiteral("eight-bit.wav"));
    const QByteArray content =
        riff(chunk("fmt ", fmtBody(1, 1, 8000, 8)) + chunk("data", QByteArray(10, '\x80')));
    QVERIFY(writeAll(name, content));
    QString error;
    QVERIFY(!loadAudio(name, &error));
    QCOMPARE(error, QStringLiteral("unsupported bit depth: 8 (only 16-bit supported)"));
    QCOMPARE(readAll(name), content);
    QVERIFY(!loadAudio(path(QStringLiteral("absent.wav")), &error));
    QVERIFY(error.startsWith(QStringLiteral("failed to open WAV file ")));
}

void TestAudioWav::createFailure() {
    const QString name = path(QStringLiteral("missing/dir/out.wav"));
    AudioBuffer buffer;
    buffer.sampleRate = 44100;
    buffer.samples = {0.1, 0.2};
    QString error;
    QVERIFY(!writeWav(buffer, name, &error));
    QVERIFY2(error.startsWith(QStringLiteral("failed to create WAV file %1: ").arg(name)),
             qPrintable(error));
}

void TestAudioWav::writeFailureToDevice() {
    if (!QFileInfo::exists(QStringLiteral("/dev/full"))) {
        QSKIP("no /dev/full");
    }
    AudioBuffer buffer;
    buffer.sampleRate = 44100;
    buffer.samples.fill(0.25, 200000);
    QString error;
    QVERIFY(!writeWav(buffer, QStringLiteral("/dev/full"), &error));
    QVERIFY2(error.startsWith(QStringLiteral("failed to write WAV file /dev/full: ")),
             qPrintable(error));
    // The device is written directly, never replaced by a regular file.
    QVERIFY(!QFileInfo(QStringLiteral("/dev/full")).isFile());
}

void TestAudioWav::writeFailureLeavesNothing() {
    // A child process with a small file size limit runs out of room part-way.
    QTemporaryDir dir;
    const QString fresh = dir.filePath(QStringLiteral("fresh.wav"));
    const QString existing = dir.filePath(QStringLiteral("existing.wav"));
    QVERIFY(writeAll(existing, "previous content"));
    for (const QString& target : {fresh, existing}) {
        QProcess shell;
        shell.start(QStringLiteral("sh"),
                    {QStringLiteral("-c"),
                     QStringLiteral("ulimit -f 8; exec \"$0\" -child-limited \"$1\""),
                     QCoreApplication::applicationFilePath(), target});
        QVERIFY(shell.waitForFinished(60000));
        const QByteArray output = shell.readAllStandardOutput();
        QVERIFY2(output.startsWith("failed to write WAV file " + target.toUtf8() + ": "),
                 output.constData());
    }
    QVERIFY(!QFile::exists(fresh));
    QCOMPARE(readAll(existing), QByteArray("previous content"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("existing.wav")});
}

void TestAudioWav::tooLongForWav() {
    // A plan longer than a 32-bit data size can describe; the clip itself is tiny.
    AudioBuffer clip;
    clip.sampleRate = 44100;
    clip.samples = {0.5, 0.5};
    const qint64 durationMs = qint64(2147483630) * 1000 / 44100 + 1000;
    const auto plan = planTimeline({clip}, {0}, {10}, durationMs, 0, nullptr);
    QVERIFY(plan);
    QVERIFY(plan->totalSamples > 2147483629);
    const QString name = path(QStringLiteral("huge.wav"));
    QString error;
    QVERIFY(!writeTimelineWav({clip}, *plan, name, &error));
    QCOMPARE(error, QStringLiteral("audio too long for a WAV file: %1 samples exceed the 4 GiB "
                                   "size limit")
                        .arg(plan->totalSamples));
    QVERIFY(!QFile::exists(name));
}

int main(int argc, char** argv) {
    if (argc == 3 && qstrcmp(argv[1], "-child-limited") == 0) {
        QCoreApplication app(argc, argv);
        signal(SIGXFSZ, SIG_IGN);
        AudioBuffer buffer;
        buffer.sampleRate = 44100;
        buffer.samples.fill(0.25, 441000);
        QString error;
        const bool ok = writeWav(buffer, QString::fromLocal8Bit(argv[2]), &error);
        std::printf("%s\n", ok ? "ok" : qPrintable(error));
        return ok ? 0 : 1;
    }
    QCoreApplication app(argc, argv);
    TestAudioWav test;
    return QTest::qExec(&test, argc, argv);
}

void TestAudioWav::keptClipsKeepEveryValue() {
    // Every 16-bit value survives a load and a keep (a part cut from a clip, parts joined), so
    // such a clip is converted once, when the narration is written, like any other.
    QByteArray values;
    for (int v = -32768; v <= 32767; ++v) {
        char bytes[2];
        qToLittleEndian(qint16(v), bytes);
        values.append(bytes, 2);
    }
    const std::optional<AudioBuffer> loaded = decodePcm16Mono(values, 44100, nullptr);
    QVERIFY(loaded);
    QCOMPARE(keptPcm16Bytes(*loaded), values);
}

#include "test_audio_wav.moc"
