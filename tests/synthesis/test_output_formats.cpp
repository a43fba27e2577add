#include "synthesis/output_formats.h"

#include "audio/mp3_codec.h"
#include "audio/wav_file.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <cmath>
#include <optional>

using namespace lyrane;

Q_DECLARE_METATYPE(lyrane::AudioKind)
Q_DECLARE_METATYPE(lyrane::AnswerFault)

namespace {

// Signed 16-bit little-endian samples of a tone, with the extremes the conversion treats
// specially at the start.
QByteArray pcmTone(int rate, double seconds) {
    QByteArray pcm;
    const auto append = [&pcm](qint16 value) {
        char bytes[2];
        qToLittleEndian<qint16>(value, bytes);
        pcm.append(bytes, 2);
    };
    for (const qint16 edge : {qint16(32767), qint16(-32768), qint16(1), qint16(-1), qint16(0)}) {
        append(edge);
    }
    const int n = int(std::lround(seconds * rate));
    for (int i = 0; i < n; ++i) {
        append(qint16(std::lround(12000 * std::sin(2 * M_PI * 440.0 * i / rate))));
    }
    return pcm;
}

QByteArray le16(quint16 value) {
    char bytes[2];
    qToLittleEndian<quint16>(value, bytes);
    return QByteArray(bytes, 2);
}

QByteArray le32(quint32 value) {
    char bytes[4];
    qToLittleEndian<quint32>(value, bytes);
    return QByteArray(bytes, 4);
}

struct WavShape {
    int rate = 24000;
    int channels = 1;
    int bits = 16;
    quint16 encoding = 1;
    bool extensible = false;         // WAVE_FORMAT_EXTENSIBLE carrying `encoding`
    QByteArray chunkBeforeData;      // a whole chunk placed between "fmt " and "data"
    std::optional<quint32> dataSize; // the declared data size, when not the real one
    QByteArray chunkAfterData;       // a whole chunk after "data"
};

QByteArray wavFile(const QByteArray& data, const WavShape& shape) {
    QByteArray fmt;
    const quint16 blockAlign = quint16(shape.channels * shape.bits / 8);
    fmt += le16(shape.extensible ? 0xFFFE : shape.encoding) + le16(quint16(shape.channels)) +
           le32(quint32(shape.rate)) + le32(quint32(shape.rate) * blockAlign) + le16(blockAlign) +
           le16(quint16(shape.bits));
    if (shape.extensible) {
        fmt += le16(22) + le16(quint16(shape.bits)) + le32(4) + le16(shape.encoding) +
               QByteArray::fromHex("000000001000800000aa00389b71");
    }
    QByteArray body = "WAVE";
    body += "fmt " + le32(quint32(fmt.size())) + fmt;
    body += shape.chunkBeforeData;
    body += "data" + le32(shape.dataSize.value_or(quint32(data.size()))) + data;
    if (data.size() % 2 != 0) {
        body += '\0';
    }
    body += shape.chunkAfterData;
    return "RIFF" + le32(quint32(body.size())) + body;
}

QByteArray pcmWrittenByClipWriter(const QByteArray& pcm, int rate) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("clip.wav"));
    QString error;
    if (!writePcm16MonoAsWav(pcm, rate, path, &error)) {
        qWarning("clip writer failed: %s", qPrintable(error));
        return {};
    }
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray mp3Tone(int rate, int bitRate) {
    AudioBuffer buffer;
    buffer.sampleRate = rate;
    for (int i = 0; i < rate / 2; ++i) {
        buffer.samples.append(0.4 * std::sin(2 * M_PI * 330.0 * i / rate));
    }
    QString error;
    const std::optional<QByteArray> mp3 = encodeMp3ToBytes(buffer, bitRate, &error);
    if (!mp3) {
        qWarning("MP3 encoding failed: %s", qPrintable(error));
    }
    return mp3.value_or(QByteArray());
}

ServiceOutputFormat format(const char* name) {
    return parseOutputFormat(QString::fromLatin1(name)).value();
}

} // namespace

