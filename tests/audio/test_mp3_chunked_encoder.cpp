#include "audio/mp3_codec.h"
#include "audio/mp3_info_tag.h"
#include "audio/mp3_test_support.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

using namespace lyrane;
using namespace lyrane::test;

namespace {

// Short chunks, so a few seconds of audio hold several seams.
Mp3WriteOptions chunked(int threads, Mp3SeamCounts* seams = nullptr, int warmUp = 64,
                        int reach = 8) {
    Mp3WriteOptions options;
    options.threads = threads;
    options.plan.chunkFrames = 98;
    options.plan.warmUpFrames = warmUp;
    options.plan.seamReach = reach;
    options.seams = seams;
    return options;
}

bool encode(const std::vector<qint16>& samples, int rate, const QString& path,
            const Mp3WriteOptions& options, QString* error) {
    return writeMp3File(
        rate, kMp3BitRate, path,
        [&](const Pcm16Sink& sink) {
            // Uneven pushes, as the timeline renderer makes them.
            for (size_t at = 0; at < samples.size(); at += 7001) {
                if (!sink(samples.data() + at,
                          qint64(std::min<size_t>(7001, samples.size() - at)))) {
                    return false;
                }
            }
            return true;
        },
        error, options);
}

// RMS of a - b over the frames around each seam (the encoder's delay is under a frame), and
// over the whole stream.
std::pair<double, double> aroundSeams(const std::vector<qint16>& a, const std::vector<qint16>& b,
                                      const QList<qint64>& seams, int frameSamples) {
    double seamSum = 0;
    size_t seamCount = 0;
    for (const qint64 seam : seams) {
        const size_t from = size_t(qMax<qint64>(0, (seam - 3) * frameSamples));
        const size_t to = std::min(a.size(), size_t((seam + 2) * frameSamples));
        const double rms = rmsDifference(a, b, from, to);
        seamSum += rms * rms * double(to - from);
        seamCount += to - from;
    }
    return {seamCount ? std::sqrt(seamSum / double(seamCount)) : 0.0,
            rmsDifference(a, b, 0, a.size())};
}

} // namespace

class TestMp3ChunkedEncoder : public QObject {
    Q_OBJECT

private slots:
    void chunkedStreamHolds_data();
    void chunkedStreamHolds();
    void observerSeesTheFramesTheFileHolds();
    void stopLeavesNoFile();

private:
    QTemporaryDir m_dir;
    QString path(const QString& name) const { return m_dir.filePath(name); }
};

void TestMp3ChunkedEncoder::chunkedStreamHolds_data() {
    QTest::addColumn<int>("rate");
    QTest::addColumn<qint64>("samples");
    QTest::addColumn<int>("warmUp");
    QTest::addColumn<int>("reach");
    // clang-format off
    QTest::newRow("MPEG-1 44.1 kHz, padded frames") << 44100 << qint64(20 * 44100) << 64 << 8;
    QTest::newRow("MPEG-1 48 kHz, no padding") << 48000 << qint64(12 * 48000 + 999) << 64 << 8;
    QTest::newRow("MPEG-1 32 kHz") << 32000 << qint64(12 * 32000) << 64 << 8;
    QTest::newRow("MPEG-2 22.05 kHz") << 22050 << qint64(16 * 22050 + 17) << 64 << 8;
    QTest::newRow("MPEG-2 24 kHz") << 24000 << qint64(12 * 24000) << 64 << 8;
    QTest::newRow("shorter than a chunk") << 44100 << qint64(44100) << 64 << 8;
    QTest::newRow("one frame and a sample") << 44100 << qint64(1153) << 64 << 8;
    // Too short a warm-up and no reach: some seams fall back to encoding the pair as one.
    QTest::newRow("seams that fall back") << 44100 << qint64(20 * 44100) << 4 << 0;
    // clang-format on
}

