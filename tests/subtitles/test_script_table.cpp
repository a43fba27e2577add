#include "subtitles/read_outcome.h"
#include "test_files.h"

#include <QtTest>

using namespace lyrane;

class TestScriptTable : public QObject {
    Q_OBJECT

private slots:
    void tables_data();
    void tables();
    void everyDropFrameTimecodeNamesTheFrameItCounts();

private:
    QTemporaryDir dir;
};

void TestScriptTable::tables_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("rate");
    QTest::addColumn<QString>("origin");
    QTest::addColumn<QStringList>("expected");
    // Hand-computed: at 29.97 a frame lasts 1001/30 ms; 00:01:00;02 is frame 1800 (60060 ms),
    // 00:10:00;00 frame 17982 (599999.4 ms), 01:00:00;00 frame 107892 (3599996.4 ms).
    // clang-format off
    QTest::newRow("timecodes at 25") << QByteArray("In,Out,Text,Speaker\n00:00:01:00,00:00:02:12,Hello,Anna\n00:00:03:24,00:00:04:00,Bye,\n") << "25" << "" << QStringList{"1000|2480|Hello|Anna", "3960|4000|Bye"};
    QTest::newRow("drop-frame at 29.97") << QByteArray("in,out,text\n00:01:00;02,00:10:00;00,A\n00:59:59;29,01:00:00;00,B\n") << "29.97" << "" << QStringList{"60060|599999|A", "3599963|3599996|B"};
    QTest::newRow("non-drop at 29.97 runs slow") << QByteArray("in,out,text\n00:01:00:00,00:01:00:01,A\n") << "29.97" << "" << QStringList{"60060|60093|A"};
    QTest::newRow("drop-frame at 59.94") << QByteArray("in,out,text\n00:01:00;04,00:01:00;05,A\n") << "59.94" << "" << QStringList{"60060|60077|A"};
    QTest::newRow("23.976") << QByteArray("in,out,text\n00:00:01:00,00:00:01:12,A\n") << "23.976" << "" << QStringList{"1001|1502|A"};
    QTest::newRow("clock times need no rate") << QByteArray("start,end,description\n00:00:01.500,00:00:02.25,A\n01:00:00,01:00:01,B\n") << "" << "" << QStringList{"1500|2250|A", "3600000|3601000|B"};
    QTest::newRow("origin subtracted") << QByteArray("IN,OUT,TEXT\n10:00:01:00,10:00:02:00,A\n10:00:03.000,10:00:04.000,B\n") << "25" << "10:00:00:00" << QStringList{"1000|2000|A", "3000|4000|B"};
    QTest::newRow("drop-frame origin") << QByteArray("in,out,text\n10:01:00;02,10:01:00;03,A\n") << "29.97" << "10:00:00;00" << QStringList{"60060|60093|A"};
    QTest::newRow("quoting as RFC 4180") << QByteArray("\xEF\xBB\xBF\"In\",Out,\"Text\"\r\n00:00:01.000,00:00:02.000,\"Hello, \"\"you\"\"\r\nand you\"\r\n00:00:03.000,00:00:04.000,  \"  padded \"  \r\n") << "" << "" << QStringList{"1000|2000|Hello, \"you\" and you", "3000|4000|padded"};
    QTest::newRow("tab-separated with other columns") << QByteArray("Id\tCharacter\tStart\tEnd\tDescription\tNotes\n1\tNarrator\t00:00:01.000\t00:00:02.000\tA door, slowly\tx\n") << "" << "" << QStringList{"1000|2000|A door, slowly|Narrator"};
    QTest::newRow("missing out-times") << QByteArray("in,out,text\n\n00:00:01.000,,A\n00:00:05.000,00:00:06.000,B\n00:00:09.000,,C\n") << "" << "" << QStringList{"1000|5000|A", "5000|6000|B", "9000|9000|C", "~ $FILE: row 5: no out-time and no row after it; its cue ends where it begins"};
    QTest::newRow("rows without text") << QByteArray("in,out,text\n00:00:01.000,00:00:02.000,\n00:00:03.000,00:00:04.000,A\n00:00:05.000,00:00:06.000,\" \"\n,,\n") << "" << "" << QStringList{"3000|4000|A", "~ $FILE: 2 rows without text are left out, the first at row 2"};
    QTest::newRow("timecode without a rate") << QByteArray("in,out,text\n00:00:01.000,00:00:02.000,A\n00:00:01:00,00:00:02:00,B\n") << "" << "" << QStringList{"! $FILE: row 3: the timecode 00:00:01:00 needs --frame-rate (one of 23.976, 24, 25, 29.97, 30, 50, 59.94, 60)"};
    QTest::newRow("frame at the rate") << QByteArray("in,out,text\n00:00:01:25,00:00:02:00,A\n") << "25" << "" << QStringList{"! $FILE: row 2: the timecode 00:00:01:25 has frame 25, but at 25 fps frames go from 00 to 24"};
    QTest::newRow("dropped frame number") << QByteArray("in,out,text\n00:00:59;29,00:01:00;01,A\n") << "29.97" << "" << QStringList{"! $FILE: row 2: the timecode 00:01:00;01 names a frame that drop-frame timecode skips (frame numbers 00 to 01 do not exist at the start of a minute that is not a tenth)"};
    QTest::newRow("drop-frame at 25") << QByteArray("in,out,text\n00:00:01;00,,A\n") << "25" << "" << QStringList{"! $FILE: row 2: the timecode 00:00:01;00 is drop-frame (\";\"), but 25 fps has no drop-frame timecode"};
    QTest::newRow("out before in") << QByteArray("in,out,text\n00:00:02.000,00:00:01.000,A\n") << "" << "" << QStringList{"! $FILE: row 2: the out-time 00:00:01.000 is before the in-time 00:00:02.000"};
    QTest::newRow("before the origin") << QByteArray("in,out,text\n09:59:59:24,10:00:01:00,A\n") << "25" << "10:00:00:00" << QStringList{"! $FILE: row 2: 09:59:59:24 is before the timecode origin"};
    QTest::newRow("unreadable time") << QByteArray("in,out,text\n5s,6s,A\n") << "" << "" << QStringList{"! $FILE: row 2: \"5s\" is neither a timecode (hh:mm:ss:ff, drop-frame hh:mm:ss;ff) nor a clock time (hh:mm:ss.fff)"};
    QTest::newRow("quote never closed") << QByteArray("in,out,text\n00:00:01.000,,A\n00:00:02.000,,\"B\n\n") << "" << "" << QStringList{"! $FILE: row 3: a quoted field is never closed"};
    QTest::newRow("text without in-time") << QByteArray("in,out,text\n,00:00:02.000,A\n") << "" << "" << QStringList{"! $FILE: row 2: no in-time"};
    QTest::newRow("no time column is no table") << QByteArray("name,text\nAnna,Hello\n") << "" << "" << QStringList{"! VTT file missing WEBVTT header (not an SRT file either)"};
    // clang-format on
}

