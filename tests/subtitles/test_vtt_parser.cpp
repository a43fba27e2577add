#include "subtitles/cue.h"
#include "subtitles/subtitle_file.h"
#include "subtitles/subtitle_timestamps.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using lyrane::Cue;

namespace {

std::optional<QList<Cue>> cuesOf(std::optional<lyrane::SubtitleFile> file) {
    return file ? std::optional<QList<Cue>>(std::move(file->cues)) : std::nullopt;
}

std::optional<QList<Cue>> parseWebVtt(const QString& content, QString* error) {
    return cuesOf(lyrane::parseSubtitleContent(content, lyrane::SubtitleFormat::WebVtt, error));
}

std::optional<QList<Cue>> parseFile(const QString& path, QString* error) {
    return cuesOf(lyrane::readSubtitleFile(path, QString(), error));
}

// A whole string read as one WebVTT timestamp.
std::optional<qint64> parseWebVttTimestamp(const QString& timestamp, QString* error) {
    lyrane::TimestampReading reading =
        lyrane::readTimestamp(timestamp, 0, lyrane::CueDialect::WebVtt);
    if (reading.status != lyrane::TimestampStatus::Malformed && reading.end != timestamp.size()) {
        reading.status = lyrane::TimestampStatus::Malformed;
    }
    if (reading.status != lyrane::TimestampStatus::Ok) {
        if (error) {
            *error = lyrane::timestampErrorMessage(reading.status, timestamp);
        }
        return std::nullopt;
    }
    return reading.ms;
}

// One string per cue, "start|end|text", so whole results compare in one go.
QStringList describe(const QList<Cue>& cues) {
    QStringList out;
    for (const Cue& cue : cues) {
        out << QStringLiteral("%1|%2|%3").arg(cue.startMs).arg(cue.endMs).arg(cue.text);
    }
    return out;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

const QString cueTiming = QStringLiteral("00:00:01.000 --> 00:00:02.000\n");

} // namespace

class TestVttParser : public QObject {
    Q_OBJECT

private slots:
    void header_data();
    void header();
    void cues_data();
    void cues();
    void lineEndingsAreEquivalent();
    void timestampErrors_data();
    void timestampErrors();
    void parseTimestamp_data();
    void parseTimestamp();
    void nullErrorPointerIsSilent();
    void timesOfDay_data();
    void timesOfDay();
    void fileWithByteOrderMarkAndCrLf();
    void fileWithInvalidUtf8();
    void binaryGarbage();
    void hugeCueLine();
    void unusablePaths_data();
    void unusablePaths();
    void unreadableFile();
    void oversizedFile();
    void endlessDevice();

private:
    QTemporaryDir tempDir;
};

void TestVttParser::header_data() {
    QTest::addColumn<QString>("content");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("empty file") << QString() << false;
    QTest::newRow("only blank lines") << QStringLiteral("\n  \n\t\r\n") << false;
    QTest::newRow("plain") << QStringLiteral("WEBVTT\n") << true;
    QTest::newRow("no line break") << QStringLiteral("WEBVTT") << true;
    QTest::newRow("blank lines before") << QStringLiteral("\n\n   \r\nWEBVTT\n") << true;
    QTest::newRow("indented") << QStringLiteral("   WEBVTT   \n") << true;
    QTest::newRow("with title") << QStringLiteral("WEBVTT - title\n") << true;
    QTest::newRow("WEBVTTX") << QStringLiteral("WEBVTTX\n") << true;
    QTest::newRow("lowercase") << QStringLiteral("webvtt\n") << false;
    QTest::newRow("mixed case") << QStringLiteral("WebVTT\n") << false;
    QTest::newRow("text before header") << QStringLiteral("hello\nWEBVTT\n") << false;
    QTest::newRow("cue without header") << (cueTiming + QStringLiteral("Hi\n")) << false;
}

void TestVttParser::header() {
    QFETCH(QString, content);
    QFETCH(bool, accepted);

    QString error = QStringLiteral("untouched");
    const auto cues = parseWebVtt(content, &error);
    QCOMPARE(cues.has_value(), accepted);
    if (accepted) {
        QVERIFY(cues->isEmpty());
        QCOMPARE(error, QStringLiteral("untouched"));
    } else {
        QCOMPARE(error, QStringLiteral("VTT file missing WEBVTT header"));
    }
}

void TestVttParser::cues_data() {
    QTest::addColumn<QString>("body");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("settings and no spaces around arrow")
        << QStringLiteral("00:00:01.000-->00:00:02.500 align:start line:0\nHi\n")
        << QStringList{"1000|2500|Hi"};
    QTest::newRow("many spaces around arrow")
        << QStringLiteral("00:00:01.000    -->\t00:00:02.500\nHi\n") << QStringList{"1000|2500|Hi"};
    QTest::newRow("indented timing line")
        << QStringLiteral("   00:00:01.000 --> 00:00:02.500  \nHi\n")
        << QStringList{"1000|2500|Hi"};
    QTest::newRow("several cues in file order")
        << QStringLiteral("00:00:05.000 --> 00:00:06.000\nB\n\n00:00:01.000 --> 00:00:02.000\nA\n")
        << QStringList{"5000|6000|B", "1000|2000|A"};
    QTest::newRow("end before start is kept")
        << QStringLiteral("00:00:05.000 --> 00:00:01.000\nX\n") << QStringList{"5000|1000|X"};
    QTest::newRow("hour-less timing")
        << QStringLiteral("00:01.000 --> 00:02.000\nHi\n") << QStringList{"1000|2000|Hi"};
    QTest::newRow("hour-less timing under text opens a cue")
        << (cueTiming + QStringLiteral("Hi\n00:03.000 --> 00:04.000\nThere\n"))
        << QStringList{"1000|2000|Hi", "3000|4000|There"};
    QTest::newRow("recogniser output crossing the hour")
        << QStringLiteral("59:58.000 --> 59:59.500\nlate\n\n59:59.500 --> 1:00:01.000\nlater\n\n"
                          "01:00:01.000 --> 01:00:03.250\nlatest\n")
        << QStringList{"3598000|3599500|late", "3599500|3601000|later", "3601000|3603250|latest"};
    QTest::newRow("hours of many digits")
        << QStringLiteral("100:00:00.000 --> 0100:00:01.000\nLong\n")
        << QStringList{"360000000|360001000|Long"};
    QTest::newRow("99 hours") << QStringLiteral("99:00:00.000 --> 99:59:59.999\nLate\n")
                              << QStringList{"356400000|359999999|Late"};
    QTest::newRow("voice tag and trimmed second line")
        << (cueTiming + QStringLiteral("<v Anna>Hello\n  world  \n"))
        << QStringList{"1000|2000|Hello world"};
    QTest::newRow("closing voice tag removed")
        << (cueTiming + QStringLiteral("<v Anna>Hi</v>\n")) << QStringList{"1000|2000|Hi"};
    QTest::newRow("voice tag without name removed")
        << (cueTiming + QStringLiteral("<v>Hi\n")) << QStringList{"1000|2000|Hi"};
    QTest::newRow("voice tag with tab and inner text")
        << (cueTiming + QStringLiteral("Say <v\tBob Smith>now\n"))
        << QStringList{"1000|2000|Say now"};
    QTest::newRow("other markup removed")
        << (cueTiming + QStringLiteral("<i>Rock</i> &amp; roll\n"))
        << QStringList{"1000|2000|Rock & roll"};
    QTest::newRow("only a voice tag is dropped")
        << (cueTiming + QStringLiteral("<v Anna>\n\n00:00:03.000 --> 00:00:04.000\nNext\n"))
        << QStringList{"3000|4000|Next"};
    QTest::newRow("empty line from a tag keeps its place")
        << (cueTiming + QStringLiteral("A\n<v B>\nC\n")) << QStringList{"1000|2000|A  C"};
    QTest::newRow("numeric lines are text") << (cueTiming + QStringLiteral("42\nHello\n-3\n+7\n"))
                                            << QStringList{"1000|2000|42 Hello -3 +7"};
    QTest::newRow("a cue of only a number")
        << (cueTiming + QStringLiteral("72\n\n00:00:03.000 --> 00:00:04.000\n-5\n"))
        << QStringList{"1000|2000|72", "3000|4000|-5"};
    QTest::newRow("number directly above a timing line names the next cue")
        << (cueTiming + QStringLiteral("Hello\n2\n00:00:03.000 --> 00:00:04.000\nB\n"))
        << QStringList{"1000|2000|Hello", "3000|4000|B"};
    QTest::newRow("number above a blank line is text")
        << (cueTiming + QStringLiteral("Hello\n2\n\n00:00:03.000 --> 00:00:04.000\nB\n"))
        << QStringList{"1000|2000|Hello 2", "3000|4000|B"};
    QTest::newRow("unusable timing line skips its block only")
        << (QStringLiteral("00:00:01,000 --> 00:00:02,000\nComma\n\n00:00:x --> 1\nX\n\n") +
            cueTiming + QStringLiteral("Good\n"))
        << QStringList{"1000|2000|Good"};
    QTest::newRow("number with words stays")
        << (cueTiming + QStringLiteral("42 apples\n")) << QStringList{"1000|2000|42 apples"};
    QTest::newRow("number beyond 32 bits stays")
        << (cueTiming + QStringLiteral("99999999999\n")) << QStringList{"1000|2000|99999999999"};
    QTest::newRow("numeric identifiers between cues")
        << QStringLiteral("1\n00:00:01.000 --> 00:00:02.000\nA\n\n2\n00:00:03.000 --> "
                          "00:00:04.000\nB\n")
        << QStringList{"1000|2000|A", "3000|4000|B"};
    QTest::newRow("blank line right after timing")
        << (cueTiming + QStringLiteral("\n\nHello\n")) << QStringList{"1000|2000|Hello"};
    QTest::newRow("white-space line closes a cue")
        << (cueTiming + QStringLiteral("Hello\n \t \nstray\n")) << QStringList{"1000|2000|Hello"};
    QTest::newRow("two timing lines in a row")
        << (cueTiming + QStringLiteral("00:00:03.000 --> 00:00:04.000\nHello\n"))
        << QStringList{"3000|4000|Hello"};
    QTest::newRow("timing line directly under text")
        << (cueTiming + QStringLiteral("A\n00:00:03.000 --> 00:00:04.000\nB"))
        << QStringList{"1000|2000|A", "3000|4000|B"};
    QTest::newRow("final cue without line break")
        << (cueTiming + QStringLiteral("Last")) << QStringList{"1000|2000|Last"};
    QTest::newRow("identifier under text joins it")
        << (cueTiming + QStringLiteral("Hello\nintro\n00:00:03.000 --> 00:00:04.000\nB\n"))
        << QStringList{"1000|2000|Hello intro", "3000|4000|B"};
    QTest::newRow("note and style blocks skipped")
        << QStringLiteral("NOTE a comment\nmore comment\n\nSTYLE\n::cue { color: red }\n\n") +
               cueTiming + QStringLiteral("Hi\n")
        << QStringList{"1000|2000|Hi"};
    QTest::newRow("unclosed tag takes the rest of the cue")
        << (cueTiming + QStringLiteral("Hi <c It's\nstill the tag\n\n00:00:03.000 --> "
                                       "00:00:04.000\n<c It's a blue apple tree!\n\n"
                                       "00:00:05.000 --> 00:00:06.000\nThis is </c awesome!\n"))
        << QStringList{"1000|2000|Hi", "5000|6000|This is"};
    QTest::newRow("non-ASCII text")
        << (cueTiming + QStringLiteral("Grüße, 你好\n")) << QStringList{"1000|2000|Grüße, 你好"};
}

void TestVttParser::cues() {
    QFETCH(QString, body);
    QFETCH(QStringList, expected);

    QString error;
    const auto cues = parseWebVtt(QStringLiteral("WEBVTT\n\n") + body, &error);
    QVERIFY2(cues.has_value(), qPrintable(error));
    QCOMPARE(describe(*cues), expected);
}

void TestVttParser::lineEndingsAreEquivalent() {
    const QString lf = QStringLiteral("WEBVTT - t\n\n1\n00:00:01.000 --> 00:00:02.000\n<v A>Hello\n"
                                      "world\n\n\n2\n00:00:03.000-->00:00:04.000 align:end\n\n"
                                      "Again\n42\nend");
    // Lone carriage returns end lines too.
    QString cr = lf;
    cr.replace(QLatin1Char('\n'), QLatin1Char('\r'));
    QString mixed = lf;
    mixed.replace(QLatin1String("\n\n"), QLatin1String("\r\n\r"));
    QString crlf = lf;
    crlf.replace(QLatin1Char('\n'), QLatin1String("\r\n"));

    const auto fromLf = parseWebVtt(lf, nullptr);
    const auto fromCrlf = parseWebVtt(crlf, nullptr);
    const auto fromCr = parseWebVtt(cr, nullptr);
    const auto fromMixed = parseWebVtt(mixed, nullptr);
    QVERIFY(fromLf && fromCrlf && fromCr && fromMixed);
    QCOMPARE(describe(*fromLf), (QStringList{"1000|2000|Hello world", "3000|4000|Again 42 end"}));
    QCOMPARE(describe(*fromCrlf), describe(*fromLf));
    QCOMPARE(describe(*fromCr), describe(*fromLf));
    QCOMPARE(describe(*fromMixed), describe(*fromLf));
}

void TestVttParser::timestampErrors_data() {
    QTest::addColumn<QString>("body");
    QTest::addColumn<QString>("message");

    QTest::newRow("minutes 61") << QStringLiteral("00:61:00.000 --> 00:62:00.000\nHi\n")
                                << QStringLiteral(
                                       "invalid minutes in timestamp: 00:61:00.000 (line 3)");
    QTest::newRow("seconds 60") << QStringLiteral("00:00:60.000 --> 00:01:00.000\nHi\n")
                                << QStringLiteral(
                                       "invalid seconds in timestamp: 00:00:60.000 (line 3)");
    QTest::newRow("hour-less seconds 60")
        << QStringLiteral("\n\nNOTE x\n\n00:60.000 --> 01:00.000\nHi\n")
        << QStringLiteral("invalid seconds in timestamp: 00:60.000 (line 7)");
    QTest::newRow("after CR line ends")
        << QStringLiteral("00:00:01.000 --> 00:00:02.000\rA\r\r00:00:03.000 --> 00:00:99.000\rB\r")
        << QStringLiteral("invalid seconds in timestamp: 00:00:99.000 (line 6)");
    QTest::newRow("hours too large")
        << QStringLiteral("99999999999:00:00.000 --> 00:01.000\nHi\n")
        << QStringLiteral("invalid hours in timestamp: 99999999999:00:00.000 (line 3)");
    QTest::newRow("bad end timestamp")
        << QStringLiteral("00:00:01.000 --> 00:00:75.000\nHi\n")
        << QStringLiteral("invalid seconds in timestamp: 00:00:75.000 (line 3)");
    QTest::newRow("earlier cues discarded")
        << QStringLiteral("00:00:01.000 --> 00:00:02.000\nGood\n\n00:99:00.000 --> "
                          "01:00:00.000\nBad\n")
        << QStringLiteral("invalid minutes in timestamp: 00:99:00.000 (line 6)");
}

void TestVttParser::timestampErrors() {
    QFETCH(QString, body);
    QFETCH(QString, message);

    QString error;
    const auto cues = parseWebVtt(QStringLiteral("WEBVTT\n\n") + body, &error);
    QVERIFY(!cues.has_value());
    QCOMPARE(error, message);
}

void TestVttParser::parseTimestamp_data() {
    QTest::addColumn<QString>("timestamp");
    QTest::addColumn<qint64>("expectedMs");
    QTest::addColumn<QString>("message");

    QTest::newRow("all fields") << QStringLiteral("01:02:03.004") << qint64(3723004) << QString();
    QTest::newRow("zero") << QStringLiteral("00:00:00.000") << qint64(0) << QString();
    QTest::newRow("largest") << QStringLiteral("99:59:59.999") << qint64(359999999) << QString();
    QTest::newRow("one-digit hours")
        << QStringLiteral("1:02:03.004") << qint64(3723004) << QString();
    QTest::newRow("no hours") << QStringLiteral("01:02.004") << qint64(62004) << QString();
    QTest::newRow("no hours, largest")
        << QStringLiteral("59:59.999") << qint64(3599999) << QString();
    QTest::newRow("three-digit hours")
        << QStringLiteral("123:00:00.000") << qint64(442800000) << QString();
    QTest::newRow("no hours, seconds 60")
        << QStringLiteral("00:60.000") << qint64(-1)
        << QStringLiteral("invalid seconds in timestamp: 00:60.000");
    QTest::newRow("minutes 60") << QStringLiteral("00:60:00.000") << qint64(-1)
                                << QStringLiteral("invalid minutes in timestamp: 00:60:00.000");
    QTest::newRow("seconds 60") << QStringLiteral("00:00:60.000") << qint64(-1)
                                << QStringLiteral("invalid seconds in timestamp: 00:00:60.000");
    const QStringList malformed{"01:02:03,004",  "60:00.000",
                                "1:02.004",      "01:2:03.004",
                                "01:02:03.04",   "01:02:03.",
                                "01:02:03",      "01-02-03.004",
                                " 01:02:03.004", "01:02:03.004 ",
                                "01:02:03.0045", "",
                                "aa:bb:cc.ddd",  QString::fromUtf8("\u0661\u0662:00:00.000")};
    for (const QString& text : malformed) {
        QTest::newRow(qPrintable(QStringLiteral("malformed '%1'").arg(text)))
            << text << qint64(-1) << QStringLiteral("invalid timestamp format: %1").arg(text);
    }
}

void TestVttParser::parseTimestamp() {
    QFETCH(QString, timestamp);
    QFETCH(qint64, expectedMs);
    QFETCH(QString, message);

    QString error;
    const auto ms = parseWebVttTimestamp(timestamp, &error);
    if (message.isEmpty()) {
        QVERIFY2(ms.has_value(), qPrintable(error));
        QCOMPARE(*ms, expectedMs);
    } else {
        QVERIFY(!ms.has_value());
        QCOMPARE(error, message);
    }
}

void TestVttParser::nullErrorPointerIsSilent() {
    QVERIFY(!parseWebVttTimestamp(QStringLiteral("00:61:00.000"), nullptr));
    QVERIFY(!parseWebVtt(QStringLiteral("nope"), nullptr));
    QVERIFY(!parseFile(tempDir.filePath(QStringLiteral("missing.vtt")), nullptr));
}

void TestVttParser::timesOfDay_data() {
    QTest::addColumn<qint64>("ms");
    QTest::addColumn<QString>("shown");

    QTest::newRow("zero") << qint64(0) << QStringLiteral("00:00:00.000");
    QTest::newRow("all fields") << qint64(3723004) << QStringLiteral("01:02:03.004");
    QTest::newRow("just under a day") << qint64(86399999) << QStringLiteral("23:59:59.999");
    QTest::newRow("25 hours wraps") << qint64(90000000) << QStringLiteral("01:00:00.000");
    QTest::newRow("99 hours wraps") << qint64(356400000) << QStringLiteral("03:00:00.000");
}

void TestVttParser::timesOfDay() {
    QFETCH(qint64, ms);
    QFETCH(QString, shown);

    Cue cue;
    cue.startMs = ms;
    cue.endMs = ms + 1;
    QCOMPARE(cue.startTime().toString(QStringLiteral("HH:mm:ss.zzz")), shown);
    QCOMPARE(cue.endTime(), cue.startTime().addMSecs(1));
}

void TestVttParser::fileWithByteOrderMarkAndCrLf() {
    QVERIFY(tempDir.isValid());
    const QString path = tempDir.filePath(QStringLiteral("bom.vtt"));
    QVERIFY(writeFile(path, QByteArray("\xEF\xBB\xBFWEBVTT\r\n\r\n00:00:01.000 --> "
                                       "00:00:02.000\r\n<v Anna>Grüße\r\n\r\n")));

    QString error;
    const auto cues = parseFile(path, &error);
    QVERIFY2(cues.has_value(), qPrintable(error));
    QCOMPARE(describe(*cues), QStringList{QStringLiteral("1000|2000|Grüße")});
}

void TestVttParser::fileWithInvalidUtf8() {
    // Not UTF-8, and too little text to tell its encoding: no cue with replacement characters.
    const QString path = tempDir.filePath(QStringLiteral("bad-utf8.vtt"));
    QVERIFY(
        writeFile(path, QByteArray("WEBVTT\n\n00:00:01.000 --> 00:00:02.000\nab\xFF\xC3 cd\n")));

    QString error;
    QVERIFY(!parseFile(path, &error));
    QCOMPARE(error, path + QStringLiteral(": line 4 is not UTF-8 and the file's encoding could not "
                                          "be detected; name it with --encoding"));
}

void TestVttParser::binaryGarbage() {
    QRandomGenerator random(20240611);
    QByteArray garbage(256 * 1024, Qt::Uninitialized);
    random.fillRange(reinterpret_cast<quint32*>(garbage.data()), garbage.size() / 4);
    // Make sure the garbage cannot pass for a header.
    garbage[0] = '\x01';

    const QString path = tempDir.filePath(QStringLiteral("garbage.vtt"));
    QVERIFY(writeFile(path, garbage));
    QString error;
    QVERIFY(!parseFile(path, &error));
    QVERIFY2(error.endsWith(QLatin1String("name it with --encoding")), qPrintable(error));
    // Read as Latin-1, where any byte is a character, it reaches the parser.
    QVERIFY(!lyrane::readSubtitleFile(path, QStringLiteral("latin1"), &error));
    QCOMPARE(error, QStringLiteral("VTT file missing WEBVTT header (not an SRT file either)"));

    // Garbage after a valid header and cue: whatever comes of it, the parse ends cleanly.
    QVERIFY(writeFile(path, QByteArray("WEBVTT\n\n00:00:01.000 --> 00:00:02.000\nok\n") + garbage));
    error.clear();
    const auto file = lyrane::readSubtitleFile(path, QStringLiteral("latin1"), &error);
    QVERIFY(file.has_value());
    QVERIFY(!file->cues.isEmpty());
    QCOMPARE(file->cues.first().startMs, qint64(1000));
}

void TestVttParser::hugeCueLine() {
    // One 50 MB text line: no quadratic work and no crash.
    QByteArray content("WEBVTT\n\n00:00:01.000 --> 00:00:02.000\n");
    content += QByteArray(50 * 1024 * 1024, 'a');
    content += "\n";
    const QString path = tempDir.filePath(QStringLiteral("huge.vtt"));
    QVERIFY(writeFile(path, content));

    QString error;
    const auto cues = parseFile(path, &error);
    QFile::remove(path);
    QVERIFY2(cues.has_value(), qPrintable(error));
    QCOMPARE(cues->size(), 1);
    QCOMPARE(cues->first().text.size(), qsizetype(50 * 1024 * 1024));
}

void TestVttParser::unusablePaths_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("reason");

