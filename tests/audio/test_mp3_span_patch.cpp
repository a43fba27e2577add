#include "audio/mp3_codec.h"
#include "audio/mp3_info_tag.h"
#include "audio/mp3_span_patch.h"
#include "audio/mp3_test_support.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace lyrane;
using namespace lyrane::test;

namespace {

constexpr int kRate = 44100;
constexpr double kSeconds = 16;

Mp3WriteOptions withChunks(int frames, int warmUp, int reach, Mp3SeamCounts* seams = nullptr) {
    Mp3WriteOptions options;
    options.threads = 2;
    options.plan.chunkFrames = frames;
    options.plan.warmUpFrames = warmUp;
    options.plan.seamReach = reach;
    options.seams = seams;
    return options;
}

bool write(const std::vector<qint16>& samples, const QString& path,
           const Mp3WriteOptions& options) {
    QString error;
    return writeMp3File(
        kRate, kMp3BitRate, path,
        [&](const Pcm16Sink& sink) { return sink(samples.data(), qint64(samples.size())); }, &error,
        options);
}

// Spans in seconds, as "from-to,from-to".
QList<Mp3SampleSpan> spansOf(const QString& text) {
    QList<Mp3SampleSpan> spans;
    for (const QString& span : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QStringList ends = span.split(QLatin1Char('-'));
        spans.append({qint64(ends[0].toDouble() * kRate), qint64(ends[1].toDouble() * kRate)});
    }
    return spans;
}

double rmsOver(const std::vector<qint16>& a, const std::vector<qint16>& b,
               const QList<Mp3SampleSpan>& spans, qint64 margin) {
    double sum = 0;
    double count = 0;
    for (const Mp3SampleSpan& span : spans) {
        const size_t from = size_t(qMax<qint64>(0, span.from - margin));
        const size_t to = std::min(a.size(), size_t(span.to + margin));
        const double rms = rmsDifference(a, b, from, to);
        sum += rms * rms * double(to - from);
        count += double(to - from);
    }
    return count > 0 ? std::sqrt(sum / count) : 0.0;
}

} // namespace

class TestMp3SpanPatch : public QObject {
    Q_OBJECT

private slots:
    void patchedFileIsTheNewTimelines_data();
    void patchedFileIsTheNewTimelines();
    void filesThatCannotBePatched_data();
    void filesThatCannotBePatched();

private:
    QTemporaryDir m_dir;
    QString path(const QString& name) const { return m_dir.filePath(name); }
};

void TestMp3SpanPatch::patchedFileIsTheNewTimelines_data() {
    QTest::addColumn<QString>("changed");
    QTest::addColumn<int>("warmUp");
    QTest::addColumn<int>("reach");
    // clang-format off
    QTest::newRow("one word") << QStringLiteral("7.0-7.5") << 64 << 8;
    QTest::newRow("two words sharing frames") << QStringLiteral("10.0-10.4,10.9-11.2") << 64 << 8;
    QTest::newRow("far apart") << QStringLiteral("1.0-1.6,12.0-13.5") << 64 << 8;
    QTest::newRow("at the start") << QStringLiteral("0-0.3") << 64 << 8;
    QTest::newRow("at the end") << QStringLiteral("15.6-16") << 64 << 8;
    QTest::newRow("across chunk seams") << QStringLiteral("2.4-9.1") << 64 << 8;
    QTest::newRow("nothing") << QString() << 64 << 8;
    // One seam frame each side, too short a warm-up: seams are moved out until they fit.
    QTest::newRow("seams moved out") << QStringLiteral("10.0-10.4,10.9-11.2") << 4 << 0;
    // clang-format on
}

