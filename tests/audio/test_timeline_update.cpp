#include "audio/clip_loading.h"
#include "audio/patch_journal.h"
#include "audio/render_record.h"
#include "audio/streamed_timeline.h"
#include "audio/timeline_update.h"
#include "audio/wav_file.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

using namespace lyrane;

namespace {

constexpr int kRate = 16000;

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

// A timeline of WAV clips at their cues, each a tone of its own.
struct Timeline {
    QStringList paths;
    QList<qint64> startsMs;
    qint64 durationMs = 4000;
    OutputLevel level = OutputLevel::normalizedFromPeak(1.0);
};

class Clips {
public:
    explicit Clips(const QString& dir) : dir(dir) {}

    // A clip file of `ms` of a tone at `frequency`, then a silent tail that is trimmed.
    QString make(const QString& name, qint64 ms, double frequency) const {
        AudioBuffer tone;
        tone.sampleRate = kRate;
        tone.samples.resize(ms * kRate / 1000 + kRate / 5);
        for (qsizetype i = 0; i < ms * kRate / 1000; ++i) {
            tone.samples[i] = 0.5 * std::sin(2.0 * M_PI * frequency * double(i) / kRate);
        }
        const QString path = QDir(dir).filePath(name);
        QFile::remove(path);
        return writeWav(tone, path, nullptr) ? path : QString();
    }

private:
    QString dir;
};

// The plan and clips of a timeline, clips loaded from their files as a run would.
struct Planned {
    TimelinePlan plan;
    StreamedClipSet clips;
};

Planned plan(const Timeline& timeline) {
    Planned planned;
    QList<qint64> ends;
    for (const QString& path : timeline.paths) {
        AudioBuffer clip;
        loadTrimmedClip(path, clip, nullptr);
        planned.clips.lengths.append(clip.samples.size());
        planned.clips.speedUps.append(1.0);
    }
    for (const qint64 start : timeline.startsMs) {
        ends.append(start + 500);
    }
    planned.clips.paths = timeline.paths;
    planned.clips.load = [paths = timeline.paths](qsizetype i, AudioBuffer& clip, QString* e) {
        return loadTrimmedClip(paths[i], clip, e);
    };
    planned.plan = *planTimelineFromLengths(planned.clips.lengths, kRate, timeline.startsMs, ends,
                                            timeline.durationMs, 0, nullptr);
    return planned;
}

bool update(const Timeline& timeline, const QString& path, TimelineUpdate* result) {
    const Planned planned = plan(timeline);
    QString error;
    const bool done = updateStreamedTimelineWav(planned.plan, planned.clips, timeline.level, path,
                                                result, &error);
    if (!done) {
        qWarning("%s", qPrintable(error));
    }
    return done;
}

// What a full write of the timeline makes, written afresh.
QByteArray whole(const Timeline& timeline, const QString& path) {
    const Planned planned = plan(timeline);
    QFile::remove(path);
    return writeStreamedTimelineWav(planned.plan, planned.clips.lengths, timeline.level,
                                    planned.clips.load, path, nullptr)
               ? contents(path)
               : QByteArray();
}

} // namespace

class TimelineUpdateTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    Timeline base;

    QString path(const QString& name) const { return dir.filePath(name); }

