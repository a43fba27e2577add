#include "audio/broadcast_wav.h"
#include "audio/ffmpeg_handles.h"
#include "audio/resampling.h"
#include "audio/stems_folder.h"
#include "audio/wav_file.h"

#include <QDir>
#include <QHash>
#include <QtTest>

#include <cmath>

using namespace lyrane;

namespace {

// What FFmpeg's WAV reader, an independent one, makes of a file's tags: of the bext chunk, the
// description as "comment", the originator as "encoded_by", the origination as "date" and
// "creation_time", and "time_reference".
QHash<QString, QString> tagsOf(const QString& path) {
    AVFormatContext* opened = nullptr;
    QHash<QString, QString> tags;
    if (avformat_open_input(&opened, path.toUtf8().constData(), nullptr, nullptr) < 0) {
        return tags;
    }
    const FormatContextPtr input(opened);
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = av_dict_get(input->metadata, "", entry, AV_DICT_IGNORE_SUFFIX))) {
        tags.insert(QString::fromUtf8(entry->key), QString::fromUtf8(entry->value));
    }
    return tags;
}

// A mono 24-bit 48 kHz file's samples; empty and a failure when it is anything else.
QList<double> samplesOf(const QString& path) {
    QFile file(path);
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    const ParsedWav parsed = parseWavBytes(bytes);
    QList<double> samples;
    [&] {
        QVERIFY(parsed.wav);
        QCOMPARE(parsed.wav->encoding, kWavePcmEncoding);
        QCOMPARE(parsed.wav->channels, 1);
        QCOMPARE(parsed.wav->sampleRate, kBroadcastWavSampleRate);
        QCOMPARE(parsed.wav->bitsPerSample, 24);
        QCOMPARE(bytes.size() % 2, 0);
        QCOMPARE(qFromLittleEndian<quint32>(bytes.constData() + 4), quint32(bytes.size() - 8));
    }();
    const QByteArray& data = parsed.wav ? parsed.wav->data : QByteArray();
    for (qsizetype i = 0; i + 2 < data.size(); i += 3) {
        const qint32 value = uchar(data[i]) | uchar(data[i + 1]) << 8 | uchar(data[i + 2]) << 16;
        samples << (value & 0x800000 ? value - 0x1000000 : value) / 8388607.0;
    }
    return samples;
}

AudioBuffer tone(qsizetype length, double amplitude, int rate) {
    AudioBuffer buffer;
    buffer.sampleRate = rate;
    for (qsizetype i = 0; i < length; ++i) {
        buffer.samples << amplitude * std::sin(2.0 * M_PI * 440.0 * double(i) / rate);
    }
    return buffer;
}

// Three clips at 24 kHz on a two-second timeline; the second is empty.
StemsSource stemsSource(const QList<AudioBuffer>& clips) {
    StemsSource source;
    source.plan.sampleRate = 24000;
    source.plan.totalSamples = 48000;
    source.plan.startSamples = {100, 12001, 36000};
    source.level = OutputLevel::scaledBy(0.5);
    for (const AudioBuffer& clip : clips) {
        source.lengths << clip.samples.size();
        source.clips << StemClip{int(source.clips.size()) + 1,
                                 QStringLiteral("Cue %1").arg(source.clips.size() + 1)};
    }
    source.load = [clips](qsizetype j, AudioBuffer& clip, QString*) {
        clip = clips[j];
        return true;
    };
    return source;
}

} // namespace

class TestBroadcastWav : public QObject {
    Q_OBJECT

private slots:
    void readBack_data();
    void readBack();
    void stemsMatchTheVoiceOver();
    void stemsFolderAppearsWhole_data();
    void stemsFolderAppearsWhole();

private:
    QTemporaryDir dir;
};

