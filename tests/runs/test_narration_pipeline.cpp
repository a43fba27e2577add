// The pipeline of one input (plan, fetch, place, sinks) with a speech service of its own: no
// network and no key. Each step is made to stop and to fail in turn.

#include "runs/narration.h"
#include "runs/narration_fakes.h"
#include "runs/subtitle_run.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <functional>

using namespace lyrane;

namespace {

using test::FakeSpeech;

// A console that can act when a line is said: to stop or break the run at that point.
class ScriptedConsole final : public Console {
public:
    void error(const QString& text) override {
        errors += text;
        if (!trigger.isEmpty() && text.contains(trigger) && action) {
            trigger.clear();
            action();
        }
    }
    void output(const QString& text) override { outputs += text; }

    QString errors;
    QString outputs;
    QString trigger;
    std::function<void()> action;
};

struct Harness {
    QTemporaryDir dir;
    RunConfiguration config;
    ScriptedConsole console;
    ManualStopToken stop;
    FakeSpeech* speech = nullptr;
    NarrationInput input;

    Harness() {
        config.cacheDirectory = dir.filePath(QStringLiteral("cache"));
        config.outputFile = dir.filePath(QStringLiteral("out.wav"));
        config.reportFile = dir.filePath(QStringLiteral("report.json"));
        config.captionsFile = dir.filePath(QStringLiteral("captions.vtt"));
        config.synthesis.voice = QStringLiteral("Brenn");
        input.outputFile = config.outputFile;
        test::addCuesEvery3s(input, {QStringLiteral("The lighthouse stood alone."),
                                     QStringLiteral("Waves broke below."),
                                     QStringLiteral("Night came on.")});
    }

    NarrationOutcome run() {
        const ServicesMaker makeServices = [this](const RunConfiguration& settings,
                                                  NarrationOutcome*) {
            auto made = std::make_unique<FakeSpeech>();
            speech = made.get();
            return std::make_unique<RunServices>(
                QStringLiteral("key"), QStringLiteral("http://127.0.0.1:9"),
                settings.cacheDirectory, QString(), S3ClientOptions(), 0, std::move(made));
        };
        session =
            std::make_unique<NarrationSession>(config, RunContext{console, stop}, makeServices);
        PassedGate gate;
        return narrate(*session, input, gate);
    }

    QJsonObject report() const {
        QString error;
        RunReport written = session->report;
        writeRunReport(config.reportFile, written, &error);
        QFile file(config.reportFile);
        file.open(QIODevice::ReadOnly);
        return QJsonDocument::fromJson(file.readAll()).object();
    }

    std::unique_ptr<NarrationSession> session;
};

} // namespace

class TestNarrationPipeline : public QObject {
    Q_OBJECT

private slots:
    void narratesAndResumesFromTheCache() {
        Harness first;
        const NarrationOutcome made = first.run();
        QVERIFY2(made.done(), qPrintable(first.console.errors));
        QCOMPARE(first.speech->requests, 3);
        QCOMPARE(made.billing.newClips, 3);
        QVERIFY(first.console.errors.contains(QStringLiteral("Billed: 59 characters for 3 new "
                                                             "clips\n")));
        QVERIFY(QFile::exists(first.config.outputFile));
        QVERIFY(QFile::exists(first.config.captionsFile));
        const QJsonArray cues = first.report().value(QLatin1String("cues")).toArray();
        QCOMPARE(cues.size(), 3);
        for (const QJsonValue& cue : cues) {
            QCOMPARE(cue[QLatin1String("source")].toString(), QStringLiteral("service"));
            QVERIFY(cue[QLatin1String("actual_end_ms")].toInteger() >
                    cue[QLatin1String("actual_start_ms")].toInteger());
        }
        // The same cues again: every clip from the cache, the same bytes written, nothing billed.
        QFile written(first.config.outputFile);
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QByteArray bytes = written.readAll();
        written.close();
        QFile::remove(first.config.outputFile);
        Harness again;
        again.config.cacheDirectory = first.config.cacheDirectory;
        again.config.outputFile = first.config.outputFile;
        again.input.outputFile = first.config.outputFile;
        QVERIFY(again.run().done());
        QCOMPARE(again.speech->requests, 0);
        QVERIFY(!again.console.errors.contains(QStringLiteral("Billed:")));
        QFile rewritten(first.config.outputFile);
        QVERIFY(rewritten.open(QIODevice::ReadOnly));
        QCOMPARE(rewritten.readAll(), bytes);
    }

    void dryRunPricesWhatTheRunBills() {
        Harness dry;
        dry.config.dryRun = true;
        NarrationSession session(dry.config, RunContext{dry.console, dry.stop});
        NarrationOutcome failure;
        const std::optional<NarrationPlan> plan = planDryRun(session, dry.input, &failure);
        QVERIFY(plan);
        QCOMPARE(plan->estimate.cuesToSynthesize, 3);
        Harness fresh;
        fresh.config.cacheDirectory = dry.config.cacheDirectory;
        const NarrationOutcome made = fresh.run();
        QVERIFY(made.done());
        QCOMPARE(plan->estimate.charactersToSynthesize, made.billing.characters);
    }

