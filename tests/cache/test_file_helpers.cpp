#include "audio/audio_buffer.h"
#include "audio/clip_loading.h"
#include "audio/mp3_codec.h"
#include "audio/resampling.h"
#include "audio/time_stretch.h"
#include "audio/timeline_plan.h"
#include "audio/timeline_render.h"
#include "audio/wav_file.h"
#include "cache/file_helpers.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace lyrane;

class FileHelpersTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

    QString writeFile(const QString& name, const QByteArray& bytes) {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
            qFatal("cannot write test file");
        }
        return file.fileName();
    }

private slots:
    void formatKinds_data() {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("extension");
        QTest::addColumn<QString>("contentType");
        QTest::addColumn<int>("pcmRate");
        QTest::newRow("pcm 44100") << "pcm_44100"
                                   << ".wav"
                                   << "audio/wav" << 44100;
        QTest::newRow("pcm 16000") << "pcm_16000"
                                   << ".wav"
                                   << "audio/wav" << 16000;
        QTest::newRow("pcm 22050") << "pcm_22050"
                                   << ".wav"
                                   << "audio/wav" << 22050;
        QTest::newRow("pcm 24000 upper") << "PCM_24000"
                                         << ".wav"
                                         << "audio/wav" << 24000;
        QTest::newRow("no rate") << "pcm"
                                 << ".wav"
                                 << "audio/wav" << 44100;
        QTest::newRow("absurd rate") << "pcm_1"
                                     << ".wav"
                                     << "audio/wav" << 44100;
        QTest::newRow("other name") << "ulaw_8000"
                                    << ".wav"
                                    << "audio/wav" << 44100;
        QTest::newRow("empty") << ""
                               << ".wav"
                               << "audio/wav" << 44100;
        QTest::newRow("mp3") << "mp3_44100"
                             << ".mp3"
                             << "audio/mpeg" << 44100;
        QTest::newRow("MP3 capitals") << "MP3_22050"
                                      << ".mp3"
                                      << "audio/mpeg" << 44100;
        QTest::newRow("bare mp3") << "mp3"
                                  << ".mp3"
                                  << "audio/mpeg" << 44100;
        QTest::newRow("leading blank") << " mp3_44100"
                                       << ".wav"
                                       << "audio/wav" << 44100;
    }
    void formatKinds() {
        QFETCH(QString, format);
        QFETCH(QString, extension);
        QFETCH(QString, contentType);
        QFETCH(int, pcmRate);
        QCOMPARE(cacheExtensionForOutputFormat(format), extension);
        QCOMPARE(outputFormatIsMp3(format), extension == QLatin1String(".mp3"));
        QCOMPARE(contentTypeForExtension(extension), contentType);
        QCOMPARE(pcmSampleRateForFormat(format), pcmRate);
    }

    void contentTypeOfOtherExtensions() {
        QCOMPARE(contentTypeForExtension(".WAV"), QStringLiteral("audio/wav"));
        QCOMPARE(contentTypeForExtension(".Mp3"), QStringLiteral("audio/mpeg"));
        QCOMPARE(contentTypeForExtension(".ogg"), QString());
    }

    void contextFiles() {
        QString error;
        QCOMPARE(readUtf8TextFile(writeFile("blank.txt", " \n\t\r\n "), &error), QString());
        QVERIFY(error.isEmpty());
        QCOMPARE(readUtf8TextFile(writeFile("crlf.txt", "  one\r\ntwo\r\n"), &error),
                 QStringLiteral("one\ntwo"));
        QCOMPARE(readUtf8TextFile(writeFile("utf8.txt", "caf\xc3\xa9\n"), &error),
                 QStringLiteral("caf\u00e9"));
        QVERIFY(error.isEmpty());
        const QString missing = dir.filePath("missing.txt");
        QCOMPARE(readUtf8TextFile(missing, &error), QString());
        QCOMPARE(
            error,
            QStringLiteral("failed to read text file %1: No such file or directory").arg(missing));
    }

    void apiKeys() {
        qunsetenv("ELEVENLABS_API_KEY");
        QString error;
        QCOMPARE(loadApiKey(writeFile("key", "  sk_123\n"), &error), QStringLiteral("sk_123"));
        QVERIFY(error.isEmpty());
        QCOMPARE(loadApiKey(writeFile("empty-key", "\n"), &error), QString());
        QCOMPARE(error, QStringLiteral("ElevenLabs API key file is empty"));
        error.clear();
        QCOMPARE(loadApiKey(dir.filePath("none"), &error), QString());
        QCOMPARE(error,
                 QStringLiteral("failed to read ElevenLabs API key: No such file or directory"));

        qputenv("ELEVENLABS_API_KEY", "from-env\n");
        error.clear();
        QCOMPARE(loadApiKey(dir.filePath("none"), &error), QStringLiteral("from-env"));
        QVERIFY(error.isEmpty());
        qputenv("ELEVENLABS_API_KEY", "   ");
        QCOMPARE(loadApiKey(dir.filePath("none"), &error), QString());
        QVERIFY2(error.isEmpty(), "a blank key from the environment is not a file error");
        qunsetenv("ELEVENLABS_API_KEY");
    }

    void synthesizedClipsAreStoredByKind() {
        QString error;
        const QByteArray mp3Bytes("ID3 not really an mp3, stored unchanged");
        const QString mp3Path = dir.filePath("clip.mp3");
        QVERIFY(writeSynthesizedAudioToCache("MP3_22050", mp3Path, mp3Bytes, &error));
        QFile mp3(mp3Path);
        QVERIFY(mp3.open(QIODevice::ReadOnly));
        QCOMPARE(mp3.readAll(), mp3Bytes);
        QVERIFY2(ensureCachedAudioFileIsUsable(mp3Path, "MP3_22050", &error),
                 "cached MP3 clips are not checked");

        const QByteArray pcm = QByteArray::fromHex("0100ff7f0080");
        const QString wavPath = dir.filePath("clip.wav");
        QVERIFY(writeSynthesizedAudioToCache("pcm_16000", wavPath, pcm, &error));
        const std::optional<AudioBuffer> wav = readWav(wavPath, &error);
        QVERIFY(wav.has_value());
        QCOMPARE(wav->sampleRate, 16000);
        QCOMPARE(wav->samples.size(), 3);

        const QString oddPath = dir.filePath("odd.wav");
        QVERIFY(!writeSynthesizedAudioToCache("pcm_44100", oddPath, QByteArray("abc"), &error));
        QCOMPARE(error, QStringLiteral("raw PCM data length must be an even number of bytes"));
        QVERIFY(!QFile::exists(oddPath));

        const QString blocked = dir.filePath("no-such-dir/clip.mp3");
        QVERIFY(!writeSynthesizedAudioToCache("mp3_44100", blocked, mp3Bytes, &error));
        QVERIFY2(error.startsWith("failed to write cache file " + blocked + ": "),
                 qPrintable(error));
    }

    void legacyPcmIsUpgradedAtTheFormatRate() {
        QString error;
        const QString path = writeFile("legacy.wav", QByteArray::fromHex("00100020"));
        QVERIFY(ensureCachedAudioFileIsUsable(path, "pcm_22050", &error));
        const std::optional<AudioBuffer> wav = readWav(path, &error);
        QVERIFY(wav.has_value());
        QCOMPARE(wav->sampleRate, 22050);
        QCOMPARE(wav->samples.size(), 2);
    }
};

QTEST_GUILESS_MAIN(FileHelpersTest)
#include "test_file_helpers.moc"