void TestBroadcastWav::readBack_data() {
    QTest::addColumn<QString>("description");
    QTest::addColumn<quint64>("timeReference");
    QTest::addColumn<qint64>("count");
    QTest::addColumn<double>("amplitude");
    QTest::addColumn<QString>("expectedDescription");
    const QString accents(150, QChar(0xE9)); // 300 bytes of UTF-8
    // clang-format off
    QTest::newRow("a cue") << "0001: A door opens." << quint64(480000) << qint64(4800) << 0.7 << "0001: A door opens.";
    QTest::newRow("odd length padded") << "x" << quint64(0) << qint64(3) << 0.7 << "x";
    QTest::newRow("time reference past 32 bits") << "late" << quint64(5000000000) << qint64(10) << 0.7 << "late";
    QTest::newRow("description cut at a character") << accents << quint64(1) << qint64(10) << 0.7 << QString(128, QChar(0xE9));
    QTest::newRow("clipped beyond full scale") << "loud" << quint64(2) << qint64(480) << 1.5 << "loud";
    // clang-format on
}

void TestBroadcastWav::readBack() {
    QFETCH(QString, description);
    QFETCH(quint64, timeReference);
    QFETCH(qint64, count);
    QFETCH(double, amplitude);
    QFETCH(QString, expectedDescription);
    const AudioBuffer audio = tone(count, amplitude, kBroadcastWavSampleRate);
    BroadcastExtension extension;
    extension.description = description;
    extension.timeReference = timeReference;
    extension.origination = QDateTime(QDate(2024, 5, 6), QTime(7, 8, 9));
    const QString path = dir.filePath(QStringLiteral("cue.wav"));
    QString error;
    QVERIFY2(writeBroadcastWavFile(
                 count, kBroadcastWavSampleRate, extension, path,
                 [&](const SampleSink& sink) { return sink(audio.samples.constData(), count); },
                 &error),
             qPrintable(error));

    const QHash<QString, QString> tags = tagsOf(path);
    QCOMPARE(tags.value(QStringLiteral("comment")), expectedDescription);
    QCOMPARE(tags.value(QStringLiteral("time_reference")), QString::number(timeReference));
    QCOMPARE(tags.value(QStringLiteral("encoded_by")), QStringLiteral("lyrane"));
    QCOMPARE(tags.value(QStringLiteral("date")), QStringLiteral("2024-05-06"));
    QCOMPARE(tags.value(QStringLiteral("creation_time")), QStringLiteral("07:08:09"));
    const QList<double> samples = samplesOf(path);
    QCOMPARE(samples.size(), count);
    for (qsizetype i = 0; i < count; ++i) {
        QVERIFY(std::abs(samples[i] - qBound(-1.0, audio.samples[i], 1.0)) <= 1.0 / 8388607);
    }
}

// Each stem holds its clip at 48 kHz, at the output's level, and the voice-over holds the very
// same samples where the stem's bext says the clip starts, and silence elsewhere.
void TestBroadcastWav::stemsMatchTheVoiceOver() {
    const QList<AudioBuffer> clips{tone(2400, 0.8, 24000), AudioBuffer{{}, 24000},
                                   tone(1200, 0.4, 24000)};
    const QString folder = dir.filePath(QStringLiteral("match"));
    StemsSource source = stemsSource(clips);
    source.timeReferenceOrigin = quint64(36000) * 48000; // 10:00:00:00
    QString error;
    QVERIFY2(writeStemsFolder(source, folder, &error), qPrintable(error));
    QCOMPARE(tagsOf(QDir(folder).filePath("voice-over.wav")).value("time_reference"),
             QStringLiteral("1728000000"));
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden),
             (QStringList{"0001.wav", "0002.wav", "0003.wav", "voice-over.wav"}));
    const QList<double> voiceOver = samplesOf(QDir(folder).filePath("voice-over.wav"));
    QCOMPARE(voiceOver.size(), 96000);
    QList<bool> covered(voiceOver.size(), false);
    const QList<quint64> starts{200, 24002, 72000};
    for (qsizetype j = 0; j < clips.size(); ++j) {
        const QString stem = QDir(folder).filePath(QStringLiteral("000%1.wav").arg(j + 1));
        const QHash<QString, QString> tags = tagsOf(stem);
        QCOMPARE(tags.value(QStringLiteral("time_reference")),
                 QString::number(source.timeReferenceOrigin + starts[j]));
        QCOMPARE(tags.value(QStringLiteral("comment")), QStringLiteral("Cue %1").arg(j + 1));
        const QList<double> samples = samplesOf(stem);
        QCOMPARE(samples.size(), 2 * clips[j].samples.size());
        double peak = 0;
        for (qsizetype i = 0; i < samples.size(); ++i) {
            QCOMPARE(voiceOver[qsizetype(starts[j]) + i], samples[i]);
            covered[qsizetype(starts[j]) + i] = true;
            peak = qMax(peak, std::abs(samples[i]));
        }
        const double expectedPeak = 0.5 * (clips[j].samples.isEmpty() ? 0 : (j ? 0.4 : 0.8));
        QVERIFY2(std::abs(peak - expectedPeak) < 0.01, qPrintable(QString::number(peak)));
    }
    for (qsizetype i = 0; i < voiceOver.size(); ++i) {
        QVERIFY(covered[i] || voiceOver[i] == 0.0);
    }
}