    void stopsAtEachStep_data() {
        QTest::addColumn<QString>("trigger");
        QTest::addColumn<int>("stops");
        QTest::addColumn<int>("requests");
        QTest::addColumn<int>("kept"); // clips paid for and kept
        // clang-format off
        QTest::newRow("before the plan is paid for") << QString() << 1 << 0 << 0;
        QTest::newRow("during the fetch: what was sent is kept") << QStringLiteral("Generating audio for segment 2/") << 1 << 2 << 2;
        QTest::newRow("during the fetch, twice: at once") << QStringLiteral("Generating audio for segment 2/") << 2 << 2 << 1;
        QTest::newRow("before the place") << QStringLiteral("Generated 3 audio segments") << 1 << 3 << 3;
        QTest::newRow("while the audio is written") << QStringLiteral("Segment 3: desired") << 1 << 3 << 3;
        // clang-format on
    }
    void stopsAtEachStep() {
        QFETCH(QString, trigger);
        QFETCH(int, stops);
        QFETCH(int, requests);
        QFETCH(int, kept);
        Harness harness;
        const auto stop = [&harness, stops] {
            for (int k = 0; k < stops; ++k) {
                harness.stop.request(SIGTERM);
            }
        };
        if (trigger.isEmpty()) {
            stop();
        } else {
            harness.console.trigger = trigger;
            harness.console.action = stop;
        }
        const NarrationOutcome outcome = harness.run();
        QVERIFY2(outcome.interrupted(), qPrintable(harness.console.errors));
        QCOMPARE(outcome.exitStatus(), 128 + SIGTERM);
        QCOMPARE(harness.speech->requests, requests);
        QCOMPARE(outcome.billing.newClips, qint64(kept));
        QVERIFY(!QFile::exists(harness.config.outputFile));
        // Said once, last, with what was kept.
        QCOMPARE(harness.console.errors.count(QStringLiteral("Interrupted: ")), 1);
        QVERIFY(harness.console.errors.endsWith(
            QStringLiteral("Interrupted: %1 of 3 clips are in the cache; run the same command "
                           "again to resume.\n")
                .arg(kept)));
        QCOMPARE(
            harness.report().value(QLatin1String("totals"))[QLatin1String("new_clips")].toInt(),
            kept);
    }

    void failsAtEachStep_data() {
        QTest::addColumn<QString>("step");
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("cue");
        QTest::addColumn<QString>("line");
        // clang-format off
        QTest::newRow("plan") << "plan" << int(RunFailure::Kind::Input) << 0 << "Cue 2 has no take 3; it has only take 1\n";
        QTest::newRow("fetch") << "fetch" << int(RunFailure::Kind::Clip) << 2 << "Failed to generate audio for segment 2: voice refused\n";
        QTest::newRow("place") << "place" << int(RunFailure::Kind::Timeline) << 0 << "Failed to load audio segment ";
        QTest::newRow("sink") << "sink" << int(RunFailure::Kind::Output) << 0 << "Failed to write WAV output file: ";
        // clang-format on
    }
    void failsAtEachStep() {
        QFETCH(QString, step);
        QFETCH(int, kind);
        QFETCH(int, cue);
        QFETCH(QString, line);
        Harness harness;
        if (step == QLatin1String("plan")) {
            harness.config.takes.choices.insert(2, 3);
        } else if (step == QLatin1String("fetch")) {
            harness.config.synthesis.retries = 0;
            harness.console.trigger = QStringLiteral("Generating audio for segment 1/");
            harness.console.action = [&harness] {
                harness.speech->refuseRequest = 2;
            };
        } else if (step == QLatin1String("place")) {
            // The clips gone between their fetch and their place.
            harness.console.trigger = QStringLiteral("Generated 3 audio segments");
            harness.console.action = [&harness] {
                QDir(harness.config.cacheDirectory).removeRecursively();
            };
        } else {
            harness.config.outputFile = harness.dir.filePath(QStringLiteral("missing/out.wav"));
            harness.input.outputFile = harness.config.outputFile;
        }
        const NarrationOutcome outcome = harness.run();
        QVERIFY2(outcome.failed(), qPrintable(harness.console.errors));
        QCOMPARE(int(outcome.failure.kind), kind);
        QCOMPARE(outcome.failure.cue.value_or(0), qint64(cue));
        QCOMPARE(outcome.exitStatus(), 1);
        // Said once, before what was billed.
        QCOMPARE(harness.console.errors.count(line), 1);
        const qsizetype billed = harness.console.errors.indexOf(QStringLiteral("Billed:"));
        QVERIFY(billed < 0 || billed > harness.console.errors.indexOf(line));
        QVERIFY(!QFile::exists(harness.config.outputFile));
    }
};

QTEST_GUILESS_MAIN(TestNarrationPipeline)
#include "test_narration_pipeline.moc"