void TestMp3ChunkedEncoder::chunkedStreamHolds() {
    QFETCH(int, rate);
    QFETCH(qint64, samples);
    QFETCH(int, warmUp);
    QFETCH(int, reach);
    const std::vector<qint16> input = pcm16(speechLike(double(samples) / rate, rate));
    QCOMPARE(qint64(input.size()), samples);
    const QString whole = path(QStringLiteral("whole-%1.mp3").arg(QTest::currentDataTag()));
    const QString one = path(QStringLiteral("one-%1.mp3").arg(QTest::currentDataTag()));
    const QString three = path(QStringLiteral("three-%1.mp3").arg(QTest::currentDataTag()));
    Mp3WriteOptions single;
    single.plan = Mp3ChunkPlan::whole();
    Mp3SeamCounts seams;
    QString error;
    QVERIFY2(encode(input, rate, whole, single, &error), qPrintable(error));
    QVERIFY2(encode(input, rate, one, chunked(1, &seams, warmUp, reach), &error),
             qPrintable(error));
    QVERIFY2(encode(input, rate, three, chunked(3, nullptr, warmUp, reach), &error),
             qPrintable(error));
    QVERIFY(reach > 0 || seams.fallbacks > 0);

    // The thread count never shows in the bytes.
    const QByteArray bytes = readBytes(one);
    QCOMPARE(readBytes(three), bytes);
    QCOMPARE(checkFrameChain(bytes), QString());
    QCOMPARE(checkFrameChain(readBytes(whole)), QString());

    // FFmpeg and LAME's decoder both give back exactly the samples written, without a word.
    std::vector<std::vector<qint16>> decoded;
    for (const QString& file : {whole, one}) {
        for (const auto& decode : {ffmpegDecode(file), lameDecode(file)}) {
            QVERIFY(decode);
            QCOMPARE(decode->messages, QByteArray());
            QCOMPARE(qint64(decode->samples.size()), samples);
            decoded.push_back(decode->samples);
        }
    }
    // Around the seams the chunked stream is as close to the input as the single encoder's,
    // and what the seams change there is under half of what the codec changes.
    const int frameSamples = rate >= 32000 ? 1152 : 576;
    const auto [seamError, wholeError] = aroundSeams(decoded[0], input, seams.frames, frameSamples);
    const auto [chunkedSeamError, chunkedError] =
        aroundSeams(decoded[2], input, seams.frames, frameSamples);
    QVERIFY2(chunkedSeamError <= 1.05 * seamError + 1,
             qPrintable(QStringLiteral("%1 against %2").arg(chunkedSeamError).arg(seamError)));
    QVERIFY(chunkedError <= 1.05 * wholeError + 1);
    const double seamDifference =
        aroundSeams(decoded[2], decoded[0], seams.frames, frameSamples).first;
    QVERIFY2(seamDifference <= 0.5 * seamError + 1,
             qPrintable(QStringLiteral("%1 against %2").arg(seamDifference).arg(seamError)));
}

void TestMp3ChunkedEncoder::observerSeesTheFramesTheFileHolds() {
    const std::vector<qint16> input = pcm16(speechLike(6, 44100));
    QByteArray observed;
    Mp3WriteOptions options = chunked(2);
    options.observe = [&observed](const uint8_t* data, int size) {
        observed.append(reinterpret_cast<const char*>(data), size);
        return true;
    };
    const QString file = path(QStringLiteral("observed.mp3"));
    QString error;
    QVERIFY2(encode(input, 44100, file, options, &error), qPrintable(error));
    const QByteArray bytes = readBytes(file);
    const auto header =
        parseMp3FrameHeader(reinterpret_cast<const uint8_t*>(bytes.constData()), bytes.size());
    QVERIFY(header);
    const auto info = readMp3InfoFrame(bytes.left(header->frameBytes()));
    QVERIFY(info);
    QCOMPARE(observed, bytes.mid(header->frameBytes()));
    QCOMPARE(info->bytes, qint64(bytes.size()));
    QCOMPARE(info->musicCrc, mp3TagCrc(observed.constData(), observed.size()));
}

void TestMp3ChunkedEncoder::stopLeavesNoFile() {
    const std::vector<qint16> input = pcm16(speechLike(10, 44100));
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("stopped.mp3"));
    QString error;
    const bool written = writeMp3File(
        44100, kMp3BitRate, file,
        [&](const Pcm16Sink& sink) { return sink(input.data(), qint64(input.size())) && false; },
        &error, chunked(2));
    QVERIFY(!written);
    QVERIFY(error.isEmpty());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
}

QTEST_GUILESS_MAIN(TestMp3ChunkedEncoder)
#include "test_mp3_chunked_encoder.moc"