private slots:
    void init() {
        const Clips clips(dir.path());
        base = Timeline();
        for (int i = 0; i < 4; ++i) {
            base.paths.append(clips.make(QStringLiteral("clip%1.wav").arg(i), 400, 200.0 + i));
            base.startsMs.append(1000 * i);
        }
    }

    // A second run rewrites only what changed, and its output is the bytes of a full write.
    void updatesEqualAFullWrite_data() {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("patched");
        QTest::addColumn<int>("rewritten");
        // clang-format off
        QTest::newRow("nothing") << "nothing" << true << 0;
        QTest::newRow("a retake of one clip") << "retake" << true << 1;
        QTest::newRow("a longer clip pushes the next") << "longer" << true << 2;
        QTest::newRow("a clip the cache replaced") << "replaced" << true << 1;
        QTest::newRow("most of the file changed") << "most" << false << 0;
        QTest::newRow("every clip changed") << "every" << false << 0;
        QTest::newRow("a longer output") << "duration" << false << 0;
        QTest::newRow("another output level") << "level" << false << 0;
        QTest::newRow("an output changed since its record") << "stale" << false << 0;
        // clang-format on
    }
    void updatesEqualAFullWrite() {
        QFETCH(QString, change);
        QFETCH(bool, patched);
        QFETCH(int, rewritten);
        const QString out = path(QStringLiteral("out.wav"));
        QFile::remove(out);
        TimelineUpdate result;
        QVERIFY(update(base, out, &result));
        QVERIFY(!result.patched);

        const Clips clips(dir.path());
        Timeline next = base;
        if (change == QLatin1String("retake")) {
            next.paths[2] = clips.make(QStringLiteral("take2.wav"), 400, 300.0);
        } else if (change == QLatin1String("longer")) {
            next.paths[1] = clips.make(QStringLiteral("long.wav"), 1200, 300.0);
        } else if (change == QLatin1String("replaced")) {
            clips.make(QStringLiteral("clip3.wav"), 400, 500.0);
        } else if (change == QLatin1String("most")) {
            for (int i = 0; i < 3; ++i) {
                next.paths[i] = clips.make(QStringLiteral("new%1.wav").arg(i), 900, 250.0);
            }
        } else if (change == QLatin1String("every")) {
            for (int i = 0; i < 4; ++i) {
                next.paths[i] = clips.make(QStringLiteral("every%1.wav").arg(i), 400, 250.0);
            }
        } else if (change == QLatin1String("duration")) {
            next.durationMs += 1000;
        } else if (change == QLatin1String("level")) {
            next.level = OutputLevel::scaledBy(0.5);
        } else if (change == QLatin1String("stale")) {
            QFile file(out);
            QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(100) && file.write("xy") == 2);
        }
        QVERIFY(update(next, out, &result));
        QCOMPARE(result.patched, patched);
        QCOMPARE(result.clipsRewritten, qsizetype(rewritten));
        QCOMPARE(contents(out), whole(next, path(QStringLiteral("fresh.wav"))));
        QVERIFY(readOutputRecord(out).has_value());
    }

    // A run killed while it patched leaves the old output, or a sealed journal that the next
    // run replays before anything else: the output then is the new one, whole.
    void killedPatchIsFinishedByTheNextRun_data() {
        QTest::addColumn<QString>("cut");
        // clang-format off
        QTest::newRow("before the journal was sealed") << "unsealed";
        QTest::newRow("right after sealing") << "sealed";
        QTest::newRow("halfway through the patches") << "half";
        QTest::newRow("after the patches, before the record") << "patched";
        QTest::newRow("damaged journal") << "damaged";
        QTest::newRow("output replaced since") << "replaced";
        // clang-format on
    }
    void killedPatchIsFinishedByTheNextRun() {
        QFETCH(QString, cut);
        const QString out = path(QStringLiteral("cut.wav"));
        QFile::remove(out);
        TimelineUpdate result;
        QVERIFY(update(base, out, &result));
        const QByteArray before = contents(out);
        Timeline next = base;
        next.paths[1] = Clips(dir.path()).make(QStringLiteral("cut-take.wav"), 900, 310.0);
        const QByteArray after = whole(next, path(QStringLiteral("fresh.wav")));
        QCOMPARE(after.size(), before.size());

        // The journal the patching run writes: every 256-byte block that differs.
        const Planned planned = plan(next);
        const auto record = timelineRenderRecord(planned.plan, planned.clips, next.level,
                                                 QLatin1String(kWavRenderFormat));
        QVERIFY(record);
        QList<FilePatch> patches;
        for (qsizetype at = 0; at < after.size(); at += 256) {
            if (after.mid(at, 256) != before.mid(at, 256)) {
                patches.append({at, after.mid(at, 256)});
            }
        }
        QVERIFY(patches.size() > 2);
        {
            PatchJournal journal(out);
            QVERIFY(journal.begin(nullptr));
            for (const FilePatch& patch : std::as_const(patches)) {
                QVERIFY(journal.add(patch.offset, patch.bytes.constData(), patch.bytes.size(),
                                    nullptr));
            }
            if (cut != QLatin1String("unsealed")) {
                QVERIFY(journal.seal(after.size(), renderRecordBytes(*record), nullptr));
            }
        }
        const qsizetype applied = cut == QLatin1String("half")      ? patches.size() / 2
                                  : cut == QLatin1String("patched") ? patches.size()
                                                                    : 0;
        QFile file(out);
        QVERIFY(file.open(QIODevice::ReadWrite));
        for (qsizetype k = 0; k < applied; ++k) {
            QVERIFY(file.seek(patches[k].offset) && file.write(patches[k].bytes) > 0);
        }
        file.close();
        const QString journal = patchJournalPath(out);
        QCOMPARE(QFile::exists(journal), cut != QLatin1String("unsealed"));
        if (cut == QLatin1String("damaged")) {
            QFile damaged(journal);
            QVERIFY(damaged.open(QIODevice::ReadWrite) && damaged.seek(60) &&
                    damaged.write("!") == 1);
        } else if (cut == QLatin1String("replaced")) {
            QVERIFY(QFile::remove(out) && QFile::copy(path(QStringLiteral("fresh.wav")), out));
        }
        // Nothing else is ever left: the old output, or a journal to finish it.
        QVERIFY(QFile::exists(journal) || contents(out) == before || contents(out) == after);

        QVERIFY(update(next, out, &result));
        QCOMPARE(contents(out), after);
        QVERIFY(!QFile::exists(journal));
        QVERIFY(readOutputRecord(out).has_value());
    }
};

QTEST_GUILESS_MAIN(TimelineUpdateTest)
#include "test_timeline_update.moc"
