#include "subtitles/cue.h"
#include "subtitles/subtitle_file.h"
#include "subtitles/subtitle_timestamps.h"
#include "subtitles/text_decoding.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using lyrane::Cue;
using lyrane::parseSubtitleContent;
using lyrane::readSubtitleFile;
using lyrane::SubtitleFile;
using lyrane::SubtitleFormat;

namespace {

// One string per cue, "start|end|text", and "|speaker" when the cue has one.
QStringList describe(const QList<Cue>& cues) {
    QStringList out;
    for (const Cue& cue : cues) {
        QString line = QStringLiteral("%1|%2|%3").arg(cue.startMs).arg(cue.endMs).arg(cue.text);
        if (!cue.speaker.isEmpty()) {
            line += QLatin1Char('|') + cue.speaker;
        }
        out << line;
    }
    return out;
}

std::optional<SubtitleFile> parseWebVtt(const QString& content, QString* error) {
    return parseSubtitleContent(content, SubtitleFormat::WebVtt, error);
}

// A whole string read as one WebVTT timestamp.
std::optional<qint64> parseWebVttTimestamp(const QString& timestamp, QString* error) {
    lyrane::TimestampReading reading =
        lyrane::readTimestamp(timestamp, 0, lyrane::CueDialect::WebVtt);
    if (reading.status != lyrane::TimestampStatus::Malformed && reading.end != timestamp.size()) {
        reading.status = lyrane::TimestampStatus::Malformed;
    }
    if (reading.status != lyrane::TimestampStatus::Ok) {
        *error = lyrane::timestampErrorMessage(reading.status, timestamp);
        return std::nullopt;
    }
    return reading.ms;
}

QByteArray encoded(QStringConverter::Encoding encoding, const QString& text) {
    QStringEncoder encoder(encoding, QStringConverter::Flag::WriteBom);
    return encoder.encode(text);
}

const QString cueTiming = QStringLiteral("00:00:01.000 --> 00:00:02.000\n");

// Enough French for the detector to tell the code page.
const QByteArray frenchInWindows1252 =
    "1\r\n00:00:01,000 --> 00:00:04,000\r\nCE FILM RELATE DES \xC9V\xC9NEMENTS R\xC9\x45LS.\r\n\r\n"
    "2\r\n00:00:04,500 --> 00:00:07,000\r\n\xC0 l\x92\xE9poque, personne n\x92y croyait.\r\n\r\n"
    "3\r\n00:00:07,500 --> 00:00:10,000\r\n\xAB \xC7\x61 ne marchera jamais \xBB, disait-il.\r\n";

const QString shortVtt = QStringLiteral("WEBVTT\n\n00:01.000 --> 00:02.000\n<v Anna>Grüße, 你好\n");

// A video site's automatic captions: each line is spelled out word by word under the previous
// one, and a 10 ms cue shows the finished line on its own.
const QByteArray rollingCaptions =
    "WEBVTT\nKind: captions\nLanguage: en\n\n"
    "00:00:00.160 --> 00:00:02.070 align:start position:0%\n \n"
    "so<00:00:00.480><c> today</c><00:00:00.800><c> we</c><00:00:01.200><c> talk</c>\n\n"
    "00:00:02.070 --> 00:00:02.080 align:start position:0%\nso today we talk\n \n\n"
    "00:00:02.080 --> 00:00:04.950 align:start position:0%\nso today we talk\n"
    "about<00:00:02.560><c> bread</c><00:00:03.100><c> &amp;</c><00:00:03.400><c> jam</c>\n\n"
    "00:00:04.950 --> 00:00:04.960 align:start position:0%\nabout bread & jam\n \n\n"
    "00:00:04.960 --> 00:00:07.000 align:start position:0%\nabout bread & jam\n"
    "and<00:00:05.300><c> so</c><00:00:05.600><c> today</c>\n\n"
    "00:00:07.000 --> 00:00:07.010 align:start position:0%\nand so today\n \n\n"
    "00:00:07.010 --> 00:00:09.000 align:start position:0%\nand so today\n"
    "so<00:00:07.400><c> today</c><00:00:07.800><c> we</c><00:00:08.100><c> talk</c>\n";

} // namespace

class TestSubtitleFile : public QObject {
    Q_OBJECT

private slots:
    void header_data();
    void header();
    void cues_data();
    void cues();
    void lineEndingsAreEquivalent();
    void parseTimestamp_data();
    void parseTimestamp();
    void timesOfDay_data();
    void timesOfDay();
    void files_data();
    void files();
    void failures_data();
    void failures();
    void noCuesReason_data();
    void noCuesReason();
    void timingShapes_data();
    void timingShapes();
    void leftOut_data();
    void leftOut();
    void knownEncodings_data();
    void knownEncodings();
    void binaryGarbage();
    void hugeCueLine();
    void unusablePaths_data();
    void unusablePaths();
    void unreadableFile();
    void oversizedFile();
    void endlessDevice();
    void randomInputNeverBreaksTheParser();

private:
    QString write(const QString& name, const QByteArray& bytes);
    QTemporaryDir tempDir;
};

QString TestSubtitleFile::write(const QString& name, const QByteArray& bytes) {
    const QString path = tempDir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        return QString();
    }
    return path;
}

void TestSubtitleFile::header_data() {
    QTest::addColumn<QString>("content");
    QTest::addColumn<bool>("accepted");

    // clang-format off
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
    // clang-format on
}

void TestSubtitleFile::header() {
    QFETCH(QString, content);
    QFETCH(bool, accepted);

    QString error = QStringLiteral("untouched");
    const auto file = parseWebVtt(content, &error);
    QCOMPARE(file.has_value(), accepted);
    if (accepted) {
        QVERIFY(file->cues.isEmpty());
        QCOMPARE(error, QStringLiteral("untouched"));
    } else {
        QCOMPARE(error, QStringLiteral("VTT file missing WEBVTT header"));
    }
}