class OutputFormatsTest : public QObject {
    Q_OBJECT

private slots:
    void accepted_data();
    void accepted();
    void refused_data();
    void refused();
    void everyListedNameIsAccepted();
    void goodAnswers_data();
    void goodAnswers();
    void badAnswers_data();
    void badAnswers();
    void wavAnswerCachesAsItsPcmAnswer();
};

void OutputFormatsTest::accepted_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<AudioKind>("kind");
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("kbps");
    QTest::addColumn<QString>("extension");

    for (const int rate : {8000, 16000, 22050, 24000, 32000, 44100, 48000}) {
        const QString pcm = QStringLiteral("pcm_%1").arg(rate);
        QTest::newRow(qPrintable(pcm)) << pcm << AudioKind::Pcm << rate << 0 << ".wav";
        const QString wav = QStringLiteral("wav_%1").arg(rate);
        QTest::newRow(qPrintable(wav)) << wav << AudioKind::Wav << rate << 0 << ".wav";
    }
    QTest::newRow("mp3_22050_32") << "mp3_22050_32" << AudioKind::Mp3 << 22050 << 32 << ".mp3";
    QTest::newRow("mp3_24000_48") << "mp3_24000_48" << AudioKind::Mp3 << 24000 << 48 << ".mp3";
    for (const int kbps : {32, 64, 96, 128, 192}) {
        const QString mp3 = QStringLiteral("mp3_44100_%1").arg(kbps);
        QTest::newRow(qPrintable(mp3)) << mp3 << AudioKind::Mp3 << 44100 << kbps << ".mp3";
    }
    QTest::newRow("bare mp3_44100") << "mp3_44100" << AudioKind::Mp3 << 44100 << 0 << ".mp3";
    QTest::newRow("capitals kept") << "PCM_24000" << AudioKind::Pcm << 24000 << 0 << ".wav";
    QTest::newRow("mixed case wav") << "Wav_16000" << AudioKind::Wav << 16000 << 0 << ".wav";
    QTest::newRow("mixed case mp3") << "Mp3_44100_128" << AudioKind::Mp3 << 44100 << 128 << ".mp3";
    QTest::newRow("bare MP3_44100") << "MP3_44100" << AudioKind::Mp3 << 44100 << 0 << ".mp3";
}

void OutputFormatsTest::accepted() {
    QFETCH(QString, name);
    QFETCH(AudioKind, kind);
    QFETCH(int, rate);
    QFETCH(int, kbps);
    QFETCH(QString, extension);

    const std::optional<ServiceOutputFormat> parsed = parseOutputFormat(name);
    QVERIFY(parsed);
    QCOMPARE(parsed->name, name); // sent to the service as the user wrote it
    QCOMPARE(parsed->kind, kind);
    QCOMPARE(parsed->sampleRate, rate);
    QCOMPARE(parsed->bitRateKbps, kbps);
    QCOMPARE(parsed->cacheExtension(), extension);
}

void OutputFormatsTest::refused_data() {
    QTest::addColumn<QString>("name");
    for (const char* name : {"ulaw_8000",
                             "alaw_8000",
                             "opus_48000_32",
                             "opus_48000_64",
                             "opus_48000_192",
                             "pcm_11025",
                             "pcm_96000",
                             "wav_96000",
                             "pcm_44100 ",
                             " pcm_44100",
                             "pcm-44100",
                             "pcm_044100",
                             "pcm44100",
                             "pcm",
                             "mp3",
                             "mp3_44100_320",
                             "mp3_22050_128",
                             "mp3_24000_32",
                             "mp3_44100_128x",
                             "mp3_48000_128",
                             "wav",
                             "",
                             "pcm_\u0664\u0664100"}) {
        QTest::newRow(name[0] ? name : "empty") << QString::fromUtf8(name);
    }
}

void OutputFormatsTest::refused() {
    QFETCH(QString, name);
    QVERIFY(!parseOutputFormat(name));
    QCOMPARE(outputFormatRefusal(),
             QStringLiteral("--format must be a PCM, WAV or MP3 format of the speech service, "
                            "such as pcm_24000 or mp3_44100_128\n"));
}

