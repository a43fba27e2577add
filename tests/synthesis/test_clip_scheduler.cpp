#include "synthesis/clip_claims.h"
#include "synthesis/clip_format.h"
#include "synthesis/clip_scheduler.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>

using namespace lyrane;

namespace {

// JSON written with single quotes, for tables that read better without escapes.
QByteArray json(const char* text) {
    return QByteArray(text).replace('\'', '"');
}

// Answers each request after `delayMs` with what `answer` says, counting requests in flight.
class FakeService final : public SpeechService {
public:
    std::function<SynthesisResult(const TtsRequest&, int attempt)> answer;
    int delayMs = 5;
    std::function<int(const TtsRequest&)> delayFor; // overrides delayMs when set
    QStringList requested;                          // texts, in the order sent
    int inFlight = 0;
    int maxInFlight = 0;
    int allowedInFlight = 0; // above it a request is refused at once, as a plan's limit does

    void synthesize(const TtsRequest& request, QObject* context,
                    std::function<void(const SynthesisResult&)> done) override {
        const int attempt = int(requested.count(request.text)) + 1;
        requested.append(request.text);
        if (allowedInFlight > 0 && inFlight >= allowedInFlight) {
            QTimer::singleShot(0, context, [done] {
                SynthesisResult refused = failure(QStringLiteral("HTTP 429"), true);
                refused.httpStatus = 429;
                refused.reason = ServiceErrorReason::TooManyConcurrentRequests;
                done(refused);
            });
            return;
        }
        maxInFlight = std::max(maxInFlight, ++inFlight);
        QTimer::singleShot(delayFor ? delayFor(request) : delayMs, context,
                           [this, request, attempt, done] {
                               --inFlight;
                               done(answer ? answer(request, attempt) : audioFor(request));
                           });
    }

    static SynthesisResult audioFor(const TtsRequest& request) {
        SynthesisResult result;
        result.audio = "audio of " + request.text.toUtf8();
        return result;
    }
    static SynthesisResult failure(const QString& message, bool retryable) {
        SynthesisResult result;
        result.error = message;
        result.retryable = retryable;
        return result;
    }
};

// A mirror held in memory; every operation answers from the event loop.
class FakeMirror final : public ClipMirror {
public:
    mutable QHash<QString, QByteArray> objects;
    mutable QStringList log; // "head key", "get key", "put key"
    bool failChecks = false;

    QString objectKey(const QString& key, const QString& extension) const override {
        return QStringLiteral("clips/") + key + extension;
    }
    void existsAsync(const QString& key, QObject* context,
                     std::function<void(bool, bool, const QString&)> done) const override {
        log.append(QStringLiteral("head ") + key);
        QTimer::singleShot(0, context, [this, key, done] {
            if (failChecks) {
                done(false, false, QStringLiteral("aws CLI exited with code 255"));
            } else {
                done(true, objects.contains(key), QString());
            }
        });
    }
    void
    downloadIfExistsAsync(const QString& key, const QString& path, QObject* context,
                          std::function<void(bool, bool, const QString&)> done) const override {
        log.append(QStringLiteral("get ") + key);
        QTimer::singleShot(0, context, [this, key, path, done] {
            if (!objects.contains(key)) {
                done(true, false, QString());
                return;
            }
            QFile file(path);
            const bool ok = file.open(QIODevice::WriteOnly) && file.write(objects[key]) >= 0;
            done(ok, ok, QString());
        });
    }
    void uploadFileAsync(const QString& key, const QString& path, const QString&, QObject* context,
                         std::function<void(bool, const QString&)> done) const override {
        log.append(QStringLiteral("put ") + key);
        QTimer::singleShot(0, context, [this, key, path, done] {
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly)) {
                done(false, QStringLiteral("no file"));
                return;
            }
            objects.insert(key, file.readAll());
            done(true, QString());
        });
    }
};