void TestSubtitleFile::cues_data() {
    QTest::addColumn<QString>("body");
    QTest::addColumn<QStringList>("expected");

    const QString later = QStringLiteral("00:00:03.000 --> 00:00:04.000\n");
    // clang-format off
    QTest::newRow("settings and no spaces around arrow") << QStringLiteral("00:00:01.000-->00:00:02.500 align:start line:0\nHi\n") << QStringList{"1000|2500|Hi"};
    QTest::newRow("many spaces around arrow") << QStringLiteral("00:00:01.000    -->\t00:00:02.500\nHi\n") << QStringList{"1000|2500|Hi"};
    QTest::newRow("indented timing line") << QStringLiteral("   00:00:01.000 --> 00:00:02.500  \nHi\n") << QStringList{"1000|2500|Hi"};
    QTest::newRow("form feeds are white space") << QStringLiteral("\f00:00:01.000\f-->\f00:00:02.500\fline:0\nHi\n") << QStringList{"1000|2500|Hi"};
    QTest::newRow("vertical tabs are not") << QStringLiteral("\v00:00:00.000\v-->\v00:00:01.000\nHi\n") << QStringList();
    QTest::newRow("no-break spaces are not") << QStringLiteral("00:00:00.000\u00A0-->\u00A000:00:01.000\nHi\n") << QStringList();
    QTest::newRow("several cues in file order") << QStringLiteral("00:00:05.000 --> 00:00:06.000\nB\n\n00:00:01.000 --> 00:00:02.000\nA\n") << QStringList{"5000|6000|B", "1000|2000|A"};
    QTest::newRow("end before start is kept") << QStringLiteral("00:00:05.000 --> 00:00:01.000\nX\n") << QStringList{"5000|1000|X"};
    QTest::newRow("hour-less timing") << QStringLiteral("00:01.000 --> 00:02.000\nHi\n") << QStringList{"1000|2000|Hi"};
    QTest::newRow("hour-less timing under text opens a cue") << (cueTiming + "Hi\n00:03.000 --> 00:04.000\nThere\n") << QStringList{"1000|2000|Hi", "3000|4000|There"};
    QTest::newRow("recogniser output crossing the hour") << QStringLiteral("59:58.000 --> 59:59.500\nlate\n\n59:59.500 --> 1:00:01.000\nlater\n\n01:00:01.000 --> 01:00:03.250\nlatest\n") << QStringList{"3598000|3599500|late", "3599500|3601000|later", "3601000|3603250|latest"};
    QTest::newRow("hours of many digits") << QStringLiteral("100:00:00.000 --> 0100:00:01.000\nLong\n") << QStringList{"360000000|360001000|Long"};
    QTest::newRow("99 hours") << QStringLiteral("99:00:00.000 --> 99:59:59.999\nLate\n") << QStringList{"356400000|359999999|Late"};
    QTest::newRow("voice tag and trimmed second line") << (cueTiming + "<v Anna>Hello\n  world  \n") << QStringList{"1000|2000|Hello world|Anna"};
    QTest::newRow("closing voice tag removed") << (cueTiming + "<v Anna>Hi</v>\n") << QStringList{"1000|2000|Hi|Anna"};
    QTest::newRow("voice tag without name removed") << (cueTiming + "<v>Hi\n") << QStringList{"1000|2000|Hi"};
    QTest::newRow("voice tag with tab and inner text") << (cueTiming + "Say <v\tBob Smith>now\n") << QStringList{"1000|2000|Say now|Bob Smith"};
    QTest::newRow("other markup removed") << (cueTiming + "<i>Rock</i> &amp; roll\n") << QStringList{"1000|2000|Rock & roll"};
    QTest::newRow("only a voice tag is dropped") << (cueTiming + "<v Anna>\n\n" + later + "Next\n") << QStringList{"3000|4000|Next"};
    QTest::newRow("empty line from a tag keeps its place") << (cueTiming + "A\n<v B>\nC\n") << QStringList{"1000|2000|A  C|B"};
    QTest::newRow("numeric lines are text") << (cueTiming + "42\nHello\n-3\n+7\n") << QStringList{"1000|2000|42 Hello -3 +7"};
    QTest::newRow("a cue of only a number") << (cueTiming + "72\n\n" + later + "-5\n") << QStringList{"1000|2000|72", "3000|4000|-5"};
    QTest::newRow("number directly above a timing line names the next cue") << (cueTiming + "Hello\n2\n" + later + "B\n") << QStringList{"1000|2000|Hello", "3000|4000|B"};
    QTest::newRow("number above a blank line is text") << (cueTiming + "Hello\n2\n\n" + later + "B\n") << QStringList{"1000|2000|Hello 2", "3000|4000|B"};
    QTest::newRow("unusable timing line skips its block only") << (QStringLiteral("00:00:01,000 --> 00:00:02,000\nComma\n\n00:00:x --> 1\nX\n\n") + cueTiming + "Good\n") << QStringList{"1000|2000|Good"};
    QTest::newRow("number with words stays") << (cueTiming + "42 apples\n") << QStringList{"1000|2000|42 apples"};
    QTest::newRow("number beyond 32 bits stays") << (cueTiming + "99999999999\n") << QStringList{"1000|2000|99999999999"};
    QTest::newRow("numeric identifiers between cues") << ("1\n" + cueTiming + "A\n\n2\n" + later + "B\n") << QStringList{"1000|2000|A", "3000|4000|B"};
    QTest::newRow("blank line right after timing") << (cueTiming + "\n\nHello\n") << QStringList{"1000|2000|Hello"};
    QTest::newRow("white-space line closes a cue") << (cueTiming + "Hello\n \t \nstray\n") << QStringList{"1000|2000|Hello"};
    QTest::newRow("two timing lines in a row") << (cueTiming + later + "Hello\n") << QStringList{"3000|4000|Hello"};
    QTest::newRow("timing line directly under text") << (cueTiming + "A\n" + later + "B") << QStringList{"1000|2000|A", "3000|4000|B"};
    QTest::newRow("final cue without line break") << (cueTiming + "Last") << QStringList{"1000|2000|Last"};
    QTest::newRow("identifier under text joins it") << (cueTiming + "Hello\nintro\n" + later + "B\n") << QStringList{"1000|2000|Hello intro", "3000|4000|B"};
    QTest::newRow("note and style blocks skipped") << ("NOTE a comment\nmore comment\n\nSTYLE\n::cue { color: red }\n\n" + cueTiming + "Hi\n") << QStringList{"1000|2000|Hi"};
    QTest::newRow("arrow ends the cue text and its block is skipped") << (cueTiming + "text0\nfoo-->\nbar\n\n" + later + "B\n") << QStringList{"1000|2000|text0", "3000|4000|B"};
    QTest::newRow("mistyped timing line under text is not spoken") << (cueTiming + "hello\nO0:00:03.000 --> 00:00:04.000\nworld\n") << QStringList{"1000|2000|hello"};
    QTest::newRow("arrow in a skipped block opens the next") << ("x-->\nskipped\n" + later + "B\n") << QStringList{"3000|4000|B"};
    QTest::newRow("unclosed tag takes the rest of the cue") << (cueTiming + "Hi <c It's\nstill the tag\n\n" + later + "<c It's a blue apple tree!\n\n00:00:05.000 --> 00:00:06.000\nThis is </c awesome!\n") << QStringList{"1000|2000|Hi", "5000|6000|This is"};
    QTest::newRow("non-ASCII text") << (cueTiming + "Grüße, 你好\n") << QStringList{"1000|2000|Grüße, 你好"};
    // clang-format on
}

