// The actions of a page served live over a narration with a speech service of its own: actions
// asked for together go in one pass, and a cue whose retake fails is dropped while the others
// still change.

#include "runs/live_narration.h"
#include "runs/narration_fakes.h"
#include "serve/live_actions.h"

#include <QEventLoop>
#include <QTemporaryDir>
#include <QtTest>

using namespace lyrane;

namespace {

using test::FakeSpeech;

struct Session {
    QTemporaryDir dir;
    RunConfiguration config;
    RecordingConsole console;
    ManualStopToken stop;
    FakeSpeech* speech = nullptr;
    std::unique_ptr<NarrationSession> session;
    std::unique_ptr<LiveNarration> narration;
    PassedGate gate;

    Session() {
        config.cacheDirectory = dir.filePath(QStringLiteral("cache"));
        config.outputFile = dir.filePath(QStringLiteral("out.wav"));
        config.synthesis.voice = QStringLiteral("Brenn");
        config.servePort = 0;
        NarrationInput input;
        input.outputFile = config.outputFile;
        test::addCuesEvery3s(input, {QStringLiteral("Gulls over the bay."),
                                     QStringLiteral("Waves broke below."),
                                     QStringLiteral("Night came on.")});
        session = std::make_unique<NarrationSession>(
            config, RunContext{console, stop}, [this](const RunConfiguration& settings, auto*) {
                auto made = std::make_unique<FakeSpeech>();
                made->msPerCharacter = 50;
                speech = made.get();
                return std::make_unique<RunServices>(
                    QStringLiteral("key"), QStringLiteral("http://127.0.0.1:9"),
                    settings.cacheDirectory, QString(), S3ClientOptions(), 0, std::move(made));
            });
        narration = std::make_unique<LiveNarration>(*session, std::move(input));
    }

    QString takes() const {
        QStringList shown;
        for (const ReportCue& cue : narration->report().cues) {
            shown.append(QStringLiteral("%1/%2").arg(cue.take).arg(cue.takes));
        }
        return shown.join(QLatin1Char(' '));
    }
};

} // namespace

class LiveActionsTest : public QObject {
    Q_OBJECT

private slots:
    void actionsGoTogetherAndAFailedCueIsDropped() {
        Session live;
        QVERIFY2(live.narration->start(live.gate).done(), qPrintable(live.console.errors));
        LiveActions actions(*live.narration, live.gate, live.stop);
        int passes = 0;
        QEventLoop loop;
        actions.passed = [&](bool) {
            ++passes;
            loop.quit();
        };
        // Asked for before the event loop turns: one pass, both retakes in it.
        live.speech->requests = 0;
        QCOMPARE(actions.retake(1), LiveActions::Answer::Accepted);
        QCOMPARE(actions.retake(3), LiveActions::Answer::Accepted);
        QCOMPARE(actions.retake(3), LiveActions::Answer::Busy);
        QCOMPARE(actions.choose(4, 1), LiveActions::Answer::NoSuchCue);
        loop.exec();
        QCOMPARE(passes, 1);
        QCOMPARE(live.speech->requests, 2);
        QCOMPARE(live.takes(), QStringLiteral("2/2 1/1 2/2"));
        QCOMPARE(live.console.errors.count(QStringLiteral("Created mixed WAV audio file")), 2);

        // Cue 2's retake refused: cue 1 still changes, cue 2 says why and stays as it was.
        live.speech->refusedText = QStringLiteral("Waves");
        live.speech->requests = 0;
        actions.retake(2);
        actions.choose(1, 1);
        loop.exec();
        QCOMPARE(passes, 2);
        QCOMPARE(live.speech->requests, 1);
        QCOMPARE(live.takes(), QStringLiteral("1/2 1/1 2/2"));
        QVERIFY(!actions.states().value(1).busy && actions.states().value(1).failure.isEmpty());
        QVERIFY(actions.states().value(2).failure.contains(QStringLiteral("voice refused")));
        QVERIFY(live.console.errors.contains(QStringLiteral("Cue 1 now uses take 1 of 2\n")));
    }
};

QTEST_GUILESS_MAIN(LiveActionsTest)
#include "test_live_actions.moc"