void TestMp3SpanPatch::patchedFileIsTheNewTimelines() {
    QFETCH(QString, changed);
    QFETCH(int, warmUp);
    QFETCH(int, reach);
    const QList<Mp3SampleSpan> spans = spansOf(changed);
    const std::vector<qint16> old = pcm16(speechLike(kSeconds, kRate, 1));
    std::vector<qint16> fresh = old;
    const std::vector<qint16> other = pcm16(speechLike(kSeconds + 2, kRate, 2));
    for (const Mp3SampleSpan& span : spans) {
        // Other words, from later in other speech, a little louder.
        for (qint64 k = span.from; k < span.to; ++k) {
            fresh[size_t(k)] = qint16(other[size_t(k + 1700 * kRate / 1000)] * 5 / 4);
        }
    }
    const QString oldFile = path(QStringLiteral("old.mp3"));
    const QString full = path(QStringLiteral("full.mp3"));
    const QString moved = path(QStringLiteral("moved.mp3"));
    Mp3SeamCounts fullSeams;
    Mp3SeamCounts movedSeams;
    QVERIFY(write(old, oldFile, withChunks(98, warmUp, reach)));
    QVERIFY(write(fresh, full, withChunks(98, warmUp, reach, &fullSeams)));
    QVERIFY(write(fresh, moved, withChunks(147, warmUp, reach, &movedSeams)));

    Mp3PatchOptions options;
    options.sampleRate = kRate;
    options.bitRate = kMp3BitRate;
    options.plan = withChunks(98, warmUp, reach).plan;
    const Mp3SpanPatches result = patchMp3Spans(
        oldFile, qint64(fresh.size()), spans,
        [&](qint64 from, qint64 to, qint16* out, QString*) {
            std::copy(fresh.begin() + from, fresh.begin() + to, out);
            return true;
        },
        options);
    QCOMPARE(result.outcome, Mp3SpanPatches::Outcome::Patched);
    QCOMPARE(result.patches.isEmpty(), spans.isEmpty());
    QVERIFY(reach > 0 || result.seams.fallbacks > 0);

    QByteArray bytes = readBytes(oldFile);
    const auto header =
        parseMp3FrameHeader(reinterpret_cast<const uint8_t*>(bytes.constData()), bytes.size());
    QVERIFY(header);
    const Mp3FramePattern pattern(*header);
    const qint64 info = pattern.unpaddedFrameBytes();
    const auto frameAt = [&](qint64 offset) {
        qint64 frame = 0;
        while (info + pattern.frameOffset(frame + 1) <= offset) {
            ++frame;
        }
        return frame;
    };
    qint64 previousEnd = 0;
    for (const Mp3BytePatch& patch : result.patches) {
        const qint64 end = patch.offset + patch.bytes.size();
        QVERIFY(patch.offset >= previousEnd && end <= bytes.size());
        previousEnd = end;
        bytes.replace(int(patch.offset), int(patch.bytes.size()), patch.bytes);
        // Only the tag and the frames near a changed span are touched.
        const auto nearSpan = [&](qint64 frame) {
            return std::any_of(spans.begin(), spans.end(), [&](const Mp3SampleSpan& span) {
                return frame >= span.from / 1152 - 30 && frame <= span.to / 1152 + 30;
            });
        };
        const bool near =
            end <= info || (nearSpan(frameAt(patch.offset)) && nearSpan(frameAt(end - 1)));
        QVERIFY2(near, qPrintable(QString::number(patch.offset)));
    }
    const QString patched = path(QStringLiteral("patched.mp3"));
    QVERIFY(writeBytes(patched, bytes));
    QCOMPARE(checkFrameChain(bytes), QString());
    const auto tag = readMp3InfoFrame(bytes.left(info));
    QVERIFY(tag);
    QCOMPARE(tag->musicCrc, mp3TagCrc(bytes.constData() + info, bytes.size() - info));

    const auto decodedPatched = ffmpegDecode(patched);
    const auto decodedFull = ffmpegDecode(full);
    const auto decodedMoved = ffmpegDecode(moved);
    QVERIFY(decodedPatched && decodedFull && decodedMoved);
    QCOMPARE(decodedPatched->messages, QByteArray());
    QCOMPARE(decodedPatched->samples.size(), fresh.size());
    // Over the changed spans the patched file is as close to a full encode of the new timeline
    // as two full encodes cut at other frames are to each other around their seams.
    QList<Mp3SampleSpan> seams;
    for (const qint64 seam : fullSeams.frames + movedSeams.frames) {
        seams.append({seam * 1152, seam * 1152});
    }
    const double seamDifference =
        rmsOver(decodedMoved->samples, decodedFull->samples, seams, 3 * 1152);
    const double patchDifference =
        rmsOver(decodedPatched->samples, decodedFull->samples, spans, 3 * 1152);
    QVERIFY2(patchDifference <= seamDifference + 1,
             qPrintable(QStringLiteral("%1 against %2").arg(patchDifference).arg(seamDifference)));
    // And the patch carries the change: the old file is far from the new timeline there.
    const auto decodedOld = ffmpegDecode(oldFile);
    QVERIFY(spans.isEmpty() || rmsOver(decodedOld->samples, fresh, spans, 0) >
                                   4 * rmsOver(decodedPatched->samples, fresh, spans, 0));
}

void TestMp3SpanPatch::filesThatCannotBePatched_data() {
    QTest::addColumn<bool>("tagged");
    QTest::addColumn<qint64>("lengthChange");
    QTest::addColumn<int>("outcome");
    // clang-format off
    QTest::newRow("another length") << true << qint64(1) << int(Mp3SpanPatches::Outcome::WholeFile);
    QTest::newRow("bare frames, no tag") << false << qint64(0) << int(Mp3SpanPatches::Outcome::WholeFile);
    QTest::newRow("rendering fails") << true << qint64(0) << int(Mp3SpanPatches::Outcome::Failed);
    // clang-format on
}

void TestMp3SpanPatch::filesThatCannotBePatched() {
    QFETCH(bool, tagged);
    QFETCH(qint64, lengthChange);
    QFETCH(int, outcome);
    const AudioBuffer audio = speechLike(5, kRate);
    const QString file = path(QStringLiteral("unpatchable.mp3"));
    QString error;
    QVERIFY(tagged ? encodeMp3(audio, file, &error)
                   : writeBytes(file, *encodeMp3ToBytes(audio, kMp3BitRate, &error)));
    Mp3PatchOptions options;
    options.sampleRate = kRate;
    options.bitRate = kMp3BitRate;
    const Mp3SpanPatches result = patchMp3Spans(
        file, audio.samples.size() + lengthChange, {{kRate, 2 * kRate}},
        [](qint64, qint64, qint16*, QString* error) {
            *error = QStringLiteral("clip 3 is missing");
            return false;
        },
        options);
    QCOMPARE(int(result.outcome), outcome);
    QVERIFY(result.patches.isEmpty());
    QVERIFY(!result.reason.isEmpty());
}

QTEST_GUILESS_MAIN(TestMp3SpanPatch)
#include "test_mp3_span_patch.moc"