void TestSubtitleFile::cues() {
    QFETCH(QString, body);
    QFETCH(QStringList, expected);

    QString error;
    const auto file = parseWebVtt(QStringLiteral("WEBVTT\n\n") + body, &error);
    QVERIFY2(file.has_value(), qPrintable(error));
    QCOMPARE(describe(file->cues), expected);
}

void TestSubtitleFile::lineEndingsAreEquivalent() {
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

    QString error;
    const auto fromLf = parseWebVtt(lf, &error);
    const auto fromCrlf = parseWebVtt(crlf, &error);
    const auto fromCr = parseWebVtt(cr, &error);
    const auto fromMixed = parseWebVtt(mixed, &error);
    QVERIFY(fromLf && fromCrlf && fromCr && fromMixed);
    QCOMPARE(describe(fromLf->cues),
             (QStringList{"1000|2000|Hello world|A", "3000|4000|Again 42 end"}));
    QCOMPARE(describe(fromCrlf->cues), describe(fromLf->cues));
    QCOMPARE(describe(fromCr->cues), describe(fromLf->cues));
    QCOMPARE(describe(fromMixed->cues), describe(fromLf->cues));
}

void TestSubtitleFile::parseTimestamp_data() {
    QTest::addColumn<QString>("timestamp");
    QTest::addColumn<qint64>("expectedMs");
    QTest::addColumn<QString>("message");

    // clang-format off
    QTest::newRow("all fields") << QStringLiteral("01:02:03.004") << qint64(3723004) << QString();
    QTest::newRow("zero") << QStringLiteral("00:00:00.000") << qint64(0) << QString();
    QTest::newRow("largest") << QStringLiteral("99:59:59.999") << qint64(359999999) << QString();
    QTest::newRow("one-digit hours") << QStringLiteral("1:02:03.004") << qint64(3723004) << QString();
    QTest::newRow("no hours") << QStringLiteral("01:02.004") << qint64(62004) << QString();
    QTest::newRow("no hours, largest") << QStringLiteral("59:59.999") << qint64(3599999) << QString();
    QTest::newRow("three-digit hours") << QStringLiteral("123:00:00.000") << qint64(442800000) << QString();
    QTest::newRow("no hours, seconds 60") << QStringLiteral("00:60.000") << qint64(-1) << QStringLiteral("invalid seconds in timestamp: 00:60.000");
    QTest::newRow("minutes 60") << QStringLiteral("00:60:00.000") << qint64(-1) << QStringLiteral("invalid minutes in timestamp: 00:60:00.000");
    QTest::newRow("seconds 60") << QStringLiteral("00:00:60.000") << qint64(-1) << QStringLiteral("invalid seconds in timestamp: 00:00:60.000");
    // clang-format on
    const QStringList malformed{
        "01:02:03,004",  "60:00.000",     "1:02.004",
        "01:2:03.004",   "01:02:03.04",   "01:02:03.",
        "01:02:03",      "01-02-03.004",  " 01:02:03.004",
        "01:02:03.004 ", "01:02:03.0045", "",
        "aa:bb:cc.ddd",  "00:00:013.000", QString::fromUtf8("\u0661\u0662:00:00.000")};
    for (const QString& text : malformed) {
        QTest::newRow(qPrintable(QStringLiteral("malformed '%1'").arg(text)))
            << text << qint64(-1) << QStringLiteral("invalid timestamp format: %1").arg(text);
    }
}