// Keeps every notice as one line: "<cue> <event> <source> <detail>".
class Recorder final : public ClipProgress {
public:
    QStringList lines;
    void report(const ClipNotice& notice, const ClipJob&) override {
        static const char* const events[] = {
            "cached-unusable", "check-failed",  "download-failed",   "downloaded-unusable",
            "downloaded",      "synthesizing",  "retrying",          "synthesis-failed",
            "store-failed",    "upload-failed", "uploaded",          "ready",
            "window-lowered",  "set-aside",     "alignment-unusable"};
        static const char* const tiers[] = {"cache", "mirror", "service"};
        QString line = QStringLiteral("%1 %2 %3")
                           .arg(notice.cue)
                           .arg(QLatin1String(events[int(notice.event)]))
                           .arg(QLatin1String(tiers[int(notice.source)]));
        if (notice.event == ClipEvent::Retrying) {
            line += QStringLiteral(" attempt %1").arg(notice.attempt);
        }
        if (notice.event == ClipEvent::WindowLowered) {
            line += QStringLiteral(" now %1").arg(notice.inFlight);
        }
        if (!notice.error.isEmpty()) {
            line += QLatin1Char(' ') + notice.error;
        }
        if (notice.event == ClipEvent::CachedSetAside) {
            line += QStringLiteral(" -> ") + QFileInfo(notice.setAsidePath).fileName();
        }
        lines.append(line);
    }
    QStringList matching(const QString& event) const {
        QStringList found;
        for (const QString& line : lines) {
            if (line.section(QLatin1Char(' '), 1, 1) == event) {
                found.append(line);
            }
        }
        return found;
    }
};

} // namespace

class ClipSchedulerTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<CacheManager> cache;
    FakeService service;
    FakeMirror mirror;
    Recorder recorder;

    QList<ClipJob> jobsFor(const ClipSource& source, const QStringList& texts) {
        SynthesisSettings settings;
        settings.voice = QStringLiteral("Brenn");
        // A name the answer check does not know: the fake's bytes are stored as sent.
        settings.outputFormat = QStringLiteral("mp3");
        QList<ClipJob> jobs;
        for (const QString& text : texts) {
            jobs.append(source.job(makeRequest(settings, text, QString(), QString()), "Brenn"));
        }
        return jobs;
    }

    SchedulerOptions options(int window, int retries = 0) {
        SchedulerOptions result;
        result.window = window;
        result.retry.retries = retries;
        result.retry.delayMs = [](int, int) {
            return 1;
        };
        return result;
    }

