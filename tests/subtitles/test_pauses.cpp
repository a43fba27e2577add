#include "audio/pause_join.h"
#include "subtitles/pauses.h"

#include <QtTest>

class TestPauses : public QObject {
    Q_OBJECT

private slots:
    void reading_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("parts"); // joined by "|"
        QTest::addColumn<QString>("pauses");
        QTest::addColumn<QString>("problem");
        // clang-format off
        QTest::newRow("seconds") << "Hello <break time=\"1.5s\"/> world" << "Hello|world" << "0,1500,0" << "";
        QTest::newRow("ms, no slash, single quotes") << "A<break time='250ms'>B" << "A|B" << "0,250,0" << "";
        QTest::newRow("ends and neighbours add up") << "<break time=\"1s\"/>Go<break time=\"2s\"/> <break time=\"0.5s\"/>" << "Go" << "1000,2500" << "";
        QTest::newRow("no pause") << "Just words <breakfast>" << "Just words <breakfast>" << "0,0" << "";
        QTest::newRow("unreadable time") << "x <break time=\"fast\"/> y" << "" << "" << "<break time=\"fast\"/> is not a pause lyrane can make: give its time as, for example, time=\"1.5s\" or time=\"500ms\"";
        QTest::newRow("no time") << "x <break/> y" << "" << "" << "<break/> is not a pause lyrane can make: give its time as, for example, time=\"1.5s\" or time=\"500ms\"";
        QTest::newRow("too long") << "x <break time=\"10.5s\"/>" << "" << "" << "<break time=\"10.5s\"/> asks for a pause longer than the 10 s allowed";
        // clang-format on
    }
    void reading() {
        QFETCH(QString, text);
        QFETCH(QString, parts);
        QFETCH(QString, pauses);
        QFETCH(QString, problem);
        QString seen;
        const std::optional<lyrane::PausedText> paused = lyrane::readPauses(text, &seen);
        QCOMPARE(seen, problem);
        QCOMPARE(paused.has_value(), problem.isEmpty());
        if (paused) {
            QCOMPARE(paused->parts.join('|'), parts);
            QStringList ms;
            for (const int pause : paused->pausesMs) {
                ms.append(QString::number(pause));
            }
            QCOMPARE(ms.join(','), pauses);
            QCOMPARE(lyrane::withoutPauses(text), paused->parts.join(' '));
        }
    }

    // Near-silence at a part's ends goes, so the silence between two parts is the pause.
    void joiningLeavesExactlyThePause() {
        const lyrane::AudioBuffer first{{0.0, 0.5, 0.5, 0.0005}, 1000};
        const lyrane::AudioBuffer second{{0.0, 0.3}, 1000};
        const lyrane::AudioBuffer joined = lyrane::joinWithPauses({first, second}, {2, 3, 1}, 8000);
        QCOMPARE(joined.sampleRate, 1000);
        QCOMPARE(joined.samples, (QList<double>{0, 0, 0.5, 0.5, 0, 0, 0, 0.3, 0}));
        QCOMPARE(lyrane::joinWithPauses({}, {20}, 8000).samples.size(), 160);
    }
};

QTEST_APPLESS_MAIN(TestPauses)
#include "test_pauses.moc"