void TestSubtitleFile::parseTimestamp() {
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

void TestSubtitleFile::timesOfDay_data() {
    QTest::addColumn<qint64>("ms");
    QTest::addColumn<QString>("timeOfDay"); // Cue::startTime(), which wraps at a day
    QTest::addColumn<QString>("written");   // formatTimestamp(), which does not

    // clang-format off
    QTest::newRow("zero") << qint64(0) << QStringLiteral("00:00:00.000") << QStringLiteral("00:00:00.000");
    QTest::newRow("all fields") << qint64(3723004) << QStringLiteral("01:02:03.004") << QStringLiteral("01:02:03.004");
    QTest::newRow("just under a day") << qint64(86399999) << QStringLiteral("23:59:59.999") << QStringLiteral("23:59:59.999");
    QTest::newRow("25 hours") << qint64(90000000) << QStringLiteral("01:00:00.000") << QStringLiteral("25:00:00.000");
    QTest::newRow("60 hours") << qint64(216001000) << QStringLiteral("12:00:01.000") << QStringLiteral("60:00:01.000");
    QTest::newRow("99 hours") << qint64(356400000) << QStringLiteral("03:00:00.000") << QStringLiteral("99:00:00.000");
    QTest::newRow("100 hours") << qint64(360000001) << QStringLiteral("04:00:00.001") << QStringLiteral("100:00:00.001");
    // clang-format on
}

void TestSubtitleFile::timesOfDay() {
    QFETCH(qint64, ms);
    QFETCH(QString, timeOfDay);
    QFETCH(QString, written);

    Cue cue;
    cue.startMs = ms;
    cue.endMs = ms + 1;
    QCOMPARE(cue.startTime().toString(QStringLiteral("HH:mm:ss.zzz")), timeOfDay);
    QCOMPARE(cue.endTime(), cue.startTime().addMSecs(1));
    QCOMPARE(lyrane::formatTimestamp(ms), written);
    QCOMPARE(lyrane::formatTimestamp(ms, QLatin1Char(',')),
             written.left(written.size() - 4) + QLatin1Char(',') + written.right(3));
}

void TestSubtitleFile::files_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<int>("format");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QString>("notice"); // "$FILE" stands for the file's path

    const int vtt = int(SubtitleFormat::WebVtt);
    const int srt = int(SubtitleFormat::Srt);
    const QString grusse = QStringLiteral("1000|2000|Grüße, 你好|Anna");
    // clang-format off
    QTest::newRow("recogniser output without hours") << "talk.vtt" << QByteArray("WEBVTT\n\n00:00.000 --> 00:02.500\nhello there\n\n00:02.500 --> 00:05.000\nhow are you\n") << QString() << vtt << QStringList{"0|2500|hello there", "2500|5000|how are you"} << QString();
    QTest::newRow("recogniser output past one hour") << "long.vtt" << QByteArray("WEBVTT\n\n59:59.000 --> 01:00:00.500\nedge\n\n01:00:00.500 --> 01:00:02.000\nafter\n\n12:00:00.000 --> 12:00:01.000\nnoon\n") << QString() << vtt << QStringList{"3599000|3600500|edge", "3600500|3602000|after", "43200000|43201000|noon"} << QString();
    QTest::newRow("SRT with commas") << "film.srt" << QByteArray("1\n00:00:01,000 --> 00:00:02,500\nFirst line\nsecond line\n\n2\n00:01:00,250 --> 00:01:02,000\n<i>Second</i>\n") << QString() << srt << QStringList{"1000|2500|First line second line", "60250|62000|Second"} << QString();
    QTest::newRow("SRT with periods and CR LF") << "FILM.SRT" << QByteArray("1\r\n00:00:01.000 --> 00:00:02.000\r\nOne\r\n\r\n2\r\n00:00:03.000 --> 00:00:04.000\r\nTwo\r\n\r\n") << QString() << srt << QStringList{"1000|2000|One", "3000|4000|Two"} << QString();
    QTest::newRow("SRT recognised by its first lines") << "subtitles.txt" << QByteArray("\n\n1\n00:00:01,000 --> 00:00:02,000\nHi\n\n2\n00:00:03,000 --> 00:00:04,000\nBye\n") << QString() << srt << QStringList{"1000|2000|Hi", "3000|4000|Bye"} << QString();
    QTest::newRow("SRT with missing and wrong index lines") << "odd.srt" << QByteArray("00:00:01,000 --> 00:00:02,000\nNo index\n\n7\n00:00:03,000 --> 00:00:04,000\nWrong index\n\nabc\n00:00:05,000 --> 00:00:06,000\nWord index\n") << QString() << srt << QStringList{"1000|2000|No index", "3000|4000|Wrong index", "5000|6000|Word index"} << QString();
    QTest::newRow("SRT markup, overrides and a number answer") << "marked.srt" << QByteArray("1\n00:00:01,000 --> 00:00:02,000\n{\\an8}<font color=\"#ffff00\">Top</font> &amp; <b>bold</b>\n\n2\n00:00:03,000 --> 00:00:04,000\n72\n") << QString() << srt << QStringList{"1000|2000|Top & bold", "3000|4000|72"} << QString();
    QTest::newRow("SRT without any cue") << "empty.srt" << QByteArray("1\n00:00:01,000 --> 00:00:02,000\n\n") << QString() << srt << QStringList() << QString();
    QTest::newRow("WebVTT header wins over an .srt name") << "really-vtt.srt" << shortVtt.toUtf8() << QString() << vtt << QStringList{grusse} << QString();
    QTest::newRow("UTF-8 with byte-order mark") << "bom.vtt" << encoded(QStringConverter::Utf8, shortVtt) << QString() << vtt << QStringList{grusse} << QString();
    QTest::newRow("byte-order mark and CR LF") << "bom-crlf.vtt" << QByteArray("\xEF\xBB\xBFWEBVTT\r\n\r\n00:00:01.000 --> 00:00:02.000\r\n<v Anna>Grüße\r\n\r\n") << QString() << vtt << QStringList{"1000|2000|Grüße|Anna"} << QString();
    QTest::newRow("UTF-16 little endian") << "le.vtt" << encoded(QStringConverter::Utf16LE, shortVtt) << QString() << vtt << QStringList{grusse} << QString();
    QTest::newRow("UTF-16 big endian with CR LF") << "be.vtt" << encoded(QStringConverter::Utf16BE, QString(shortVtt).replace("\n", "\r\n")) << QString() << vtt << QStringList{grusse} << QString();
    QTest::newRow("UTF-16 SRT") << "utf16.srt" << encoded(QStringConverter::Utf16LE, QStringLiteral("1\r\n00:00:01,000 --> 00:00:02,000\r\nÇa va ?\r\n")) << QString() << srt << QStringList{"1000|2000|Ça va ?"} << QString();
    QTest::newRow("WebVTT line counted in UTF-16") << "bad16.vtt" << encoded(QStringConverter::Utf16LE, QStringLiteral("WEBVTT\r\n\r\nNOTE\r\n\r\n00:00:01.000 --> 00:00:02.000\r\nA\r\n\r\n00:00:61.000 --> 00:01:02.000\r\nB\r\n")) << QString() << vtt << QStringList{"1000|2000|A"} << "$FILE: the cue at line 8 is left out, its timing line cannot be read: invalid seconds in timestamp: 00:00:61.000";
    QTest::newRow("windows-1252") << "legacy.srt" << QByteArray("1\r\n00:00:01,000 --> 00:00:02,000\r\nCaf\xe9 \x93quoted\x94 \x80 5\r\n") << QStringLiteral("windows-1252") << srt << QStringList{"1000|2000|Café \u201Cquoted\u201D \u20AC 5"} << QString();
    QTest::newRow("iso-8859-6") << "arabic.vtt" << QByteArray("WEBVTT\n\n00:01.000 --> 00:02.000\n\xe5\xd1\xcd\xc8\xc7\n") << QStringLiteral("ISO-8859-6") << vtt << QStringList{"1000|2000|\u0645\u0631\u062D\u0628\u0627"} << QString();
    QTest::newRow("latin1 through Qt") << "latin1.vtt" << QByteArray("WEBVTT\n\n00:01.000 --> 00:02.000\nna\xefve\n") << QStringLiteral("latin1") << vtt << QStringList{"1000|2000|na\u00EFve"} << QString();
    QTest::newRow("byte-order mark wins over the encoding") << "bom-legacy.vtt" << encoded(QStringConverter::Utf8, shortVtt) << QStringLiteral("windows-1252") << vtt << QStringList{grusse} << QString();
    QTest::newRow("lone carriage returns") << "cr.vtt" << QByteArray("WEBVTT\r\r1\r00:00:01.000 --> 00:00:02.000\rOne\rline\r\r2\r00:00:03.000 --> 00:00:04.000\rTwo\r") << QString() << vtt << QStringList{"1000|2000|One line", "3000|4000|Two"} << QString();
    QTest::newRow("NUL becomes a replacement character") << "nul.vtt" << QByteArray("WEBVTT\n\n00:01.000 --> 00:02.000\na\0b\n", 36) << QString() << vtt << QStringList{"1000|2000|a\uFFFDb"} << QString();
    QTest::newRow("windows-1252 detected") << "detected.srt" << frenchInWindows1252 << QString() << srt << QStringList{"1000|4000|CE FILM RELATE DES ÉVÉNEMENTS RÉELS.", "4500|7000|À l’époque, personne n’y croyait.", "7500|10000|« Ça ne marchera jamais », disait-il."} << "$FILE: not UTF-8; read as windows-1252, the encoding detected in it (--encoding names another)";
    QTest::newRow("rolling automatic captions") << "auto.en.vtt" << rollingCaptions << QString() << vtt << QStringList{"160|2070|so today we talk", "2080|4950|about bread & jam", "4960|7000|and so today", "7010|9000|so today we talk"} << QString();
    QTest::newRow("word timing without repeat cues is left alone") << "karaoke.vtt" << QByteArray("WEBVTT\n\n00:01.000 --> 00:03.000\nla<00:02.000><c> la</c>\n\n00:03.000 --> 00:05.000\nla la\nla<00:04.000><c> la</c>\n") << QString() << vtt << QStringList{"1000|3000|la la", "3000|5000|la la la la"} << QString();
    // clang-format on
}