void OutputFormatsTest::everyListedNameIsAccepted() {
    const QStringList names = acceptedOutputFormatNames();
    QCOMPARE(names.size(), 22);
    QCOMPARE(QSet<QString>(names.begin(), names.end()).size(), names.size());
    for (const QString& name : names) {
        QVERIFY2(parseOutputFormat(name), qPrintable(name));
        QVERIFY2(parseOutputFormat(name.toUpper()), qPrintable(name));
    }
}

void OutputFormatsTest::goodAnswers_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray pcm24 = pcmTone(24000, 0.25);
    const QByteArray pcm44 = pcmTone(44100, 0.25);
    const QByteArray cached24 = pcmWrittenByClipWriter(pcm24, 24000);
    QVERIFY(!cached24.isEmpty());

    QTest::newRow("pcm_24000") << "pcm_24000" << pcm24 << cached24;
    QTest::newRow("pcm_44100") << "pcm_44100" << pcm44 << pcmWrittenByClipWriter(pcm44, 44100);
    QTest::newRow("pcm_8000") << "pcm_8000" << pcmTone(8000, 0.1)
                              << pcmWrittenByClipWriter(pcmTone(8000, 0.1), 8000);
    QTest::newRow("wav_24000 plain") << "wav_24000" << wavFile(pcm24, {}) << cached24;
    WavShape chunks;
    chunks.chunkBeforeData = "LIST" + le32(5) + "INFOx" + '\0'; // odd size, padded
    chunks.chunkAfterData = "id3 " + le32(4) + "abcd";
    QTest::newRow("wav_24000 with other chunks")
        << "wav_24000" << wavFile(pcm24, chunks) << cached24;
    WavShape extensible;
    extensible.extensible = true;
    QTest::newRow("wav_24000 extensible PCM")
        << "wav_24000" << wavFile(pcm24, extensible) << cached24;
    WavShape streamed;
    streamed.dataSize = 0xFFFFFFFFu;
    QTest::newRow("wav_24000 streamed, size unknown")
        << "wav_24000" << wavFile(pcm24, streamed) << cached24;
    WavShape at48;
    at48.rate = 48000;
    QTest::newRow("WAV_48000 in capitals") << "WAV_48000" << wavFile(pcmTone(48000, 0.1), at48)
                                           << pcmWrittenByClipWriter(pcmTone(48000, 0.1), 48000);

    const QByteArray mp3at44 = mp3Tone(44100, 128000);
    QTest::newRow("mp3_44100_128 unchanged") << "mp3_44100_128" << mp3at44 << mp3at44;
    QTest::newRow("bare mp3_44100 unchanged") << "mp3_44100" << mp3at44 << mp3at44;
    const QByteArray mp3at22 = mp3Tone(22050, 32000);
    QTest::newRow("mp3_22050_32 unchanged") << "mp3_22050_32" << mp3at22 << mp3at22;
    const QByteArray mp3at24 = mp3Tone(24000, 48000);
    QTest::newRow("mp3_24000_48 unchanged") << "mp3_24000_48" << mp3at24 << mp3at24;
    // Another rate is converted when the timeline is made.
    QTest::newRow("MP3 of 22050 Hz for 44100") << "mp3_44100_128" << mp3at22 << mp3at22;
    QTest::newRow("MP3 of 44100 Hz for 24000") << "mp3_24000_48" << mp3at44 << mp3at44;
    QTest::newRow("ID3 tag before the stream")
        << "mp3_44100_64"
        << QByteArray("ID3\x04\x00\x00\x00\x00\x00\x0A", 10) + QByteArray(10, '\0') + mp3at44
        << QByteArray("ID3\x04\x00\x00\x00\x00\x00\x0A", 10) + QByteArray(10, '\0') + mp3at44;

    const QByteArray id3v1 = "TAG" + QByteArray(125, 'a');
    QTest::newRow("ID3v1 tag after the stream")
        << "mp3_44100_96" << mp3at44 + id3v1 << mp3at44 + id3v1;

    // A blank text yields no bytes; it is the silent clip, as before.
    QTest::newRow("empty pcm") << "pcm_24000" << QByteArray()
                               << pcmWrittenByClipWriter(QByteArray(), 24000);
    QTest::newRow("empty wav") << "wav_16000" << QByteArray()
                               << pcmWrittenByClipWriter(QByteArray(), 16000);
    QTest::newRow("empty mp3") << "mp3_44100_128" << QByteArray() << QByteArray();
}

