// The command line as typed, through to the commands the review page shows: --serve's optional
// port, and the files named from the page's folder.

#include "cli/command_words.h"
#include "runs/review_page.h"

#include <QtTest>

using namespace lyrane;

class CommandWordsTest : public QObject {
    Q_OBJECT

private slots:
    void servePort_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("parsed");
        // clang-format off
        QTest::newRow("alone, last") << "lyrane --vtt a --serve" << "lyrane --vtt a --serve=";
        QTest::newRow("with a port") << "lyrane --serve 8765 --vtt a" << "lyrane --serve=8765 --vtt a";
        QTest::newRow("before an option") << "lyrane --serve --vtt a" << "lyrane --serve= --vtt a";
        QTest::newRow("joined") << "lyrane --serve=0 --vtt a" << "lyrane --serve=0 --vtt a";
        QTest::newRow("another option's value") << "lyrane --say --serve" << "lyrane --say --serve";
        QTest::newRow("after --") << "lyrane -- --serve" << "lyrane -- --serve";
        // clang-format on
    }
    void servePort() {
        QFETCH(QString, typed);
        QFETCH(QString, parsed);
        QCOMPARE(withServePort(typed.split(QLatin1Char(' ')), optionTable()).join(QLatin1Char(' ')),
                 parsed);
    }

    // A page's command retakes cue 2 when typed in the page's folder.
    void pageCommand_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("typedIn");
        QTest::addColumn<QString>("pageIn");
        QTest::addColumn<QString>("command");
        // clang-format off
        QTest::newRow("typed in the page's folder")
            << "build/lyrane --vtt talk.vtt --output talk.wav --review talk.html --serve"
            << "/p" << "/p" << "build/lyrane --vtt talk.vtt --output talk.wav --review talk.html --retake 2";
        QTest::newRow("absolute names inside it")
            << "/opt/lyrane --vtt /p/talk.vtt --output=/p/out/talk.wav -t/p/cache --review /p/talk.html"
            << "/x" << "/p" << "/opt/lyrane --vtt talk.vtt --output=out/talk.wav -tcache --review talk.html --retake 2";
        QTest::newRow("relative names typed elsewhere")
            << "build/lyrane --vtt ex/l.vtt -o out/talk.wav --review out/talk.html --serve 80 --take 3=1"
            << "/src" << "/src/out" << "../build/lyrane --vtt ../ex/l.vtt -o talk.wav --review talk.html --retake 2";
        QTest::newRow("outside, typed absolute; a program on PATH; other values")
            << "lyrane --vtt /data/talk.vtt --voice ../x --temp-dir /p/c --review r.html"
            << "/p" << "/p" << "lyrane --vtt /data/talk.vtt --voice ../x --temp-dir c --review r.html --retake 2";
        QTest::newRow("a program in the page's folder")
            << "/p/lyrane --vtt t.vtt --review /p/r.html" << "/q" << "/p" << "./lyrane --vtt ../q/t.vtt --review r.html --retake 2";
        QTest::newRow("served: as typed")
            << "build/lyrane --vtt /p/t.vtt --serve=0" << "/p" << "" << "build/lyrane --vtt /p/t.vtt --retake 2";
        // clang-format on
    }
    void pageCommand() {
        QFETCH(QString, typed);
        QFETCH(QString, typedIn);
        QFETCH(QString, pageIn);
        QFETCH(QString, command);
        TypedCommand given = typedCommand(typed.split(QLatin1Char(' ')), optionTable());
        given.directory = typedIn;
        const QStringList words = commandFromDirectory(given, pageIn);
        QCOMPARE(
            shellCommand(rerunArguments(words, {QStringLiteral("--retake"), QStringLiteral("2")})),
            command);
    }
};

QTEST_GUILESS_MAIN(CommandWordsTest)
#include "test_command_words.moc"