void TestSubtitleFile::files() {
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, encoding);
    QFETCH(int, format);
    QFETCH(QStringList, expected);
    QFETCH(QString, notice);

    const QString path = write(name, bytes);
    QVERIFY(!path.isEmpty());
    QString error;
    const std::optional<SubtitleFile> file = readSubtitleFile(path, encoding, &error);
    QVERIFY2(file.has_value(), qPrintable(error));
    QCOMPARE(int(file->format), format);
    QCOMPARE(describe(file->cues), expected);
    QVERIFY(file->noCuesReason.isEmpty());
    QCOMPARE(file->notices,
             notice.isEmpty() ? QStringList() : QStringList{notice.replace("$FILE", path)});
}

void TestSubtitleFile::failures_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<QString>("message"); // "$FILE" stands for the file's path

    // Text that does not decode stops the run.
    const QByteArray cue = "WEBVTT\n\n00:01.000 --> 00:02.000\n";
    const QString ofBom = QStringLiteral(", the encoding its byte-order mark names");
    const QString ofOption = QStringLiteral(", the encoding --encoding names");
    // clang-format off
    QTest::newRow("neither WebVTT nor SRT") << "notes.txt" << QByteArray("Just some notes\n00:00:01,000 --> 00:00:02,000\nHi\n") << QString() << "VTT file missing WEBVTT header (not an SRT file either)";
    QTest::newRow("unknown encoding") << "any.vtt" << QByteArray("WEBVTT\n") << QStringLiteral("no-such-encoding-x") << "failed to open VTT file: unknown text encoding: no-such-encoding-x";
    QTest::newRow("too little text to tell") << "bad-utf8.vtt" << cue + "ab\xFF\xC3 cd\n" << QString() << "$FILE: line 4 is not UTF-8 and the file's encoding could not be detected; name it with --encoding";
    QTest::newRow("undetected") << "u.vtt" << cue + "a\x81z ab\xFF\xC3 cd\n" << QString() << "$FILE: line 4 is not UTF-8 and the file's encoding could not be detected; name it with --encoding";
    QTest::newRow("detected as symbols") << "s.srt" << QByteArray("1\n00:00:01,000 --> 00:00:02,000\nab\xFF\xC3 cd\n") << QString() << "$FILE: line 3 is not UTF-8 and the file's encoding could not be detected; name it with --encoding";
    QTest::newRow("UTF-8 named") << "n.vtt" << cue + "\xC3\n" << QStringLiteral("UTF-8") << "$FILE: line 4 is not valid UTF-8" + ofOption;
    QTest::newRow("windows-1252 undefined byte") << "w.vtt" << cue + "a\x81z\n" << QStringLiteral("windows-1252") << "$FILE: line 4 is not valid windows-1252" + ofOption;
    QTest::newRow("UTF-8 mark, overlong") << "o.vtt" << "\xEF\xBB\xBF" + cue + "\xC0\x80\n" << QString() << "$FILE: line 4 is not valid UTF-8" + ofBom;
    QTest::newRow("UTF-16 unpaired surrogate") << "h.vtt" << encoded(QStringConverter::Utf16LE, QStringLiteral("WEBVTT\r\n\r\n00:01.000 --> 00:02.000\r\na") + QChar(0xD800) + "b\r\n") << QString() << "$FILE: line 4 is not valid UTF-16LE" + ofBom;
    QTest::newRow("UTF-16 cut short") << "c.vtt" << encoded(QStringConverter::Utf16BE, QStringLiteral("WEBVTT\n\n00:01.000 --> 00:02.000\na")).chopped(1) << QString() << "$FILE: line 4 is not valid UTF-16BE" + ofBom;
    QTest::newRow("UTF-32 beyond Unicode") << "t.vtt" << encoded(QStringConverter::Utf32LE, QStringLiteral("WEBVTT\n\n")) + QByteArray("\0\0\x11\0", 4) << QString() << "$FILE: line 3 is not valid UTF-32LE" + ofBom;
    // clang-format on
}

void TestSubtitleFile::failures() {
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, encoding);
    QFETCH(QString, message);

    const QString path = write(name, bytes);
    QVERIFY(!path.isEmpty());
    QString error;
    QVERIFY(!readSubtitleFile(path, encoding, &error));
    QCOMPARE(error, QString(message).replace(QLatin1String("$FILE"), path));
}

