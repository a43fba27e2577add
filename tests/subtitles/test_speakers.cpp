#include "subtitles/speakers.h"

#include <QtTest>

using lyrane::SpeakerCue;
using lyrane::SpeakerCueInput;
using lyrane::SpeakerLabels;

namespace {

// A cue written "<v Name>text" has a voice span named Name; anything else is plain text.
QList<SpeakerCueInput> cuesFrom(const QStringList& lines) {
    QList<SpeakerCueInput> cues;
    for (const QString& line : lines) {
        if (line.startsWith(QLatin1String("<v "))) {
            const qsizetype close = line.indexOf(QLatin1Char('>'));
            cues.append({line.mid(close + 1), line.mid(3, close - 3)});
        } else {
            cues.append({line, QString()});
        }
    }
    return cues;
}

// Each cue as "speaker|spoken text".
QStringList described(const QList<SpeakerCue>& cues) {
    QStringList lines;
    for (const SpeakerCue& cue : cues) {
        lines.append(cue.speaker + QLatin1Char('|') + cue.spokenText);
    }
    return lines;
}

} // namespace

class SpeakersTest : public QObject {
    Q_OBJECT

private slots:
    void speakersOfFiles_data() {
        QTest::addColumn<QStringList>("file");
        QTest::addColumn<bool>("labels");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("voice spans")
            << QStringList{"<v Anna>Hello there.", "<v Ben>Hi.", "Nobody speaks here."} << true
            << QStringList{"Anna|Hello there.", "Ben|Hi.", "|Nobody speaks here."};
        QTest::newRow("voice span names keep their first spelling")
            << QStringList{"<v ANNA>One.", "<v anna>Two.", "<v  Anna >Three."} << true
            << QStringList{"ANNA|One.", "ANNA|Two.", "ANNA|Three."};
        QTest::newRow("transcript labels that recur")
            << QStringList{"ANNA: Good morning.", "Andrew Knight: Morning, Anna.",
                           "ANNA: Shall we begin?", "Andrew Knight: Yes."}
            << true
            << QStringList{"ANNA|Good morning.", "Andrew Knight|Morning, Anna.",
                           "ANNA|Shall we begin?", "Andrew Knight|Yes."};
        QTest::newRow("a label recurs whatever its letter case")
            << QStringList{"ANNA: One.", "Anna: Two.", "Then silence."} << true
            << QStringList{"ANNA|One.", "ANNA|Two.", "|Then silence."};
        QTest::newRow("whitespace inside a name")
            << QStringList{"Andrew   Knight: a", "Andrew Knight: b"} << true
            << QStringList{"Andrew Knight|a", "Andrew Knight|b"};
        QTest::newRow("punctuation in names")
            << QStringList{"Dr. O'Brien-Smith: Hello.", "Dr. O'Brien-Smith: Again."} << true
            << QStringList{"Dr. O'Brien-Smith|Hello.", "Dr. O'Brien-Smith|Again."};
        QTest::newRow("four words at most")
            << QStringList{"Mary Ann Van Dyke: Yes.", "Mary Ann Van Dyke: No.",
                           "The Very Long Name Here: a", "The Very Long Name Here: b"}
            << true
            << QStringList{"Mary Ann Van Dyke|Yes.", "Mary Ann Van Dyke|No.",
                           "|The Very Long Name Here: a", "|The Very Long Name Here: b"};
        QTest::newRow("names in other scripts")
            << QStringList{"Анна: Привет.", "Анна: Пока.", "李雷: 你好", "李雷: 再见"} << true
            << QStringList{"Анна|Привет.", "Анна|Пока.", "李雷|你好", "李雷|再见"};
        QTest::newRow("bracketed labels always count")
            << QStringList{"[Anna] Hi.", "[SPEAKER_01]: Hello.", "(Ben): Yes.",
                           "[Mary-Kate O'Neil] Fine.", "[Anna]    Spaced out.  "}
            << true
            << QStringList{"Anna|Hi.", "SPEAKER_01|Hello.", "Ben|Yes.", "Mary-Kate O'Neil|Fine.",
                           "Anna|Spaced out."};
        QTest::newRow("a single label counts beside bracketed labels")
            << QStringList{"[Anna] Hi.", "Ben: Hello."} << true
            << QStringList{"Anna|Hi.", "Ben|Hello."};
        QTest::newRow("a single label counts beside voice spans")
            << QStringList{"<v Anna>Hi.", "BEN: Hello.", "<v Ben>Bye."} << true
            << QStringList{"Anna|Hi.", "BEN|Hello.", "BEN|Bye."};
        QTest::newRow("a voice span wins over a label in its text")
            << QStringList{"<v Anna>Ben: hi.", "Ben: ho."} << true
            << QStringList{"Anna|Ben: hi.", "Ben|ho."};
        QTest::newRow("ordinary sentences") << QStringList{"Note: the meeting moved.",
                                                           "Warning: hot surface.",
                                                           "It starts at 10:30 sharp.",
                                                           "10:30: the train leaves.",
                                                           "Ratio 3:2 is common.",
                                                           "http://example.com: have a look.",
                                                           "Note:no space after the colon.",
                                                           "Anna : a space before it.",
                                                           "the end: in lower case",
                                                           "the end: in lower case",
                                                           "Chapter 1: Start.",
                                                           "Chapter 1: Again.",
                                                           "(laughs) That is funny.",
                                                           "[Music]",
                                                           "[1] A footnote.",
                                                           "[Anna]no space.",
                                                           "[Anna: unclosed",
                                                           "[00:01:02] A time.",
                                                           "[a, b] A list.",
                                                           "Dear Sir or Madam: hello",
                                                           "ANNA:",
                                                           "ANNA:   "}
                                            << true
                                            << QStringList{"|Note: the meeting moved.",
                                                           "|Warning: hot surface.",
                                                           "|It starts at 10:30 sharp.",
                                                           "|10:30: the train leaves.",
                                                           "|Ratio 3:2 is common.",
                                                           "|http://example.com: have a look.",
                                                           "|Note:no space after the colon.",
                                                           "|Anna : a space before it.",
                                                           "|the end: in lower case",
                                                           "|the end: in lower case",
                                                           "|Chapter 1: Start.",
                                                           "|Chapter 1: Again.",
                                                           "|(laughs) That is funny.",
                                                           "|[Music]",
                                                           "|[1] A footnote.",
                                                           "|[Anna]no space.",
                                                           "|[Anna: unclosed",
                                                           "|[00:01:02] A time.",
                                                           "|[a, b] A list.",
                                                           "|Dear Sir or Madam: hello",
                                                           "|ANNA:",
                                                           "|ANNA:"};
        QTest::newRow("a label without words after it does not count towards recurring")
            << QStringList{"ANNA:", "ANNA: Hi."} << true << QStringList{"|ANNA:", "|ANNA: Hi."};
        QTest::newRow("labels off")
            << QStringList{"<v Anna>Hi.", "[Ben] Hello.", "ANNA: x", "ANNA: y"} << false
            << QStringList{"Anna|Hi.", "|[Ben] Hello.", "|ANNA: x", "|ANNA: y"};
        QTest::newRow("no cues") << QStringList{} << true << QStringList{};
    }
    void speakersOfFiles() {
        QFETCH(QStringList, file);
        QFETCH(bool, labels);
        QFETCH(QStringList, expected);
        const QList<SpeakerCue> found =
            lyrane::findSpeakers(cuesFrom(file), labels ? SpeakerLabels::On : SpeakerLabels::Off);
        QCOMPARE(described(found), expected);
    }

    void labelsMode_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<int>("mode"); // -1: refused
        QTest::newRow("on") << "on" << int(SpeakerLabels::On);
        QTest::newRow("off") << "off" << int(SpeakerLabels::Off);
        QTest::newRow("capitals") << "OFF" << -1;
        QTest::newRow("empty") << "" << -1;
        QTest::newRow("other") << "yes" << -1;
    }
    void labelsMode() {
        QFETCH(QString, value);
        QFETCH(int, mode);
        const std::optional<SpeakerLabels> parsed = lyrane::parseSpeakerLabels(value);
        QCOMPARE(parsed ? int(*parsed) : -1, mode);
    }
};

QTEST_GUILESS_MAIN(SpeakersTest)
#include "test_speakers.moc"
