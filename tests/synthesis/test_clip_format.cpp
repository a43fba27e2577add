#include "audio/audio_buffer.h"
#include "audio/clip_loading.h"
#include "audio/mp3_codec.h"
#include "audio/resampling.h"
#include "audio/time_stretch.h"
#include "audio/timeline_plan.h"
#include "audio/timeline_render.h"
#include "audio/wav_file.h"
#include "synthesis/clip_format.h"
#include "test_files.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

using namespace lyrane;

class ClipFormatTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

    QString writeFile(const QString& name, const QByteArray& bytes) {
        return test::writeTestFile(dir, name, bytes);
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
        QTest::newRow("service WAV") << "WAV_24000"
                                     << ".wav"
                                     << "audio/wav" << 24000;
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
    }
    void formatKinds() {
        QFETCH(QString, format);
        QFETCH(QString, extension);
        QFETCH(QString, contentType);
        QFETCH(int, pcmRate);
        QCOMPARE(cacheExtensionForOutputFormat(format), extension);
        QCOMPARE(contentTypeForExtension(extension), contentType);
        QCOMPARE(pcmSampleRateForFormat(format), pcmRate);
    }

    void contentTypeOfOtherExtensions() {
        QCOMPARE(contentTypeForExtension(".WAV"), QStringLiteral("audio/wav"));
        QCOMPARE(contentTypeForExtension(".Mp3"), QStringLiteral("audio/mpeg"));
        QCOMPARE(contentTypeForExtension(".ogg"), QString());
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

    // The upgrade writes what loading the legacy clip already gave: a run sounds the same
    // before and after it, and an upgraded clip is an ordinary WAV file left alone from then on.
    void upgradeKeepsWhatLoadingGave() {
        const QList<qint16> stored = {32767, 1, -32768, 500, -7};
        QByteArray raw;
        for (qint16 v : stored) {
            raw += char(v & 0xff);
            raw += char((v >> 8) & 0xff);
        }
        QTemporaryDir scratch;
        const QString path = scratch.filePath("legacy.wav");
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(raw) == raw.size());
        }
        QString error;
        const std::optional<AudioBuffer> before = loadAudio(path, &error);
        QVERIFY2(before, qPrintable(error));
        QVERIFY(ensureCachedAudioFileIsUsable(path, "pcm_44100", &error));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray upgraded = file.readAll();
        file.close();
        QCOMPARE(upgraded.size(), 44 + raw.size());
        QVERIFY(upgraded.startsWith("RIFF"));
        QCOMPARE(qFromLittleEndian<qint32>(upgraded.constData() + 24), 44100);
        const std::optional<AudioBuffer> after = loadAudio(path, &error);
        QVERIFY2(after, qPrintable(error));
        QCOMPARE(after->sampleRate, before->sampleRate);
        QCOMPARE(after->samples, before->samples);
        QVERIFY(ensureCachedAudioFileIsUsable(path, "pcm_44100", &error));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), upgraded);
        QCOMPARE(QDir(scratch.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"legacy.wav"});
    }

    // The upgrade is a step of its own: only a file without a RIFF/WAVE header is rewritten,
    // and a failed upgrade says what was wrong with the header and with the data.
    void onlyHeaderlessClipsAreRewritten_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("legacy");
        QTest::addColumn<bool>("usable");
        QTest::addColumn<QString>("error");
        QByteArray wav = QByteArray("RIFF") + QByteArray::fromHex("28000000") + "WAVE" + "fmt " +
                         QByteArray::fromHex("10000000010001002256000044ac000002001000") + "data" +
                         QByteArray::fromHex("040000000100ff7f");
        QTest::newRow("sound WAV") << wav << false << true << QString();
        QTest::newRow("raw PCM") << QByteArray::fromHex("01000200") << true << true << QString();
        QTest::newRow("empty raw PCM") << QByteArray() << true << true << QString();
        QTest::newRow("odd raw PCM")
            << QByteArray("abc") << true << false
            << "invalid WAV file: invalid WAV file: missing RIFF header; legacy PCM conversion "
               "failed: raw PCM data length must be an even number of bytes";
        QTest::newRow("RIFF without WAVE")
            << QByteArray("RIFF") + QByteArray::fromHex("04000000") + "AVI " << true << true
            << QString();
        QTest::newRow("odd RIFF without WAVE")
            << QByteArray("RIFF") + QByteArray::fromHex("04000000") + "AVI !" << true << false
            << "invalid WAV file: invalid WAV file: missing WAVE header; legacy PCM conversion "
               "failed: raw PCM data length must be an even number of bytes";
        QByteArray unsupported = wav;
        unsupported[20] = 3; // IEEE float
        QTest::newRow("WAV of another format")
            << unsupported << false << false << "unsupported WAV format: only PCM is supported";
        // Damage is no legacy clip: a file with a trace of a WAV header is set aside instead.
        const QString noRiff = "invalid WAV file: missing RIFF header";
        const QByteArray list = "LIST" + QByteArray::fromHex("04000000") + "INFO";
        // clang-format off
        QTest::newRow("WAV cut short") << wav.chopped(2) << false << false << "invalid WAV file: data chunk cut short: 2 of 4 bytes";
        QTest::newRow("WAV cut inside RIFF") << wav.left(10) << false << false << "invalid WAV file: missing WAVE header";
        QTest::newRow("WAV header only") << wav.left(44) << false << false << "invalid WAV file: data chunk cut short: 0 of 4 bytes";
        QTest::newRow("damaged RIFF") << "RIFX" + wav.mid(4) << false << false << noRiff;
        QTest::newRow("damaged RIFF and WAVE") << QByteArray(12, 'x') + wav.mid(12) << false << false << noRiff;
        QTest::newRow("damaged RIFF, fmt after a LIST") << QByteArray(12, '\0') + list + wav.mid(12) << false << false << noRiff;
        // clang-format on
    }
    void onlyHeaderlessClipsAreRewritten() {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, legacy);
        QFETCH(bool, usable);
        QFETCH(QString, error);
        const QString path = writeFile("check.wav", bytes);
        QCOMPARE(isHeaderlessPcmFile(path), legacy);
        QString message;
        QCOMPARE(ensureCachedAudioFileIsUsable(path, "pcm_22050", &message), usable);
        QCOMPARE(message, error);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray after = file.readAll();
        if (!legacy || !usable) {
            QCOMPARE(after, bytes); // checked or refused, never rewritten
        } else {
            QVERIFY(after.startsWith("RIFF"));
            QCOMPARE(after.size(), 44 + bytes.size());
        }
    }
};

QTEST_GUILESS_MAIN(ClipFormatTest)
#include "test_clip_format.moc"