void TestBroadcastWav::stemsFolderAppearsWhole_data() {
    QTest::addColumn<QString>("before");  // what is at the target: nothing, "stems", a file
    QTest::addColumn<QString>("failure"); // "load", "stop" or none
    QTest::addColumn<QString>("error");   // "$DIR" for the target
    // clang-format off
    QTest::newRow("new folder") << "" << "" << "";
    QTest::newRow("an earlier run's stems replaced") << "0001.wav 0009.wav voice-over.wav" << "" << "";
    QTest::newRow("other files kept") << "0001.wav notes.txt" << "" << "cannot write stems to $DIR: the folder holds other files than stems (notes.txt); name a new folder";
    QTest::newRow("a folder inside kept") << "0001.wav 0002.wav/" << "" << "cannot write stems to $DIR: the folder holds other files than stems (0002.wav); name a new folder";
    QTest::newRow("a file in the way") << "=file" << "" << "cannot write stems to $DIR: it exists and is not a folder";
    QTest::newRow("a clip that fails") << "0001.wav" << "load" << "clip 3 is gone";
    QTest::newRow("stopped") << "0001.wav" << "stop" << "stopped before the output was complete";
    // clang-format on
}

void TestBroadcastWav::stemsFolderAppearsWhole() {
    QFETCH(QString, before);
    QFETCH(QString, failure);
    QFETCH(QString, error);
    const QTemporaryDir parent(dir.filePath(QStringLiteral("whole-XXXXXX")));
    const QString folder = parent.filePath(QStringLiteral("stems"));
    if (before == QLatin1String("=file")) {
        QFile(folder).open(QIODevice::WriteOnly);
    } else if (!before.isEmpty()) {
        QDir().mkpath(folder);
        for (const QString& name : before.split(' ')) {
            name.endsWith('/')
                ? void(QDir(folder).mkdir(name))
                : void(QFile(QDir(folder).filePath(name)).open(QIODevice::WriteOnly));
        }
    }
    const QStringList listedBefore =
        QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    StemsSource source =
        stemsSource({tone(240, 0.5, 24000), tone(24, 0.5, 24000), tone(24, 0.5, 24000)});
    const TimelineClipLoader load = source.load;
    source.load = [&](qsizetype j, AudioBuffer& clip, QString* why) {
        if (failure == QLatin1String("load") && j == 2) {
            *why = QStringLiteral("clip 3 is gone");
            return false;
        }
        return load(j, clip, why);
    };
    QString message;
    const bool written = writeStemsFolder(source, folder, &message,
                                          [&] { return failure == QLatin1String("stop"); });
    QCOMPARE(message.replace(folder, QLatin1String("$DIR")), error);
    QCOMPARE(written, error.isEmpty());
    const QStringList stems{"0001.wav", "0002.wav", "0003.wav", "voice-over.wav"};
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             written ? stems : listedBefore);
    // Nothing half-written is left beside it.
    QCOMPARE(QDir(parent.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"stems"});
}

QTEST_GUILESS_MAIN(TestBroadcastWav)
#include "test_broadcast_wav.moc"
