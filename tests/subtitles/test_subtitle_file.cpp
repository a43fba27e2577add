#include "subtitles/subtitle_file.h"
#include "subtitles/text_decoding.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QtTest>

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

QByteArray encoded(QStringConverter::Encoding encoding, const QString& text) {
    QStringEncoder encoder(encoding, QStringConverter::Flag::WriteBom);
    return encoder.encode(text);
}

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

void TestSubtitleFile::files_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("recogniser output without hours")
        << "talk.vtt"
        << QByteArray("WEBVTT\n\n00:00.000 --> 00:02.500\nhello there\n\n"
                      "00:02.500 --> 00:05.000\nhow are you\n")
        << QString() << QStringList{"0|2500|hello there", "2500|5000|how are you"};
    QTest::newRow("recogniser output past one hour")
        << "long.vtt"
        << QByteArray(
               "WEBVTT\n\n59:59.000 --> 01:00:00.500\nedge\n\n"
               "01:00:00.500 --> 01:00:02.000\nafter\n\n12:00:00.000 --> 12:00:01.000\nnoon\n")
        << QString()
        << QStringList{"3599000|3600500|edge", "3600500|3602000|after", "43200000|43201000|noon"};
    QTest::newRow("SRT with commas")
        << "film.srt"
        << QByteArray("1\n00:00:01,000 --> 00:00:02,500\nFirst line\nsecond line\n\n"
                      "2\n00:01:00,250 --> 00:01:02,000\n<i>Second</i>\n")
        << QString() << QStringList{"1000|2500|First line second line", "60250|62000|Second"};
    QTest::newRow("SRT with periods and CR LF")
        << "FILM.SRT"
        << QByteArray("1\r\n00:00:01.000 --> 00:00:02.000\r\nOne\r\n\r\n2\r\n"
                      "00:00:03.000 --> 00:00:04.000\r\nTwo\r\n\r\n")
        << QString() << QStringList{"1000|2000|One", "3000|4000|Two"};
    QTest::newRow("SRT recognised by its first lines")
        << "subtitles.txt"
        << QByteArray("\n\n1\n00:00:01,000 --> 00:00:02,000\nHi\n\n2\n00:00:03,000 --> "
                      "00:00:04,000\nBye\n")
        << QString() << QStringList{"1000|2000|Hi", "3000|4000|Bye"};
    QTest::newRow("SRT with missing and wrong index lines")
        << "odd.srt"
        << QByteArray("00:00:01,000 --> 00:00:02,000\nNo index\n\n7\n00:00:03,000 --> "
                      "00:00:04,000\nWrong index\n\nabc\n00:00:05,000 --> 00:00:06,000\nWord "
                      "index\n")
        << QString()
        << QStringList{"1000|2000|No index", "3000|4000|Wrong index", "5000|6000|Word index"};
    QTest::newRow("SRT markup, overrides and a number answer")
        << "marked.srt"
        << QByteArray("1\n00:00:01,000 --> 00:00:02,000\n{\\an8}<font color=\"#ffff00\">Top"
                      "</font> &amp; <b>bold</b>\n\n2\n00:00:03,000 --> 00:00:04,000\n72\n")
        << QString() << QStringList{"1000|2000|Top & bold", "3000|4000|72"};
    QTest::newRow("WebVTT header wins over an .srt name")
        << "really-vtt.srt" << shortVtt.toUtf8() << QString()
        << QStringList{"1000|2000|Grüße, 你好|Anna"};
    QTest::newRow("UTF-8 with byte-order mark")
        << "bom.vtt" << encoded(QStringConverter::Utf8, shortVtt) << QString()
        << QStringList{"1000|2000|Grüße, 你好|Anna"};
    QTest::newRow("UTF-16 little endian")
        << "le.vtt" << encoded(QStringConverter::Utf16LE, shortVtt) << QString()
        << QStringList{"1000|2000|Grüße, 你好|Anna"};
    QTest::newRow("UTF-16 big endian with CR LF")
        << "be.vtt" << encoded(QStringConverter::Utf16BE, QString(shortVtt).replace("\n", "\r\n"))
        << QString() << QStringList{"1000|2000|Grüße, 你好|Anna"};
    QTest::newRow("UTF-16 SRT") << "utf16.srt"
                                << encoded(QStringConverter::Utf16LE,
                                           QStringLiteral(
                                               "1\r\n00:00:01,000 --> 00:00:02,000\r\nÇa va ?\r\n"))
                                << QString() << QStringList{"1000|2000|Ça va ?"};
    QTest::newRow("windows-1252")
        << "legacy.srt"
        << QByteArray("1\r\n00:00:01,000 --> 00:00:02,000\r\nCaf\xe9 \x93quoted\x94 \x80 5\r\n")
        << QStringLiteral("windows-1252")
        << QStringList{"1000|2000|Café \u201Cquoted\u201D \u20AC 5"};
    QTest::newRow("iso-8859-6") << "arabic.vtt"
                                << QByteArray(
                                       "WEBVTT\n\n00:01.000 --> 00:02.000\n\xe5\xd1\xcd\xc8\xc7\n")
                                << QStringLiteral("ISO-8859-6")
                                << QStringList{"1000|2000|\u0645\u0631\u062D\u0628\u0627"};
    QTest::newRow("latin1 through Qt")
        << "latin1.vtt" << QByteArray("WEBVTT\n\n00:01.000 --> 00:02.000\nna\xefve\n")
        << QStringLiteral("latin1") << QStringList{"1000|2000|na\u00EFve"};
    QTest::newRow("byte-order mark wins over the encoding")
        << "bom-legacy.vtt" << encoded(QStringConverter::Utf8, shortVtt)
        << QStringLiteral("windows-1252") << QStringList{"1000|2000|Grüße, 你好|Anna"};
    QTest::newRow("lone carriage returns")
        << "cr.vtt"
        << QByteArray("WEBVTT\r\r1\r00:00:01.000 --> 00:00:02.000\rOne\rline\r\r2\r00:00:03.000 "
                      "--> 00:00:04.000\rTwo\r")
        << QString() << QStringList{"1000|2000|One line", "3000|4000|Two"};
    QTest::newRow("NUL becomes a replacement character")
        << "nul.vtt" << QByteArray("WEBVTT\n\n00:01.000 --> 00:02.000\na\0b\n", 36) << QString()
        << QStringList{"1000|2000|a\uFFFDb"};
    QTest::newRow("windows-1252 detected")
        << "detected.srt" << frenchInWindows1252 << QString()
        << QStringList{"1000|4000|CE FILM RELATE DES ÉVÉNEMENTS RÉELS.",
                       "4500|7000|À l’époque, personne n’y croyait.",
                       "7500|10000|« Ça ne marchera jamais », disait-il."};
    QTest::newRow("rolling automatic captions")
        << "auto.en.vtt" << rollingCaptions << QString()
        << QStringList{"160|2070|so today we talk", "2080|4950|about bread & jam",
                       "4960|7000|and so today", "7010|9000|so today we talk"};
    QTest::newRow("word timing without repeat cues is left alone")
        << "karaoke.vtt"
        << QByteArray("WEBVTT\n\n00:01.000 --> 00:03.000\nla<00:02.000><c> la</c>\n\n"
                      "00:03.000 --> 00:05.000\nla la\nla<00:04.000><c> la</c>\n")
        << QString() << QStringList{"1000|3000|la la", "3000|5000|la la la la"};
}