void TestSubtitleFile::noCuesReason_data() {
    QTest::addColumn<QString>("content");
    QTest::addColumn<int>("format");
    QTest::addColumn<QString>("reason"); // after "no timing line could be read; "

    const int vtt = int(SubtitleFormat::WebVtt);
    const int srt = int(SubtitleFormat::Srt);
    // clang-format off
    QTest::newRow("header only") << QStringLiteral("WEBVTT\n") << vtt << QString();
    QTest::newRow("cues without text") << QStringLiteral("WEBVTT\n\n00:01.000 --> 00:02.000\n\n") << vtt << QString();
    QTest::newRow("comma timestamps in WebVTT") << QStringLiteral("WEBVTT\n\n1\n00:00:01,000 --> 00:00:02,000\nA\n\n2\n00:00:03,000 --> 00:00:04,000\nB\n") << vtt << QStringLiteral("2 unusable, the first at line 4: invalid timestamp format: 00:00:01,000");
    QTest::newRow("four fraction digits in SRT") << QStringLiteral("1\n00:00:01,5000 --> 00:00:02,000\nA\n") << srt << QStringLiteral("1 unusable, the first at line 2: invalid timestamp format: 00:00:01,5000");
    QTest::newRow("bad end timestamp") << QStringLiteral("WEBVTT\n00:00:01.000 --> soon\nA\n") << vtt << QStringLiteral("1 unusable, the first at line 2: invalid timestamp format: soon");
    QTest::newRow("minutes 61") << QStringLiteral("WEBVTT\n\n00:61:00.000 --> 00:62:00.000\nHi\n") << vtt << QStringLiteral("1 unusable, the first at line 3: invalid minutes in timestamp: 00:61:00.000");
    QTest::newRow("seconds 60") << QStringLiteral("WEBVTT\n\n00:00:60.000 --> 00:01:00.000\nHi\n") << vtt << QStringLiteral("1 unusable, the first at line 3: invalid seconds in timestamp: 00:00:60.000");
    QTest::newRow("hour-less seconds 60") << QStringLiteral("WEBVTT\n\n\n\nNOTE x\n\n00:60.000 --> 01:00.000\nHi\n") << vtt << QStringLiteral("1 unusable, the first at line 7: invalid seconds in timestamp: 00:60.000");
    QTest::newRow("hours too large") << QStringLiteral("WEBVTT\n\n99999999999:00:00.000 --> 00:01.000\nHi\n") << vtt << QStringLiteral("1 unusable, the first at line 3: invalid hours in timestamp: 99999999999:00:00.000");
    QTest::newRow("end seconds 75") << QStringLiteral("WEBVTT\n\n00:00:01.000 --> 00:00:75.000\nHi\n") << vtt << QStringLiteral("1 unusable, the first at line 3: invalid seconds in timestamp: 00:00:75.000");
    QTest::newRow("SRT minutes out of range after CR LF") << QStringLiteral("\r\n1\r\n00:75:00,000 --> 00:76:00,000\r\nA\r\n") << srt << QStringLiteral("1 unusable, the first at line 3: invalid minutes in timestamp: 00:75:00,000");
    // clang-format on
}

void TestSubtitleFile::noCuesReason() {
    QFETCH(QString, content);
    QFETCH(int, format);
    QFETCH(QString, reason);

    QString error;
    const std::optional<SubtitleFile> file =
        parseSubtitleContent(content, SubtitleFormat(format), &error);
    QVERIFY2(file.has_value(), qPrintable(error));
    QVERIFY(file->cues.isEmpty());
    QCOMPARE(file->noCuesReason,
             reason.isEmpty() ? reason : "no timing line could be read; " + reason);
}

void TestSubtitleFile::timingShapes_data() {
    QTest::addColumn<QString>("timing");
    QTest::addColumn<int>("format");
    QTest::addColumn<QString>("expected"); // "start|end", empty when the line cannot be read

    const int srt = int(SubtitleFormat::Srt);
    const int vtt = int(SubtitleFormat::WebVtt);
    // clang-format off
    QTest::newRow("SRT start without fraction") << "00:01:39 --> 00:01:41,04" << srt << "99000|101040";
    QTest::newRow("SRT two digits after periods") << "00:02:12.16 --> 00:02:15.20" << srt << "132160|135200";
    QTest::newRow("SRT coordinates after the end") << "00:02:04,08 --> 00:02:07,12 X1:40 X2:600 Y1:20 Y2:50" << srt << "124080|127120";
    QTest::newRow("SRT one digit, no hours") << "01:39,5 --> 01:41" << srt << "99500|101000";
    QTest::newRow("SRT one-digit hours") << "1:00:00,1 --> 1:00:01,000" << srt << "3600100|3601000";
    QTest::newRow("SRT a zero too many") << "00:00:013,567 --> 00:00:014,0567" << srt << "13567|14567";
    QTest::newRow("SRT zeros too many, no hours") << "01:0013,5 --> 01:014,00000" << srt << "73500|74000";
    QTest::newRow("SRT four zeros") << "00:00:01,0000 --> 00:00:02,000" << srt << "1000|2000";
    QTest::newRow("SRT a digit too many") << "00:00:113,000 --> 00:00:14,000" << srt << "";
    QTest::newRow("SRT minutes of three digits") << "00:013:00,000 --> 00:014:00,000" << srt << "";
    QTest::newRow("SRT separator without digits") << "00:00:01, --> 00:00:02,000" << srt << "";
    QTest::newRow("SRT seconds 60 when padded") << "00:00:060,000 --> 00:01:01,000" << srt << "";
    QTest::newRow("WebVTT a zero too many") << "00:00:013.567 --> 00:00:14.000" << vtt << "";
    QTest::newRow("WebVTT without fraction") << "00:01:39 --> 00:01:41.040" << vtt << "";
    QTest::newRow("WebVTT one digit") << "00:00:01.5 --> 00:00:02.000" << vtt << "";
    QTest::newRow("WebVTT comma") << "00:00:01,000 --> 00:00:02,000" << vtt << "";
    QTest::newRow("WebVTT settings") << "00:00:01.000 --> 00:00:02.000 X1:40 line:0" << vtt << "1000|2000";
    // clang-format on
}

void TestSubtitleFile::timingShapes() {
    QFETCH(QString, timing);
    QFETCH(int, format);
    QFETCH(QString, expected);

    const QString head =
        format == int(SubtitleFormat::Srt) ? QStringLiteral("1\n") : QStringLiteral("WEBVTT\n\n");
    QString error;
    const std::optional<SubtitleFile> file = parseSubtitleContent(
        head + timing + QStringLiteral("\nA\n"), SubtitleFormat(format), &error);
    QVERIFY2(file.has_value(), qPrintable(error));
    QCOMPARE(describe(file->cues),
             expected.isEmpty() ? QStringList() : QStringList{expected + QStringLiteral("|A")});
}