void TestScriptTable::tables() {
    QFETCH(QByteArray, content);
    QFETCH(QString, rate);
    QFETCH(QString, origin);
    QFETCH(QStringList, expected);
    const QString path = test::writeTestFile(dir, QStringLiteral("script.csv"), content);
    QCOMPARE(test::readOutcome(path, test::readingOptions(rate, origin)), expected);
}

// Every drop-frame timecode of an hour at 29.97, read back from the frame it names by the
// usual formula, names that frame: no gap and no frame counted twice.
void TestScriptTable::everyDropFrameTimecodeNamesTheFrameItCounts() {
    const FrameRate rate = *parseFrameRate(u"29.97");
    qint64 expected = 0;
    for (int minute = 0; minute < 60; ++minute) {
        for (int second = 0; second < 60; ++second) {
            for (int frame = 0; frame < 30; ++frame) {
                const QString text = QStringLiteral("00:%1:%2;%3")
                                         .arg(minute, 2, 10, QLatin1Char('0'))
                                         .arg(second, 2, 10, QLatin1Char('0'))
                                         .arg(frame, 2, 10, QLatin1Char('0'));
                QString error;
                const std::optional<SmpteTimecode> read = readTimecode(text, rate, &error);
                const bool skipped = second == 0 && frame < 2 && minute % 10 != 0;
                QCOMPARE(read.has_value(), !skipped);
                if (read) {
                    QCOMPARE(read->frame, expected++);
                }
            }
        }
    }
    QCOMPARE(expected, qint64(107892));
}

QTEST_GUILESS_MAIN(TestScriptTable)
#include "test_script_table.moc"