    QTest::newRow("directory") << tempDir.path() << QStringLiteral("is a directory");
    QTest::newRow("missing file") << tempDir.filePath(QStringLiteral("missing.vtt")) << QString();
    QTest::newRow("empty path") << QString() << QStringLiteral("no file name given");
}

void TestVttParser::unusablePaths() {
    QFETCH(QString, path);
    QFETCH(QString, reason);

    QString error;
    QVERIFY(!parseFile(path, &error));
    const QString prefix = QStringLiteral("failed to open VTT file: ");
    QVERIFY2(error.startsWith(prefix), qPrintable(error));
    QVERIFY2(error.size() > prefix.size(), qPrintable(error));
    if (!reason.isEmpty()) {
        QCOMPARE(error, prefix + reason);
    }
}

void TestVttParser::unreadableFile() {
    if (geteuid() == 0) {
        QSKIP("file permissions do not apply to root");
    }
    const QString path = tempDir.filePath(QStringLiteral("locked.vtt"));
    QVERIFY(writeFile(path, "WEBVTT\n"));
    QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
    QString error;
    QVERIFY(!parseFile(path, &error));
    QVERIFY2(error.startsWith(QLatin1String("failed to open VTT file: ")), qPrintable(error));
}

void TestVttParser::oversizedFile() {
    // Sparse, so it costs no disk space; refused before anything is read.
    const QString path = tempDir.filePath(QStringLiteral("oversized.vtt"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write("WEBVTT\n") == 7);
        QVERIFY(file.resize(qint64(129) * 1024 * 1024));
    }
    QString error;
    QVERIFY(!parseFile(path, &error));
    QFile::remove(path);
    QCOMPARE(error, QStringLiteral("failed to open VTT file: file is too large"));
}

void TestVttParser::endlessDevice() {
    // A device reports no size; reading must still stop at the limit.
    if (!QFile::exists(QStringLiteral("/dev/zero"))) {
        QSKIP("no /dev/zero");
    }
    QString error;
    QVERIFY(!parseFile(QStringLiteral("/dev/zero"), &error));
    QCOMPARE(error, QStringLiteral("failed to open VTT file: file is too large"));
}

QTEST_GUILESS_MAIN(TestVttParser)
#include "test_vtt_parser.moc"