private slots:
    void init() {
        QVERIFY(dir.isValid());
        QDir(dir.path()).removeRecursively();
        cache = std::make_unique<CacheManager>(dir.path());
        service = FakeService();
        mirror.objects.clear();
        mirror.log.clear();
        mirror.failChecks = false;
        recorder.lines.clear();
    }

    // Results come back per cue, whatever order the service answers in, and never more cues
    // are in flight than the window allows.
    void windowBoundsTheCuesInFlight_data() {
        QTest::addColumn<int>("window");
        QTest::newRow("one") << 1;
        QTest::newRow("three") << 3;
        QTest::newRow("wider than the file") << 16;
    }
    void windowBoundsTheCuesInFlight() {
        QFETCH(int, window);
        const QStringList texts{"a", "bb", "ccc", "dddd", "eeeee", "ffffff", "g"};
        // Longer texts answer sooner, so answers arrive out of order.
        service.delayFor = [](const TtsRequest& request) {
            return 2 * (8 - int(request.text.size()));
        };
        ClipSource source(*cache, nullptr, service);
        ClipScheduler scheduler(source, jobsFor(source, texts), options(window), recorder);
        QVERIFY(scheduler.run());
        QCOMPARE(service.maxInFlight, std::min(window, int(texts.size())));
        QCOMPARE(service.requested, texts); // started in cue order
        for (int i = 0; i < texts.size(); ++i) {
            QFile clip(scheduler.jobs()[i].path);
            QVERIFY(clip.open(QIODevice::ReadOnly));
            QCOMPARE(clip.readAll(), "audio of " + texts[i].toUtf8());
            QCOMPARE(scheduler.results()[size_t(i)].step, ClipStep::Done);
            QCOMPARE(scheduler.results()[size_t(i)].source, ClipTier::Service);
            QCOMPARE(scheduler.results()[size_t(i)].attempts, 1);
        }
        QCOMPARE(recorder.matching("ready").size(), texts.size());
    }

    // Cues that need the same clip pay for it once; the later ones find it in the cache.
    void identicalClipsAreFetchedOnce() {
        ClipSource source(*cache, nullptr, service);
        ClipScheduler scheduler(source, jobsFor(source, {"same", "other", "same", "same"}),
                                options(4), recorder);
        QVERIFY(scheduler.run());
        QCOMPARE(service.requested, QStringList({"same", "other"}));
        QCOMPARE(scheduler.results()[0].source, ClipTier::Service);
        QCOMPARE(scheduler.results()[2].source, ClipTier::Cache);
        QCOMPARE(scheduler.results()[3].source, ClipTier::Cache);
        QCOMPARE(recorder.matching("ready").size(), 4);

        // A second run over the same cache asks for nothing.
        service.requested.clear();
        ClipScheduler again(source, jobsFor(source, {"same", "other"}), options(2), recorder);
        QVERIFY(again.run());
        QVERIFY(service.requested.isEmpty());
    }

    // The first failure is the only one reported; no cue starts after it, and cues waiting for
    // a retry or for an identical clip are dropped at once.
    void oneFailureCallsOffTheRest() {
        service.answer = [](const TtsRequest& request, int) {
            if (request.text == QLatin1String("bad")) {
                return FakeService::failure(QStringLiteral("HTTP 400"), false);
            }
            if (request.text == QLatin1String("busy")) {
                return FakeService::failure(QStringLiteral("HTTP 503"), true);
            }
            return FakeService::audioFor(request);
        };
        SchedulerOptions slowRetries = options(3, 5);
        slowRetries.retry.delayMs = [](int, int) {
            return 60000;
        };
        ClipSource source(*cache, nullptr, service);
        ClipScheduler scheduler(source, jobsFor(source, {"busy", "bad", "busy", "later", "later2"}),
                                slowRetries, recorder);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!scheduler.run());
        QVERIFY2(clock.elapsed() < 30000, "a pending retry held the run");
        QCOMPARE(recorder.matching("synthesis-failed"),
                 QStringList({"1 synthesis-failed cache HTTP 400"}));
        QCOMPARE(service.requested, QStringList({"busy", "bad"}));
        QVERIFY(scheduler.results()[0].calledOff);
        QVERIFY(scheduler.results()[2].calledOff); // waited for cue 0's clip
        QCOMPARE(scheduler.results()[3].step, ClipStep::Queued);
        QVERIFY(recorder.matching("ready").isEmpty());
    }

    // Transient failures are retried up to the policy's count, each wait announced first.
    void transientFailuresAreRetried_data() {
        QTest::addColumn<int>("retries");
        QTest::addColumn<int>("failures");
        QTest::addColumn<bool>("succeeds");
        QTest::addColumn<int>("attempts");
        QTest::newRow("no retries") << 0 << 1 << false << 1;
        QTest::newRow("enough retries") << 2 << 2 << true << 3;
        QTest::newRow("one too few") << 2 << 3 << false << 3;
        QTest::newRow("first try") << 3 << 0 << true << 1;
    }
    void transientFailuresAreRetried() {
        QFETCH(int, retries);
        QFETCH(int, failures);
        QFETCH(bool, succeeds);
        QFETCH(int, attempts);
        service.answer = [failures](const TtsRequest& request, int attempt) {
            return attempt <= failures ? FakeService::failure(QStringLiteral("HTTP 429"), true)
                                       : FakeService::audioFor(request);
        };
        ClipSource source(*cache, nullptr, service);
        ClipScheduler scheduler(source, jobsFor(source, {"hello"}), options(1, retries), recorder);
        QCOMPARE(scheduler.run(), succeeds);
        QCOMPARE(scheduler.results()[0].attempts, attempts);
        QCOMPARE(recorder.matching("retrying").size(), attempts - 1);
        for (int k = 1; k < attempts; ++k) {
            QCOMPARE(recorder.matching("retrying")[k - 1],
                     QStringLiteral("0 retrying cache attempt %1 HTTP 429").arg(k));
        }
        QCOMPARE(recorder.matching("synthesis-failed").size(), succeeds ? 0 : 1);
        QCOMPARE(recorder.matching("synthesizing").size(), 1);
    }

    // The walk through the tiers: the cache first, then the mirror, then the service, and
    // whatever the mirror lacks is uploaded.
    void tiersAreWalkedInOrder() {
        ClipSource source(*cache, &mirror, service);
        const QList<ClipJob> jobs = jobsFor(source, {"local", "mirrored", "new"});
        QVERIFY(writeCacheFile(jobs[0].path, "local clip", nullptr));
        mirror.objects.insert(jobs[1].objectKey, "mirrored clip");

        ClipScheduler scheduler(source, jobs, options(1), recorder);
        QVERIFY(scheduler.run());
        QCOMPARE(service.requested, QStringList({"new"}));
        QCOMPARE(mirror.log, QStringList({"head " + jobs[0].objectKey, "put " + jobs[0].objectKey,
                                          "get " + jobs[1].objectKey, "get " + jobs[2].objectKey,
                                          "put " + jobs[2].objectKey}));
        QCOMPARE(recorder.lines,
                 QStringList({"0 uploaded cache", "0 ready cache", "1 downloaded mirror",
                              "1 ready mirror", "2 synthesizing cache", "2 uploaded service",
                              "2 ready service"}));
        QFile downloaded(jobs[1].path);
        QVERIFY(downloaded.open(QIODevice::ReadOnly));
        QCOMPARE(downloaded.readAll(), QByteArray("mirrored clip"));
        QCOMPARE(mirror.objects.value(jobs[2].objectKey), QByteArray("audio of new"));
    }

    // A downloaded clip can be confirmed in the mirror once more before it counts as ready.
    void downloadsCanBeConfirmed() {
        ClipSource source(*cache, &mirror, service);
        const QList<ClipJob> jobs = jobsFor(source, {"mirrored"});
        mirror.objects.insert(jobs[0].objectKey, "mirrored clip");
        SchedulerOptions confirming = options(1);
        confirming.confirmDownloads = true;
        ClipScheduler scheduler(source, jobs, confirming, recorder);
        QVERIFY(scheduler.run());
        QCOMPARE(mirror.log,
                 QStringList({"get " + jobs[0].objectKey, "head " + jobs[0].objectKey}));
        QCOMPARE(recorder.lines, QStringList({"0 downloaded mirror", "0 ready mirror"}));
    }

    void mirrorAndCacheFailuresStopTheRun() {
        ClipSource mirrored(*cache, &mirror, service);
        const QList<ClipJob> jobs = jobsFor(mirrored, {"local", "next"});
        QVERIFY(writeCacheFile(jobs[0].path, "local clip", nullptr));
        mirror.failChecks = true;
        ClipScheduler scheduler(mirrored, jobs, options(1), recorder);
        QVERIFY(!scheduler.run());
        QCOMPARE(recorder.lines,
                 QStringList({"0 check-failed cache aws CLI exited with code 255"}));
        QVERIFY(service.requested.isEmpty());

        // A WAV clip that cannot be read is set aside, never deleted, and fetched again; a
        // second bad copy takes the next free name.
        SynthesisSettings pcm;
        pcm.outputFormat = QStringLiteral("pcm_44100");
        ClipSource local(*cache, nullptr, service);
        const ClipJob wav = local.job(makeRequest(pcm, "odd", QString(), QString()), "Brenn");
        const QStringList asides{wav.cacheFile() + ".unusable", wav.cacheFile() + ".unusable-2"};
        for (const QString& aside : asides) {
            recorder.lines.clear();
            service.requested.clear();
            QVERIFY(writeCacheFile(wav.path, "abc", nullptr));
            ClipScheduler refetched(local, {wav}, options(1), recorder);
            QVERIFY(refetched.run());
            QCOMPARE(recorder.lines.size(), 3);
            QVERIFY2(recorder.lines[0].startsWith("0 set-aside cache invalid WAV file"),
                     qPrintable(recorder.lines[0]));
            QVERIFY2(recorder.lines[0].endsWith(" -> " + aside), qPrintable(recorder.lines[0]));
            QCOMPARE(recorder.lines.mid(1),
                     QStringList({"0 synthesizing cache", "0 ready service"}));
            QCOMPARE(service.requested.size(), 1);
            QFile kept(QFileInfo(wav.path).dir().filePath(aside));
            QVERIFY(kept.open(QIODevice::ReadOnly));
            QCOMPARE(kept.readAll(), QByteArray("abc"));
            QString error;
            QVERIFY2(local.checkCached(wav, &error), qPrintable(error));
        }
    }

    // A refusal for too many requests in flight takes one off the window for the rest of the
    // run and sends the cue again when there is room, without spending a retry.
    void tooManyInFlightLowersTheWindow() {
        service.allowedInFlight = 2;
        const QStringList texts{"a", "bb", "ccc", "dddd", "eeeee", "ffffff", "g", "hh"};
        ClipSource source(*cache, nullptr, service);
        ClipScheduler scheduler(source, jobsFor(source, texts), options(6, 0), recorder);
        QVERIFY(scheduler.run());
        QCOMPARE(recorder.matching("window-lowered"),
                 QStringList({"2 window-lowered cache now 5", "3 window-lowered cache now 4",
                              "4 window-lowered cache now 3", "5 window-lowered cache now 2"}));
        QVERIFY(recorder.matching("retrying").isEmpty());
        QCOMPARE(service.maxInFlight, 2);
        // Four refused first attempts, then every cue once.
        QCOMPARE(service.requested.size(), texts.size() + 4);
        for (int i = 0; i < texts.size(); ++i) {
            QFile clip(scheduler.jobs()[i].path);
            QVERIFY(clip.open(QIODevice::ReadOnly));
            QCOMPARE(clip.readAll(), "audio of " + texts[i].toUtf8());
            QCOMPARE(scheduler.results()[size_t(i)].attempts -
                         scheduler.results()[size_t(i)].requeues,
                     1);
        }
        QCOMPARE(recorder.matching("synthesizing").size(), texts.size());
    }

    // At one in flight the refusal is an ordinary transient failure: a retry with back-off.
    void tooManyAtOneInFlightIsARetry() {
        service.answer = [](const TtsRequest& request, int attempt) {
            if (attempt > 1) {
                return FakeService::audioFor(request);
            }
            SynthesisResult refused = FakeService::failure(QStringLiteral("HTTP 429"), true);
            refused.reason = ServiceErrorReason::TooManyConcurrentRequests;
            return refused;
        };
        ClipSource source(*cache, nullptr, service);
        ClipScheduler scheduler(source, jobsFor(source, {"hello"}), options(1, 1), recorder);
        QVERIFY(scheduler.run());
        QCOMPARE(recorder.matching("retrying"),
                 QStringList({"0 retrying cache attempt 1 HTTP 429"}));
        QVERIFY(recorder.matching("window-lowered").isEmpty());

        // Without a retry left it ends the run.
        recorder.lines.clear();
        ClipScheduler without(source, jobsFor(source, {"other"}), options(1, 0), recorder);
        QVERIFY(!without.run());
        QCOMPARE(recorder.matching("synthesis-failed").size(), 1);
    }

    // The service's maximum-concurrent-requests header caps the window at once, announced once.
    void serviceMaximumCapsTheWindow() {
        service.delayMs = 20;
        service.answer = [](const TtsRequest& request, int) {
            SynthesisResult result = FakeService::audioFor(request);
            result.maximumConcurrentRequests = 2;
            return result;
        };
        const QStringList texts{"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"};
        ClipSource source(*cache, nullptr, service);
        ClipScheduler scheduler(source, jobsFor(source, texts), options(4), recorder);
        QVERIFY(scheduler.run());
        QCOMPARE(recorder.matching("window-lowered"),
                 QStringList({"0 window-lowered cache now 2"}));
        QCOMPARE(recorder.matching("ready").size(), texts.size());
    }

    // An answer that does not hold what was asked fails its cue and leaves nothing cached.
    void badAnswersAreNotCached() {
        service.answer = [](const TtsRequest&, int) {
            SynthesisResult result;
            result.audio = QByteArray("odd"); // not whole 16-bit samples
            return result;
        };
        SynthesisSettings pcm;
        pcm.outputFormat = QStringLiteral("pcm_16000");
        ClipSource source(*cache, nullptr, service);
        const ClipJob job = source.job(makeRequest(pcm, "text", QString(), QString()), "Brenn");
        ClipScheduler scheduler(source, {job}, options(1), recorder);
        QVERIFY(!scheduler.run());
        QCOMPARE(recorder.matching("store-failed").size(), 1);
        QVERIFY(!QFile::exists(job.path));
        QVERIFY(QDir(dir.path()).entryList(QDir::Files).isEmpty());
    }

    // stop() ends what is in flight and leaves the clips already made in the cache.
    void stopEndsTheRunAndKeepsFinishedClips() {
        service.delayMs = 50;
        service.answer = [](const TtsRequest& request, int) {
            return FakeService::audioFor(request);
        };
        ClipSource source(*cache, nullptr, service);
        ClipScheduler scheduler(source, jobsFor(source, {"one", "two", "three", "four"}),
                                options(1), recorder);
        QTimer::singleShot(75, &scheduler, [&scheduler] { scheduler.stop(); });
        QVERIFY(!scheduler.run());
        QVERIFY(scheduler.stopped());
        QCOMPARE(service.requested, QStringList({"one", "two"}));
        QVERIFY(QFile::exists(scheduler.jobs()[0].path));
        QVERIFY(!QFile::exists(scheduler.jobs()[1].path));
        QVERIFY(scheduler.results()[1].calledOff);
        QCOMPARE(recorder.matching("ready").size(), 1);
    }

    // A first stop starts nothing new but keeps what was sent: the answers are stored and
    // uploaded (so no other worker pays for them again); a second ends the rest at once.
    void drainKeepsAndUploadsWhatWasSent_data() {
        QTest::addColumn<int>("stops");
        QTest::addColumn<int>("kept");
        QTest::newRow("one stop") << 1 << 2;
        QTest::newRow("two stops") << 2 << 0;
    }
    void drainKeepsAndUploadsWhatWasSent() {
        QFETCH(int, stops);
        QFETCH(int, kept);
        service.delayMs = 50;
        ClipSource source(*cache, &mirror, service);
        ClipScheduler scheduler(source, jobsFor(source, {"one", "two", "three", "four"}),
                                options(2), recorder);
        QTimer::singleShot(20, &scheduler, [&scheduler, stops] {
            for (int k = 0; k < stops; ++k) {
                scheduler.drain(0);
            }
        });
        QVERIFY(!scheduler.run());
        QCOMPARE(service.requested, QStringList({"one", "two"}));
        int uploaded = 0;
        for (int cue = 0; cue < 4; ++cue) {
            const ClipJob& job = scheduler.jobs()[cue];
            const bool made = cue < 2 && kept > 0;
            QCOMPARE(QFile::exists(job.path), made);
            QCOMPARE(mirror.objects.contains(job.objectKey), made);
            uploaded += mirror.objects.contains(job.objectKey) ? 1 : 0;
            // The cues not started yet are never started.
            QCOMPARE(scheduler.results()[size_t(cue)].calledOff, cue < 2 && !made);
        }
        QCOMPARE(uploaded, kept);
        QVERIFY(recorder.matching("synthesis-failed").isEmpty());
    }

    // Only another worker's live claim is waited for: one that cannot hold is taken over, so a
    // claim from anyone with access to the bucket cannot stall a fleet.
    void claimsAreJudged_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("lastModified");
        QTest::addColumn<int>("standing");
        const auto at = [](const char* when, int lifetime) {
            return json("{'worker':'b:2','claimed_at':'") + when + json("','lifetime_seconds':") +
                   QByteArray::number(lifetime) + "}";
        };
        const int live = int(ClaimStanding::Live), expired = int(ClaimStanding::Expired);
        const int ahead = int(ClaimStanding::DatedAhead), overlong = int(ClaimStanding::Overlong);
        const int unreadable = int(ClaimStanding::Unreadable), ours = int(ClaimStanding::Ours);
        // clang-format off
        QTest::newRow("live") << at("2030-01-01T11:55:00.000Z", 600) << "" << live;
        QTest::newRow("expired") << at("2030-01-01T11:49:59Z", 600) << "" << expired;
        QTest::newRow("clock a little ahead") << at("2030-01-01T12:00:59Z", 600) << "" << live;
        QTest::newRow("dated ahead") << at("2030-01-01T12:01:01Z", 600) << "" << ahead;
        QTest::newRow("dated years ahead") << at("2999-01-01T00:00:00Z", 1) << "" << ahead;
        QTest::newRow("longer than a run's") << at("2030-01-01T11:59:00Z", 601) << "" << overlong;
        QTest::newRow("negative lifetime") << at("2030-01-01T11:59:00Z", -5) << "" << unreadable;
        QTest::newRow("fractional lifetime") << json("{'claimed_at':'2030-01-01T11:59:00Z','lifetime_seconds':1.5}") << "" << unreadable;
        QTest::newRow("lifetime as text") << json("{'claimed_at':'2030-01-01T11:59:00Z','lifetime_seconds':'600'}") << "" << unreadable;
        QTest::newRow("time not a time") << json("{'claimed_at':'soon'}") << "" << unreadable;
        QTest::newRow("not JSON") << QByteArray("\x1b[2J claimed") << "" << unreadable;
        QTest::newRow("JSON, not an object") << QByteArray("[1]") << "" << unreadable;
        QTest::newRow("empty") << QByteArray() << "" << unreadable;
        QTest::newRow("ours, even stale") << json("{'worker':'a:1','claimed_at':'2000-01-01T00:00:00Z'}") << "" << ours;
        QTest::newRow("no time: the bucket's, ISO") << QByteArray("{}") << "2030-01-01T11:58:00+00:00" << live;
        QTest::newRow("no time: the bucket's, HTTP") << QByteArray("{}") << "Tue, 01 Jan 2030 11:40:00 GMT" << expired;
        QTest::newRow("no time at all") << QByteArray("{}") << "" << expired;
        // clang-format on
    }

    void claimsAreJudged() {
        QFETCH(QByteArray, body);
        QFETCH(QString, lastModified);
        QFETCH(int, standing);
        StoredObject claim;
        claim.ok = claim.found = true;
        claim.body = body;
        claim.lastModified = lastModified;
        const QDateTime now(QDate(2030, 1, 1), QTime(12, 0), Qt::UTC);
        QCOMPARE(int(judgeClaim(claim, QStringLiteral("a:1"), now)), standing);
    }
};

QTEST_GUILESS_MAIN(ClipSchedulerTest)
#include "test_clip_scheduler.moc"