void TestSubtitleFile::files() {
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, encoding);
    QFETCH(QStringList, expected);

    const QString path = write(name, bytes);
    QVERIFY(!path.isEmpty());
    QString error;
    const std::optional<SubtitleFile> file = readSubtitleFile(path, encoding, &error);
    QVERIFY2(file.has_value(), qPrintable(error));
    QCOMPARE(describe(file->cues), expected);
    QVERIFY(file->noCuesReason.isEmpty());
    const QStringList detected{path + QStringLiteral(": not UTF-8; read as windows-1252, the "
                                                     "encoding detected in it (--encoding names "
                                                     "another)")};
    QCOMPARE(file->notices, bytes == frenchInWindows1252 ? detected : QStringList());
}

void TestSubtitleFile::failures_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<QString>("message");

    QTest::newRow("neither WebVTT nor SRT")
        << "notes.txt" << QByteArray("Just some notes\n00:00:01,000 --> 00:00:02,000\nHi\n")
        << QString() << QStringLiteral("VTT file missing WEBVTT header (not an SRT file either)");
    QTest::newRow("SRT seconds out of range")
        << "bad.srt"
        << QByteArray("1\n00:00:01,000 --> 00:00:02,000\nA\n\n2\n00:00:03,000 --> "
                      "00:00:60,000\nB\n")
        << QString() << QStringLiteral("invalid seconds in timestamp: 00:00:60,000 (line 6)");
    QTest::newRow("SRT minutes out of range after CR LF")
        << "bad-crlf.srt" << QByteArray("\r\n1\r\n00:75:00,000 --> 00:76:00,000\r\nA\r\n")
        << QString() << QStringLiteral("invalid minutes in timestamp: 00:75:00,000 (line 3)");
    QTest::newRow("WebVTT line counted in UTF-16")
        << "bad16.vtt"
        << encoded(QStringConverter::Utf16LE,
                   QStringLiteral("WEBVTT\r\n\r\nNOTE\r\n\r\n00:00:01.000 --> 00:00:02.000\r\n"
                                  "A\r\n\r\n00:00:61.000 --> 00:01:02.000\r\nB\r\n"))
        << QString() << QStringLiteral("invalid seconds in timestamp: 00:00:61.000 (line 8)");
    QTest::newRow("unknown encoding")
        << "any.vtt" << QByteArray("WEBVTT\n") << QStringLiteral("no-such-encoding-x")
        << QStringLiteral("failed to open VTT file: unknown text encoding: no-such-encoding-x");
    // Text that does not decode stops the run; "$FILE" stands for the file's path.
    const QByteArray cue = "WEBVTT\n\n00:01.000 --> 00:02.000\n";
    const QString ofBom = QStringLiteral(", the encoding its byte-order mark names");
    const QString ofOption = QStringLiteral(", the encoding --encoding names");
    // clang-format off
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
    QTest::addColumn<QString>("reason");

    QTest::newRow("header only") << QStringLiteral("WEBVTT\n") << int(SubtitleFormat::WebVtt)
                                 << QString();
    QTest::newRow("cues without text") << QStringLiteral("WEBVTT\n\n00:01.000 --> 00:02.000\n\n")
                                       << int(SubtitleFormat::WebVtt) << QString();
    QTest::newRow("comma timestamps in WebVTT")
        << QStringLiteral("WEBVTT\n\n1\n00:00:01,000 --> 00:00:02,000\nA\n\n2\n00:00:03,000 --> "
                          "00:00:04,000\nB\n")
        << int(SubtitleFormat::WebVtt)
        << QStringLiteral("no timing line could be read; 2 unusable, the first at line 4: "
                          "invalid timestamp format: 00:00:01,000");
    QTest::newRow("four fraction digits in SRT")
        << QStringLiteral("1\n00:00:01,5000 --> 00:00:02,000\nA\n") << int(SubtitleFormat::Srt)
        << QStringLiteral("no timing line could be read; 1 unusable, the first at line 2: "
                          "invalid timestamp format: 00:00:01,5000");
    QTest::newRow("bad end timestamp")
        << QStringLiteral("WEBVTT\n00:00:01.000 --> soon\nA\n") << int(SubtitleFormat::WebVtt)
        << QStringLiteral("no timing line could be read; 1 unusable, the first at line 2: "
                          "invalid timestamp format: soon");
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
    QCOMPARE(file->noCuesReason, reason);
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
    QTest::newRow("SRT four digits") << "00:00:01,0000 --> 00:00:02,000" << srt << "";
    QTest::newRow("SRT separator without digits") << "00:00:01, --> 00:00:02,000" << srt << "";
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

    const QString timing = QStringLiteral("00:00:01,000 --> 00:00:02,000\n");
    const QString later = QStringLiteral("00:00:03,000 --> 00:00:04,000\n");
    // clang-format off
    QTest::newRow("text without a timing line") << "1\n" + timing + "A\n\nLost words\nmore\n\n2\n" + later + "B\n" << int(SubtitleFormat::Srt) << QStringList{"1000|2000|A", "3000|4000|B"} << QStringList{"the block at line 5 has no timing line and is left out"};
    QTest::newRow("two such blocks; numbers and labels are none") << "Intro\n\n7\n\n1\n" + timing + "A\n\nstray\n\nabc\n" + later + "B\n" << int(SubtitleFormat::Srt) << QStringList{"1000|2000|A", "3000|4000|B"} << QStringList{"2 blocks without a timing line are left out, the first at line 1"};
    QTest::newRow("timing line that cannot be read") << "1\n" + timing + "A\n\n2\n00:00:0x,000 --> 00:00:04,000\nB\n" << int(SubtitleFormat::Srt) << QStringList{"1000|2000|A"} << QStringList{"the cue at line 6 is left out, its timing line cannot be read: invalid timestamp format: 00:00:0x,000"};
    QTest::newRow("WebVTT's own blocks") << "WEBVTT\nKind: captions\n\nNOTE hi\n\nSTYLE\nx\n\n00:01.000 --> 00:02.000\nA\n" << int(SubtitleFormat::WebVtt) << QStringList{"1000|2000|A"} << QStringList();
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