void OutputFormatsTest::goodAnswers() {
    QFETCH(QString, name);
    QFETCH(QByteArray, answer);
    QFETCH(QByteArray, expected);
    QVERIFY(name.startsWith(QLatin1String("mp3"), Qt::CaseInsensitive) || expected.size() >= 44);

    const CheckedAnswer checked = checkServiceAnswer(parseOutputFormat(name).value(), answer);
    QVERIFY2(checked.cacheBytes, qPrintable(checked.error));
    QVERIFY(checked.error.isEmpty());
    QCOMPARE(checked.cacheBytes->size(), expected.size());
    QVERIFY(*checked.cacheBytes == expected);
}

void OutputFormatsTest::badAnswers_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<AnswerFault>("fault");

    const QByteArray pcm24 = pcmTone(24000, 0.25);
    QTest::newRow("odd PCM length") << "pcm_24000" << pcm24 + 'x' << AnswerFault::OddPcmLength;
    QTest::newRow("one byte of PCM") << "pcm_44100" << QByteArray("x") << AnswerFault::OddPcmLength;

    QTest::newRow("PCM where WAV was asked") << "wav_24000" << pcm24 << AnswerFault::UnreadableWav;
    QTest::newRow("RIFX header") << "wav_24000"
                                 << "RIFX" + wavFile(pcm24, {}).mid(4)
                                 << AnswerFault::UnreadableWav;
    QTest::newRow("RIFF without WAVE")
        << "wav_24000" << wavFile(pcm24, {}).replace("WAVE", "AVI ") << AnswerFault::UnreadableWav;
    QTest::newRow("header only, cut in the format")
        << "wav_24000" << wavFile(pcm24, {}).left(30) << AnswerFault::UnreadableWav;
    QTest::newRow("no data chunk")
        << "wav_24000" << wavFile(pcm24, {}).left(36) << AnswerFault::UnreadableWav;
    QTest::newRow("data cut short")
        << "wav_24000" << wavFile(pcm24, {}).chopped(100) << AnswerFault::UnreadableWav;
    QTest::newRow("JSON error page")
        << "wav_24000" << QByteArray(R"({"detail":{"status":"x","message":"y"}})")
        << AnswerFault::UnreadableWav;
    WavShape otherRate;
    otherRate.rate = 44100;
    QTest::newRow("WAV of another rate")
        << "wav_24000" << wavFile(pcm24, otherRate) << AnswerFault::WavFormatMismatch;
    WavShape stereo;
    stereo.channels = 2;
    QTest::newRow("stereo WAV") << "wav_24000" << wavFile(pcm24, stereo)
                                << AnswerFault::WavFormatMismatch;
    WavShape eightBit;
    eightBit.bits = 8;
    QTest::newRow("8-bit WAV") << "wav_24000" << wavFile(pcm24, eightBit)
                               << AnswerFault::WavFormatMismatch;
    WavShape mulaw;
    mulaw.encoding = 7;
    mulaw.bits = 8;
    QTest::newRow("mu-law WAV") << "wav_8000" << wavFile(pcm24, mulaw)
                                << AnswerFault::WavFormatMismatch;
    WavShape floatExtensible;
    floatExtensible.extensible = true;
    floatExtensible.encoding = 3;
    floatExtensible.bits = 32;
    QTest::newRow("extensible float WAV")
        << "wav_24000" << wavFile(pcm24, floatExtensible) << AnswerFault::WavFormatMismatch;
    QTest::newRow("WAV with odd data length")
        << "wav_24000" << wavFile(pcm24 + 'x', {}) << AnswerFault::OddPcmLength;

    const QByteArray mp3 = mp3Tone(44100, 128000);
    QTest::newRow("MP3 cut in half")
        << "mp3_44100_128" << mp3.left(mp3.size() / 2 + 7) << AnswerFault::UndecodableMp3;
    QTest::newRow("MP3 missing its last bytes")
        << "mp3_44100_128" << mp3.chopped(50) << AnswerFault::UndecodableMp3;
    QTest::newRow("bytes after the last frame")
        << "mp3_44100_128" << mp3 + "garbage" << AnswerFault::UndecodableMp3;
    QTest::newRow("bytes inside the stream")
        << "mp3_44100_128" << mp3.left(mp3.size() / 2) + "garbage!" + mp3.mid(mp3.size() / 2)
        << AnswerFault::UndecodableMp3;
    QTest::newRow("MP3 header only")
        << "mp3_44100_128" << mp3.left(4) << AnswerFault::UndecodableMp3;
    QByteArray noise(8192, '\0');
    quint32 state = 12345;
    for (char& byte : noise) {
        state = state * 1664525u + 1013904223u;
        byte = char(state >> 24);
    }
    QTest::newRow("random bytes") << "mp3_44100_128" << noise << AnswerFault::UndecodableMp3;
    QTest::newRow("JSON instead of MP3")
        << "mp3_44100_128" << QByteArray(R"({"detail":{"status":"busy","message":"later"}})")
        << AnswerFault::UndecodableMp3;
    QTest::newRow("PCM instead of MP3")
        << "mp3_44100_128" << pcmTone(44100, 0.25) << AnswerFault::UndecodableMp3;
}

