#include "synthesis/timed_answer.h"
#include "synthesis/word_alignment.h"

#include <QJsonDocument>
#include <QtTest>

using namespace lyrane;

namespace {

// An alignment object from its three arrays written as JSON.
QJsonObject alignment(const char* characters, const char* starts, const char* ends) {
    return QJsonDocument::fromJson(QByteArray("{\"characters\":") + characters +
                                   ",\"character_start_times_seconds\":" + starts +
                                   ",\"character_end_times_seconds\":" + ends + "}")
        .object();
}

} // namespace

class TestWordAlignment : public QObject {
    Q_OBJECT

private slots:
    void readsOnlyWellFormedAlignments_data() {
        QTest::addColumn<QJsonObject>("object");
        QTest::addColumn<QString>("error"); // empty: accepted
        // clang-format off
        QTest::newRow("whole") << alignment(R"(["a"," ","b"])", "[0,0.1,0.1]", "[0.1,0.1,0.3]") << QString();
        QTest::newRow("lengths differ") << alignment(R"(["a","b"])", "[0]", "[0.1,0.2]") << "differ in length: 2 characters, 1 start times, 2 end times";
        QTest::newRow("start goes back") << alignment(R"(["a","b"])", "[0.2,0.1]", "[0.3,0.3]") << "goes backwards at character 2";
        QTest::newRow("end before start") << alignment(R"(["a"])", "[0.2]", "[0.1]") << "goes backwards at character 1";
        QTest::newRow("negative time") << alignment(R"(["a"])", "[-1]", "[0.1]") << "holds -1, not a time";
        QTest::newRow("time as text") << alignment(R"(["a"])", R"(["0"])", "[0.1]") << "holds \"0\", not a time";
        QTest::newRow("character not text") << alignment("[1]", "[0]", "[0.1]") << "something not a string";
        QTest::newRow("no characters") << QJsonObject() << "no characters array";
        // clang-format on
    }
    void readsOnlyWellFormedAlignments() {
        QFETCH(QJsonObject, object);
        QFETCH(QString, error);
        QString reason;
        const std::optional<WordAlignment> read = alignmentFromJson(object, &reason);
        QCOMPARE(read.has_value(), error.isEmpty());
        QVERIFY2(reason.contains(error), qPrintable(reason));
    }

    void findsWordsAndWhatIsMissing_data() {
        QTest::addColumn<QString>("aligned");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("words");
        QTest::addColumn<bool>("cutShort");
        // clang-format off
        QTest::newRow("whole") << "Hi  there." << "Hi  there." << QStringList{"Hi", "there."} << false;
        QTest::newRow("space folded") << "Hi there." << " Hi\nthere. " << QStringList{"Hi", "there."} << false;
        QTest::newRow("last word missing") << "Hi " << "Hi there." << QStringList{"Hi"} << true;
        QTest::newRow("nothing aligned") << "" << "Hi" << QStringList{} << true;
        QTest::newRow("another text") << "Hey" << "Hi there." << QStringList{"Hey"} << false;
        QTest::newRow("surrogate pair") << "a 😀" << "a 😀" << QStringList{"a", "😀"} << false;
        // clang-format on
    }
    void findsWordsAndWhatIsMissing() {
        QFETCH(QString, aligned);
        QFETCH(QString, text);
        QFETCH(QStringList, words);
        QFETCH(bool, cutShort);
        WordAlignment alignment;
        alignment.characters = alignmentCharacters(aligned);
        for (qsizetype i = 0; i < alignment.characters.size(); ++i) {
            alignment.startSeconds.append(0.1 * double(i));
            alignment.endSeconds.append(0.1 * double(i + 1));
        }
        QStringList found;
        double last = -1;
        for (const TimedWord& word : alignedWords(alignment)) {
            found.append(word.text);
            QVERIFY(word.startSeconds > last && word.endSeconds > word.startSeconds);
            last = word.startSeconds;
        }
        QCOMPARE(found, words);
        QCOMPARE(alignmentCutShort(alignment, text), cutShort);
    }

    void readsTimedAnswers_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error"); // empty: accepted
        const QByteArray good =
            R"("alignment":{"characters":["a"],"character_start_times_seconds":[0],"character_end_times_seconds":[0.1]})";
        // clang-format off
        QTest::newRow("whole") << QByteArray(R"({"audio_base64":"AAEC",)" + good + "}") << QString();
        QTest::newRow("not JSON") << QByteArray(R"({"audio_base64":)") << "not JSON";
        QTest::newRow("array") << QByteArray("[]") << "not a JSON object";
        QTest::newRow("bad base64") << QByteArray(R"({"audio_base64":"AA*C",)" + good + "}") << "not valid base64";
        QTest::newRow("audio not text") << QByteArray(R"({"audio_base64":5,)" + good + "}") << "no audio_base64";
        QTest::newRow("no alignment") << QByteArray(R"({"audio_base64":"AAEC"})") << "no alignment";
        // clang-format on
    }
    void readsTimedAnswers() {
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        QString reason;
        const std::optional<TimedAnswer> answer = parseTimedAnswer(body, &reason);
        QCOMPARE(answer.has_value(), error.isEmpty());
        QVERIFY2(reason.contains(error), qPrintable(reason));
        if (answer) {
            QCOMPARE(answer->audio, QByteArray("\x00\x01\x02", 3));
            QVERIFY(alignmentFitsAudio(answer->alignment, 0.1, nullptr));
            QVERIFY(!alignmentFitsAudio(answer->alignment, 0.05, nullptr));
        }
    }
};

QTEST_GUILESS_MAIN(TestWordAlignment)
#include "test_word_alignment.moc"