void TestSubtitleFile::leftOut_data() {
    QTest::addColumn<QString>("content");
    QTest::addColumn<int>("format");
    QTest::addColumn<QStringList>("cues");
    QTest::addColumn<QStringList>("notices");

    const int vtt = int(SubtitleFormat::WebVtt);
    const int srt = int(SubtitleFormat::Srt);
    const QString timing = QStringLiteral("00:00:01,000 --> 00:00:02,000\n");
    const QString later = QStringLiteral("00:00:03,000 --> 00:00:04,000\n");
    const QStringList both{"1000|2000|A", "3000|4000|B"};
    const QString unreadable =
        QStringLiteral("the cue at line 6 is left out, its timing line cannot be read: ");
    // clang-format off
    QTest::newRow("SRT words after a blank line stay in the cue") << "1\n" + timing + "A\n\nLost words\nmore\n\n2\n" + later + "B\n" << srt << QStringList{"1000|2000|A Lost words more", "3000|4000|B"} << QStringList();
    QTest::newRow("SRT blank lines, then words") << "1\n" + timing + "<i>A\n\n\n\nand more</i>\n" << srt << QStringList{"1000|2000|A and more"} << QStringList();
    QTest::newRow("SRT numbered block without timing") << "1\n" + timing + "A\n\n2\nLost words\n\n3\n" + later + "B\n" << srt << both << QStringList{"the block at line 5 has no timing line and is left out"};
    QTest::newRow("SRT number alone after a blank line") << "1\n" + timing + "A\n\n72\n\n2\n" + later + "B\n" << srt << both << QStringList();
    QTest::newRow("SRT words above a timing line label it") << "1\n" + timing + "A\n\nlabel\n" + later + "B\n" << srt << both << QStringList();
    QTest::newRow("SRT words after an unreadable cue") << "1\n" + timing + "A\n\n2\n00:00:0x,000 --> 00:00:04,000\nX\n\nmore X\n\n3\n" + later + "B\n" << srt << both << QStringList{unreadable + "invalid timestamp format: 00:00:0x,000"};
    QTest::newRow("two untimed blocks; numbers alone are none") << "Intro\n\n7\n\n1\n" + timing + "A\n\n2\nstray\n\nabc\n" + later + "B\n" << srt << both << QStringList{"2 blocks without a timing line are left out, the first at line 1"};
    QTest::newRow("SRT seconds out of range") << "1\n" + timing + "A\n\n2\n00:00:03,000 --> 00:00:60,000\nB\n" << srt << QStringList{"1000|2000|A"} << QStringList{unreadable + "invalid seconds in timestamp: 00:00:60,000"};
    QTest::newRow("WebVTT minutes out of range") << "WEBVTT\n\n00:00:01.000 --> 00:00:02.000\nGood\n\n00:99:00.000 --> 01:00:00.000\nBad\n" << vtt << QStringList{"1000|2000|Good"} << QStringList{unreadable + "invalid minutes in timestamp: 00:99:00.000"};
    QTest::newRow("WebVTT after CR line ends") << "WEBVTT\r\r00:00:01.000 --> 00:00:02.000\rA\r\r00:00:03.000 --> 00:00:99.000\rB\r" << vtt << QStringList{"1000|2000|A"} << QStringList{unreadable + "invalid seconds in timestamp: 00:00:99.000"};
    QTest::newRow("WebVTT arrows in text") << "WEBVTT\n\n00:01.000 --> 00:02.000\ntext0\nfoo-->\n\n00:03.000 --> 00:04.000\nB\nA --> B\n" << vtt << QStringList{"1000|2000|text0", "3000|4000|B"} << QStringList{"2 cues are left out, their timing lines cannot be read; the first at line 5: invalid timestamp format: foo"};
    QTest::newRow("WebVTT's own blocks") << "WEBVTT\nKind: captions\n\nNOTE hi\n\nSTYLE\nx\n\n00:01.000 --> 00:02.000\nA\n" << vtt << QStringList{"1000|2000|A"} << QStringList();
    // clang-format on
}

void TestSubtitleFile::leftOut() {
    QFETCH(QString, content);
    QFETCH(int, format);
    QFETCH(QStringList, cues);
    QFETCH(QStringList, notices);

    QString error;
    const std::optional<SubtitleFile> file =
        parseSubtitleContent(content, SubtitleFormat(format), &error);
    QVERIFY2(file.has_value(), qPrintable(error));
    QCOMPARE(describe(file->cues), cues);
    QCOMPARE(file->notices, notices);
}

void TestSubtitleFile::knownEncodings_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("known");

    QTest::newRow("UTF-8") << QStringLiteral("UTF-8") << true;
    QTest::newRow("utf-16le") << QStringLiteral("utf-16le") << true;
    QTest::newRow("windows-1252") << QStringLiteral("windows-1252") << true;
    QTest::newRow("CP1252") << QStringLiteral("CP1252") << true;
    QTest::newRow("iso-8859-6") << QStringLiteral("iso-8859-6") << true;
    QTest::newRow("made up") << QStringLiteral("klingon-42") << false;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("blank") << QStringLiteral("  ") << false;
}

void TestSubtitleFile::knownEncodings() {
    QFETCH(QString, name);
    QFETCH(bool, known);
    QCOMPARE(lyrane::isKnownTextEncoding(name), known);
}

void TestSubtitleFile::binaryGarbage() {
    QRandomGenerator random(20240611);
    QByteArray garbage(256 * 1024, Qt::Uninitialized);
    random.fillRange(reinterpret_cast<quint32*>(garbage.data()), garbage.size() / 4);
    // Make sure the garbage cannot pass for a header.
    garbage[0] = '\x01';

    const QString path = write(QStringLiteral("garbage.vtt"), garbage);
    QString error;
    QVERIFY(!readSubtitleFile(path, QString(), &error));
    QVERIFY2(error.endsWith(QLatin1String("name it with --encoding")), qPrintable(error));
    // Read as Latin-1, where any byte is a character, it reaches the parser.
    QVERIFY(!readSubtitleFile(path, QStringLiteral("latin1"), &error));
    QCOMPARE(error, QStringLiteral("VTT file missing WEBVTT header (not an SRT file either)"));

    // Garbage after a valid header and cue: whatever comes of it, the parse ends cleanly.
    write(QStringLiteral("garbage.vtt"),
          QByteArray("WEBVTT\n\n00:00:01.000 --> 00:00:02.000\nok\n") + garbage);
    error.clear();
    const auto file = readSubtitleFile(path, QStringLiteral("latin1"), &error);
    QVERIFY(file.has_value());
    QVERIFY(!file->cues.isEmpty());
    QCOMPARE(file->cues.first().startMs, qint64(1000));
}

