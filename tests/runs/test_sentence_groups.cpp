#include "runs/sentence_groups.h"

#include <QtTest>

using namespace lyrane;

class TestSentenceGroups : public QObject {
    Q_OBJECT

private slots:
    void endsSentence_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("ends");
        // clang-format off
        QTest::newRow("full stop") << "He left." << true;
        QTest::newRow("question in quotes") << "\"Who is it?\" " << true;
        QTest::newRow("ellipsis in brackets") << "and then…)" << true;
        QTest::newRow("ideographic") << "彼は去った。」" << true;
        QTest::newRow("comma") << "He waited," << false;
        QTest::newRow("no mark") << "He opened the door and" << false;
        QTest::newRow("quote only") << "\"" << false;
        // clang-format on
    }
    void endsSentence() {
        QFETCH(QString, text);
        QFETCH(bool, ends);
        QCOMPARE(lyrane::endsSentence(text), ends);
    }

    // Each row: the cues' texts (a leading "B:" gives a cue to speaker B) and each cue's group
    // size, first cue of a group first.
    void groups_data() {
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QList<int>>("sizes");
        // clang-format off
        QTest::newRow("two lines") << QStringList{"He opened", "the door.", "Done."} << QList<int>{2, 2, 1};
        QTest::newRow("sentences") << QStringList{"One.", "Two."} << QList<int>{1, 1};
        QTest::newRow("speaker changes") << QStringList{"He said", "B:nothing.", "Then"} << QList<int>{1, 1, 1};
        QTest::newRow("five cues") << QStringList{"a", "b", "c", "d", "e."} << QList<int>{5, 5, 5, 5, 5};
        QTest::newRow("six cues") << QStringList{"a", "b", "c", "d", "e", "f."} << QList<int>{1, 1, 1, 1, 1, 1};
        QTest::newRow("open at the end") << QStringList{"x.", "and so", "on"} << QList<int>{1, 2, 2};
        // clang-format on
    }
    void groups() {
        QFETCH(QStringList, texts);
        QFETCH(QList<int>, sizes);
        QList<Cue> cues;
        for (const QString& text : texts) {
            Cue cue;
            cue.speaker = text.startsWith(QLatin1String("B:")) ? QStringLiteral("B") : QString();
            cue.text = cue.speaker.isEmpty() ? text : text.mid(2);
            cues.append(cue);
        }
        const SynthesisSettings synthesis;
        const int count = int(cues.size());
        QList<int> found;
        for (const SentenceGroup& group : sentenceGroups(cues, count, true, {}, synthesis)) {
            found.append(group.count);
        }
        QCOMPARE(found, sizes);
        QCOMPARE(sentenceGroups(cues, count, false, {}, synthesis).size(), cues.size());
    }

    void joinsTextsWithOneSpace() {
        const QList<Cue> cues{{0, 1, QStringLiteral(" He opened "), {}},
                              {1, 2, QStringLiteral("the door.\n"), {}}};
        QCOMPARE(joinedText(cues, {0, 2}), QStringLiteral("He opened the door."));
    }
};

QTEST_GUILESS_MAIN(TestSentenceGroups)
#include "test_sentence_groups.moc"