void OutputFormatsTest::badAnswers() {
    QFETCH(QString, name);
    QFETCH(QByteArray, answer);
    QFETCH(AnswerFault, fault);

    const CheckedAnswer checked = checkServiceAnswer(parseOutputFormat(name).value(), answer);
    QVERIFY2(!checked.cacheBytes, "a bad answer was accepted for the cache");
    QCOMPARE(checked.fault, fault);
    QVERIFY(!checked.error.isEmpty());
    QVERIFY2(!checked.error.contains(QLatin1Char('\n')), qPrintable(checked.error));
}

// The same sound answered as WAV or as PCM is one cache file, and it reads back as that sound.
void OutputFormatsTest::wavAnswerCachesAsItsPcmAnswer() {
    for (const int rate : {8000, 16000, 22050, 24000, 32000, 44100, 48000}) {
        const QByteArray pcm = pcmTone(rate, 0.05);
        WavShape shape;
        shape.rate = rate;
        const CheckedAnswer fromPcm =
            checkServiceAnswer(format(qPrintable(QStringLiteral("pcm_%1").arg(rate))), pcm);
        const CheckedAnswer fromWav = checkServiceAnswer(
            format(qPrintable(QStringLiteral("wav_%1").arg(rate))), wavFile(pcm, shape));
        QVERIFY2(fromPcm.cacheBytes && fromWav.cacheBytes, qPrintable(fromWav.error));
        QVERIFY(*fromPcm.cacheBytes == *fromWav.cacheBytes);

        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("clip.wav"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(*fromWav.cacheBytes);
        file.close();
        QString error;
        const std::optional<AudioBuffer> read = readWav(path, &error);
        QVERIFY2(read, qPrintable(error));
        QCOMPARE(read->sampleRate, rate);
        QCOMPARE(read->samples.size(), pcm.size() / 2);
        // Within one step of 16 bits of what was sent.
        for (qsizetype i = 0; i < read->samples.size(); ++i) {
            const double sent = qFromLittleEndian<qint16>(pcm.constData() + 2 * i) / 32768.0;
            QVERIFY(std::abs(read->samples[i] - sent) <= 2.0 / 32768.0);
        }
    }
}

QTEST_GUILESS_MAIN(OutputFormatsTest)
#include "test_output_formats.moc"