void TestSubtitleFile::hugeCueLine() {
    // One 50 MB text line: no quadratic work and no crash.
    QByteArray content("WEBVTT\n\n00:00:01.000 --> 00:00:02.000\n");
    content += QByteArray(50 * 1024 * 1024, 'a');
    content += "\n";
    const QString path = write(QStringLiteral("huge.vtt"), content);
    content.clear();

    QString error;
    const auto file = readSubtitleFile(path, QString(), &error);
    QFile::remove(path);
    QVERIFY2(file.has_value(), qPrintable(error));
    QCOMPARE(file->cues.size(), 1);
    QCOMPARE(file->cues.first().text.size(), qsizetype(50 * 1024 * 1024));
}

void TestSubtitleFile::unusablePaths_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("reason");

    QTest::newRow("directory") << tempDir.path() << QStringLiteral("is a directory");
    QTest::newRow("missing file") << tempDir.filePath(QStringLiteral("missing.vtt")) << QString();
    QTest::newRow("empty path") << QString() << QStringLiteral("no file name given");
}

void TestSubtitleFile::unusablePaths() {
    QFETCH(QString, path);
    QFETCH(QString, reason);

    QString error;
    QVERIFY(!readSubtitleFile(path, QString(), &error));
    const QString prefix = QStringLiteral("failed to open VTT file: ");
    QVERIFY2(error.startsWith(prefix), qPrintable(error));
    QVERIFY2(error.size() > prefix.size(), qPrintable(error));
    if (!reason.isEmpty()) {
        QCOMPARE(error, prefix + reason);
    }
}

void TestSubtitleFile::unreadableFile() {
    if (geteuid() == 0) {
        QSKIP("file permissions do not apply to root");
    }
    const QString path = write(QStringLiteral("locked.vtt"), "WEBVTT\n");
    QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
    QString error;
    QVERIFY(!readSubtitleFile(path, QString(), &error));
    QVERIFY2(error.startsWith(QLatin1String("failed to open VTT file: ")), qPrintable(error));
}

void TestSubtitleFile::oversizedFile() {
    // Sparse, so it costs no disk space; refused before anything is read.
    const QString path = tempDir.filePath(QStringLiteral("oversized.vtt"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write("WEBVTT\n") == 7);
        QVERIFY(file.resize(qint64(129) * 1024 * 1024));
    }
    QString error;
    QVERIFY(!readSubtitleFile(path, QString(), &error));
    QFile::remove(path);
    QCOMPARE(error, QStringLiteral("failed to open VTT file: file is too large"));
}

void TestSubtitleFile::endlessDevice() {
    // A device reports no size; reading must still stop at the limit.
    if (!QFile::exists(QStringLiteral("/dev/zero"))) {
        QSKIP("no /dev/zero");
    }
    QString error;
    QVERIFY(!readSubtitleFile(QStringLiteral("/dev/zero"), QString(), &error));
    QCOMPARE(error, QStringLiteral("failed to open VTT file: file is too large"));
}

void TestSubtitleFile::randomInputNeverBreaksTheParser() {
    // Random bytes and random mixtures of the lines real files hold: every parse ends, and
    // either fails with a message or gives cues with trimmed, non-empty text.
    const QList<QByteArray> pieces{
        "WEBVTT",
        "WEBVTT - title",
        "1",
        "42",
        "-7",
        "",
        " ",
        "NOTE a comment",
        "00:00:01.000 --> 00:00:02.000",
        "00:01.000 --> 00:02.000 align:start position:0%",
        "1:00:00.000-->1:00:01.000",
        "00:00:01,000 --> 00:00:02,000",
        "00:00:61.000 --> 00:01:02.000",
        "99999999999999999999:00:00.000 --> 00:01.000",
        "00:00:01.000 -->",
        "0 --> 1",
        "-->",
        "<v Anna>Hello</v> <i>there</i>",
        "<v.loud",
        "<ruby>漢<rt>kan",
        "</rt></ruby>字",
        "so<00:00:01.920><c> we</c>",
        "&amp;&#128512;&#xD800;&#",
        "&",
        "{\\an8}{\\",
        "<font color=\"red\">red",
        "Grüße, 你好",
        "\xff\xfe\x00",
        "\xef\xbb\xbf",
    };
    const QList<QByteArray> lineEnds{"\n", "\r\n", "\r"};
    QRandomGenerator random(20261208);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QElapsedTimer timer;
    timer.start();

    for (int round = 0; round < 600; ++round) {
        QByteArray bytes;
        if (round % 3 == 0) {
            bytes.resize(random.bounded(1, 3000));
            for (char& b : bytes) {
                b = char(random.bounded(256));
            }
            if (round % 6 == 0) {
                bytes.prepend("WEBVTT\n\n00:01.000 --> 00:02.000\n");
            }
        } else {
            const int lines = random.bounded(1, 80);
            for (int i = 0; i < lines; ++i) {
                bytes += pieces[random.bounded(pieces.size())];
                bytes += lineEnds[random.bounded(lineEnds.size())];
            }
            if (round % 4 == 1) {
                bytes.truncate(random.bounded(bytes.size() + 1));
            }
        }

        const QStringList encodings{QString(), QStringLiteral("windows-1252"),
                                    QStringLiteral("UTF-16BE")};
        const QString name = round % 2 ? QStringLiteral("r.srt") : QStringLiteral("r.vtt");
        const QString path = dir.filePath(name);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(bytes), bytes.size());
        file.close();

        QString error;
        const std::optional<SubtitleFile> read =
            readSubtitleFile(path, encodings[round % encodings.size()], &error);
        const std::optional<SubtitleFile> parsedSrt =
            parseSubtitleContent(QString::fromUtf8(bytes), SubtitleFormat::Srt, &error);
        for (const std::optional<SubtitleFile>& result : {read, parsedSrt}) {
            if (!result) {
                QVERIFY2(!error.isEmpty(), qPrintable(QString::number(round)));
                continue;
            }
            for (const Cue& cue : result->cues) {
                QVERIFY(!cue.text.isEmpty());
                QCOMPARE(cue.text, cue.text.trimmed());
            }
        }
    }
    // A generous bound: the rounds take milliseconds, a hang would take forever.
    QVERIFY2(timer.elapsed() < 120000, qPrintable(QString::number(timer.elapsed())));
}

QTEST_GUILESS_MAIN(TestSubtitleFile)
#include "test_subtitle_file.moc"
