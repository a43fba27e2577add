#include "subtitles/dapt_writer.h"
#include "subtitles/read_outcome.h"
#include "test_files.h"

#include <QRandomGenerator>
#include <QXmlStreamReader>
#include <QtTest>

using namespace lyrane;

namespace {

// A document: the declaration on line 1, <tt> on line 2, the head on line 3, the body from 4.
QByteArray ttml(const QString& root, const QString& head, const QString& body) {
    return QStringLiteral(
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<tt "
               "xmlns=\"http://www.w3.org/ns/ttml\" "
               "xmlns:ttp=\"http://www.w3.org/ns/ttml#parameter\" "
               "xmlns:tta=\"http://www.w3.org/ns/ttml#audio\" "
               "xmlns:ttm=\"http://www.w3.org/ns/ttml#metadata\" "
               "xmlns:daptm=\"http://www.w3.org/ns/ttml/profile/dapt#metadata\" "
               "xmlns:ebuttm=\"urn:ebu:tt:metadata\" xml:lang=\"en\" %1>\n<head>%2</head>\n"
               "<body>%3</body></tt>\n")
        .arg(root, head, body)
        .toUtf8();
}

const QString agents = QStringLiteral(
    "<metadata><ttm:agent type=\"person\" xml:id=\"actor\"><ttm:name type=\"full\">Jo Bloggs"
    "</ttm:name></ttm:agent><ttm:agent type=\"character\" xml:id=\"c1\"><ttm:name type=\"full\">"
    "Clerk Full</ttm:name><ttm:name type=\"alias\">DESK  CLERK</ttm:name><ttm:actor "
    "agent=\"actor\"/></ttm:agent></metadata>");

QString origin(const QString& timecode) {
    return QStringLiteral("<metadata><daptm:daptOriginTimecode>%1</daptm:daptOriginTimecode>"
                          "</metadata>")
        .arg(timecode);
}

// An embedded clip, longer than one piece of base64.
QByteArray clipBytes() {
    QByteArray bytes("RIFF");
    for (int i = 0; bytes.size() < 100001; ++i) {
        bytes += char(i * 7);
    }
    return bytes;
}

// Each event's div as written, one line: its times and agent, the p's gain, the animations,
// the span's times and its clip.
QStringList structure(const QByteArray& document) {
    QXmlStreamReader xml(document);
    QStringList events;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement) {
            continue;
        }
        const QXmlStreamAttributes a = xml.attributes();
        const auto value = [&a](const char* ns, const char* name) {
            return a.value(QLatin1String(ns), QLatin1String(name)).toString();
        };
        const QString name = xml.name().toString();
        const char* tta = "http://www.w3.org/ns/ttml#audio";
        if (name == QLatin1String("div")) {
            events << QStringLiteral("%1 %2-%3 %4")
                          .arg(value("http://www.w3.org/XML/1998/namespace", "id"),
                               value("", "begin"), value("", "end"),
                               value("http://www.w3.org/ns/ttml#metadata", "agent"));
        } else if (name == QLatin1String("p") && !value(tta, "gain").isEmpty()) {
            events.last() += QStringLiteral(" / gain %1").arg(value(tta, "gain"));
        } else if (name == QLatin1String("animate")) {
            events.last() += QStringLiteral(" / animate %1-%2 %3 %4")
                                 .arg(value("", "begin"), value("", "end"), value(tta, "gain"),
                                      value("", "fill"));
        } else if (name == QLatin1String("span")) {
            events.last() +=
                QStringLiteral(" / span %1-%2").arg(value("", "begin"), value("", "end"));
        } else if (name == QLatin1String("audio") && !value("", "src").isEmpty()) {
            events.last() += QStringLiteral(" / %1 %2").arg(value("", "src"), value("", "type"));
        } else if (name == QLatin1String("data")) {
            const QString type = value("", "type");
            const bool clip =
                QByteArray::fromBase64(xml.readElementText().toLatin1()) == clipBytes();
            events.last() +=
                QStringLiteral(" / %1 %2").arg(type, clip ? "the clip" : "other bytes");
        }
    }
    return events;
}

DaptEvent recorded(const QString& id, qint64 begin, qint64 end, const QString& text,
                   std::optional<DaptDucking> ducking = std::nullopt) {
    DaptEvent e;
    e.id = id;
    e.beginMs = begin;
    e.endMs = end;
    e.text = text;
    e.clipLink = id + QStringLiteral(".wav");
    e.ducking = ducking;
    return e;
}

DaptDucking ducking(bool lowers, bool restores) {
    DaptDucking d;
    d.lowers = lowers;
    d.restores = restores;
    return d;
}

} // namespace

class TestDapt : public QObject {
    Q_OBJECT

private slots:
    void reading_data();
    void reading();
    void writing_data();
    void writing();
    void writtenScriptsReadBackAsWritten();

private:
    QTemporaryDir dir;
};

void TestDapt::reading_data() {
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QString>("rate");
    QTest::addColumn<QString>("origin");
    QTest::addColumn<QStringList>("expected");
    const QString nested = QStringLiteral("<span>").repeated(70) + QStringLiteral("A");
    // clang-format off
    QTest::newRow("times nest and are cut at the parent's end") << ttml("", "", "<div begin=\"10s\" end=\"20s\"><p begin=\"1s\"><span begin=\"0.5s\" end=\"2s\">Hi</span></p></div><div begin=\"1s\" end=\"3s\"><p><span end=\"5s\">A</span> <span begin=\"0.5s\">B</span></p></div>") << "" << "" << QStringList{"11500|13000|Hi", "1000|3000|A B"};
    QTest::newRow("clock, offsets and frames") << ttml("ttp:frameRate=\"25\"", "", "<div begin=\"00:00:01.500\" end=\"00:01:00:12\"><p>A</p></div><div begin=\"25f\" end=\"0.001h\"><p>B</p></div><div begin=\"200ms\" dur=\"1.25s\" end=\"9s\"><p>C</p></div>") << "" << "" << QStringList{"1500|60480|A", "1000|3600|B", "200|1450|C"};
    QTest::newRow("frame rate multiplier and ticks") << ttml("ttp:frameRate=\"30\" ttp:frameRateMultiplier=\"1000 1001\"", "", "<div begin=\"1800f\" end=\"00:01:00:03\"><p>A</p></div><div begin=\"30t\" end=\"2s\"><p>B</p></div>") << "" << "" << QStringList{"60060|60100|A", "1001|2000|B"};
    QTest::newRow("tick rate; frames at --frame-rate") << ttml("ttp:tickRate=\"10000000\"", "", "<div begin=\"15000000t\" end=\"48f\"><p>A</p></div>") << "23.976" << "" << QStringList{"1500|2002|A"};
    QTest::newRow("white space collapses") << ttml("", "", "<div begin=\"0s\" end=\"1s\"><p>\n  Hello,\n\t<span>big</span>   <span> wide </span> world <br/> again </p></div>") << "" << "" << QStringList{"0|1000|Hello, big wide world again"};
    QTest::newRow("xml:space preserve") << ttml("", "", "<div begin=\"0s\" end=\"1s\" xml:space=\"preserve\"><p>x  <span xml:space=\"default\">y   z</span></p></div>") << "" << "" << QStringList{"0|1000|x  y z"};
    QTest::newRow("references and CDATA") << ttml("", "", "<div begin=\"0s\" end=\"1s\"><p>Fish &amp; chips &#x263A; &lt;3 &#65; <![CDATA[<raw>]]></p></div>") << "" << "" << QStringList{"0|1000|Fish & chips \u263A <3 A <raw>"};
    QTest::newRow("namespaces by URI") << QByteArray("<x:tt xmlns:x=\"http://www.w3.org/ns/ttml\" xmlns:m=\"http://www.w3.org/ns/ttml#metadata\" xmlns=\"urn:other\"><x:body><x:div begin=\"1s\" end=\"2s\" m:agent=\"n\"><x:p>A<note>not text</note></x:p></x:div><div><p>foreign</p></div></x:body></x:tt>") << "" << "" << QStringList{"1000|2000|A|n"};
    QTest::newRow("speakers") << ttml("", agents, "<div ttm:agent=\"c1\" begin=\"0s\" end=\"1s\"><p>A</p></div><div ttm:agent=\"c1\" begin=\"1s\" end=\"2s\"><p ttm:agent=\"actor c1\">B</p></div><div daptm:represents=\"visual.text\" begin=\"2s\" end=\"3s\"><p>C</p></div><div ttm:agent=\"ghost\" begin=\"3s\" end=\"4s\"><p>D</p></div>") << "" << "" << QStringList{"0|1000|A|DESK CLERK", "1000|2000|B|Jo Bloggs", "2000|3000|C|visual.text", "3000|4000|D|ghost"};
    QTest::newRow("languages") << ttml("", "", "<div begin=\"0s\" end=\"1s\"><p xml:lang=\"fr\">Bonjour</p><p>Hello</p></div>\n<div begin=\"1s\" end=\"2s\" xml:lang=\"de\"><p>Hallo</p><p>Welt</p></div>") << "" << "" << QStringList{"0|1000|Hello", "1000|2000|Hallo Welt", "~ $FILE: line 4: 1 p element(s) in another language than the document's are left out, the first in this div"};
    QTest::newRow("speech rate ignored") << ttml("", "<styling><style xml:id=\"s\" tta:speak=\"normal\"/></styling>", "<div begin=\"0s\" end=\"1s\">\n<p tta:speak=\"fast\">A</p></div><div begin=\"1s\" end=\"2s\"><p tta:speak=\"slow\">B</p></div>") << "" << "" << QStringList{"0|1000|A", "1000|2000|B", "~ $FILE: line 5: speech rate and pitch (tta:speak=\"fast\") are ignored: each description is spoken at its voice's own pace"};
    QTest::newRow("text timed outside its parent") << ttml("", "", "<div begin=\"1s\" end=\"2s\"><p>A <span begin=\"5s\">gone</span></p></div><div begin=\"1s\" end=\"2s\"><p begin=\"3s\">all gone</p></div>") << "" << "" << QStringList{"1000|2000|A", "~ $FILE: line 4: 2 text(s) timed outside their parent are left out, the first here"};
    QTest::newRow("origin timecode against --timecode-origin") << ttml("ttp:frameRate=\"25\"", origin("10:00:00:00"), "<div begin=\"1s\" end=\"2s\"><p>A</p></div>") << "25" << "09:59:50:00" << QStringList{"11000|12000|A"};
    QTest::newRow("origin timecode against the start of programme") << ttml("", origin("10:00:00;00") + "<metadata><ebuttm:documentStartOfProgramme>10:00:01;00</ebuttm:documentStartOfProgramme></metadata>", "<div begin=\"5s\" end=\"6s\"><p>A</p></div>") << "29.97" << "" << QStringList{"3999|4999|A"};
    QTest::newRow("origin timecode alone moves nothing") << ttml("", origin("10:00:00:00"), "<div begin=\"5s\" end=\"6s\"><p>A</p></div>") << "" << "" << QStringList{"5000|6000|A"};
    QTest::newRow("--timecode-origin without one") << ttml("", "", "<div begin=\"10:00:05.000\" end=\"10:00:06.000\"><p>A</p></div>") << "25" << "10:00:00:00" << QStringList{"5000|6000|A"};
    QTest::newRow("before the origin") << ttml("", "", "<div begin=\"5s\" end=\"6s\"><p>A</p></div>") << "25" << "10:00:00:00" << QStringList{"! $FILE: line 4: this div begins before the programme's first frame (the timecode origin)"};
    QTest::newRow("origin timecode without a frame rate") << ttml("", origin("10:00:00:00") + "<metadata><ebuttm:documentStartOfProgramme>10:00:00:00</ebuttm:documentStartOfProgramme></metadata>", "<div begin=\"5s\" end=\"6s\"><p>A</p></div>") << "" << "" << QStringList{"! $FILE: line 3: daptm:daptOriginTimecode needs a frame rate: ttp:frameRate on <tt>, or --frame-rate"};
    QTest::newRow("other time bases") << ttml("ttp:timeBase=\"smpte\"", "", "") << "" << "" << QStringList{"! $FILE: line 2: ttp:timeBase=\"smpte\" is not supported: a DAPT script is timed in media time"};
    QTest::newRow("sequential timing") << ttml("", "", "<div timeContainer=\"seq\"/>") << "" << "" << QStringList{"! $FILE: line 4: timeContainer=\"seq\" is not supported: a DAPT script's times are all relative to their parent's begin"};
    QTest::newRow("unreadable time") << ttml("", "", "\n<div begin=\"5x\" end=\"6s\"/>") << "" << "" << QStringList{"! $FILE: line 5: begin of <div>: \"5x\" is no time expression (hh:mm:ss.fff, hh:mm:ss:ff, or a number with h, m, s, ms, f or t)"};
    QTest::newRow("frame past the rate") << ttml("ttp:frameRate=\"25\"", "", "<div begin=\"00:00:01:25\" end=\"6s\"/>") << "" << "" << QStringList{"! $FILE: line 4: begin of <div>: \"00:00:01:25\" is no time expression (hh:mm:ss.fff, hh:mm:ss:ff, or a number with h, m, s, ms, f or t)"};
    QTest::newRow("text without an end") << ttml("", "", "<div begin=\"1s\"><p>A</p></div>") << "" << "" << QStringList{"! $FILE: line 4: the text of this div has no end time: no end or dur on it, its p or span, or around them"};
    QTest::newRow("nested too deep") << ttml("", "", "<div begin=\"0s\" end=\"1s\"><p>" + nested) << "" << "" << QStringList{"! $FILE: line 4: elements are nested more than 64 deep"};
    QTest::newRow("not TTML") << QByteArray("<?xml version=\"1.0\"?>\n<html xmlns=\"http://www.w3.org/1999/xhtml\"><body/></html>") << "" << "" << QStringList{"! $FILE: line 2: not a TTML document: the root element is <html> in http://www.w3.org/1999/xhtml, a DAPT script's is <tt> in http://www.w3.org/ns/ttml"};
    QTest::newRow("bad XML") << ttml("", "", "<div begin=\"0s\" end=\"1s\"><p>A</div>") << "" << "" << QStringList{"! $FILE: line 4: not well-formed XML (column 41): Opening and ending tag mismatch."};
    QTest::newRow("undefined entity") << ttml("", "", "<div begin=\"0s\" end=\"1s\"><p>&nbsp;</p></div>") << "" << "" << QStringList{"! $FILE: line 4: not well-formed XML (column 40): Entity 'nbsp' not declared."};
    // clang-format on
}

void TestDapt::reading() {
    QFETCH(QByteArray, document);
    QFETCH(QString, rate);
    QFETCH(QString, origin);
    QFETCH(QStringList, expected);
    const QString path = test::writeTestFile(dir, QStringLiteral("script.ttml"), document);
    QCOMPARE(test::readOutcome(path, test::readingOptions(rate, origin)), expected);
}

void TestDapt::writing_data() {
    QTest::addColumn<QList<DaptEvent>>("events");
    QTest::addColumn<QStringList>("expected");
    DaptEvent spoken = recorded("d1", 9850, 13400, "A door opens.");
    spoken.agentId = QStringLiteral("narrator");
    DaptEvent embedded = recorded("d1", 1000, 2000, "Embedded.");
    embedded.embedClip = true;
    DaptDucking deeper = ducking(true, true);
    deeper.depthDb = 20;
    // clang-format off
    QTest::newRow("plain") << QList<DaptEvent>{spoken} << QStringList{"d1 00:00:09.850-00:00:13.400 narrator / span 00:00:00.000-00:00:03.550 / d1.wav audio/wave"};
    QTest::newRow("ducked") << QList<DaptEvent>{recorded("d1", 9850, 13400, "A", ducking(true, true))} << QStringList{"d1 00:00:09.700-00:00:13.800  / animate 00:00:00.000-00:00:00.150 1;0.316 freeze / animate 00:00:03.700-00:00:04.100 0.316;1  / span 00:00:00.150-00:00:03.700 / d1.wav audio/wave"};
    QTest::newRow("20 dB") << QList<DaptEvent>{recorded("d1", 1000, 2000, "A", deeper)} << QStringList{"d1 00:00:00.850-00:00:02.400  / animate 00:00:00.000-00:00:00.150 1;0.1 freeze / animate 00:00:01.150-00:00:01.550 0.1;1  / span 00:00:00.150-00:00:01.150 / d1.wav audio/wave"};
    QTest::newRow("shared ducking") << QList<DaptEvent>{recorded("d1", 1000, 2000, "A", ducking(true, false)), recorded("d2", 2300, 3000, "B", ducking(false, false)), recorded("d3", 3100, 4000, "C", ducking(false, true))} << QStringList{"d1 00:00:00.850-00:00:02.300  / animate 00:00:00.000-00:00:00.150 1;0.316 freeze / span 00:00:00.150-00:00:01.150 / d1.wav audio/wave", "d2 00:00:02.300-00:00:03.100  / gain 0.316 / span 00:00:00.000-00:00:00.700 / d2.wav audio/wave", "d3 00:00:03.100-00:00:04.400  / gain 0.316 / animate 00:00:00.900-00:00:01.300 0.316;1  / span 00:00:00.000-00:00:00.900 / d3.wav audio/wave"};
    QTest::newRow("attack cut by the start") << QList<DaptEvent>{recorded("d1", 100, 500, "A", ducking(true, true))} << QStringList{"d1 00:00:00.000-00:00:00.900  / animate 00:00:00.000-00:00:00.100 0.772;0.316 freeze / animate 00:00:00.500-00:00:00.900 0.316;1  / span 00:00:00.100-00:00:00.500 / d1.wav audio/wave"};
    QTest::newRow("clip at zero steps down") << QList<DaptEvent>{recorded("d1", 0, 500, "A", ducking(true, true))} << QStringList{"d1 00:00:00.000-00:00:00.900  / gain 0.316 / animate 00:00:00.500-00:00:00.900 0.316;1  / span 00:00:00.000-00:00:00.500 / d1.wav audio/wave"};
    QTest::newRow("embedded clip") << QList<DaptEvent>{embedded} << QStringList{"d1 00:00:01.000-00:00:02.000  / span 00:00:00.000-00:00:01.000 / audio/wave the clip"};
    // clang-format on
}

void TestDapt::writing() {
    QFETCH(QList<DaptEvent>, events);
    QFETCH(QStringList, expected);
    DaptScript script;
    script.agents = {{QStringLiteral("narrator"), QStringLiteral("The Narrator")}};
    script.events = events;
    const QString path = dir.filePath(QStringLiteral("written.ttml"));
    QString error;
    const DaptClipBytes clip = [](qsizetype, QString*) {
        return clipBytes();
    };
    QVERIFY2(saveDaptDocument(script, path, clip, &error), qPrintable(error));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(structure(file.readAll()), expected);

    // Read back, each cue is where its clip plays, spoken by its agent.
    QStringList cues;
    for (const DaptEvent& e : events) {
        cues << QStringLiteral("%1|%2|%3|%4")
                    .arg(e.beginMs)
                    .arg(e.endMs)
                    .arg(e.text, e.agentId.isEmpty() ? QStringLiteral("visual.nonText")
                                                     : QStringLiteral("The Narrator"));
    }
    QCOMPARE(test::readOutcome(path, SubtitleReadingOptions()), cues);
}

// Random scripts, their texts full of what XML escapes, come back from the reader as written.
void TestDapt::writtenScriptsReadBackAsWritten() {
    QRandomGenerator random(7);
    const QStringList words{"<door>", "&amp;", "\"quoted\"", "it's", "café",
                            "😀",      "a  b",  "tab\there",  "]]>",  "\u00A0nbsp"};
    for (int round = 0; round < 20; ++round) {
        DaptScript script;
        script.language = QStringLiteral("fr-CA");
        script.agents = {{QStringLiteral("a1"), QStringLiteral("Anna <&> \"A\"")},
                         {QStringLiteral("a2"), QStringLiteral("Ben")}};
        QStringList expected;
        qint64 at = random.bounded(5000);
        for (int i = 0; i < 30; ++i) {
            QStringList text;
            for (int w = 0, n = 1 + random.bounded(6); w < n; ++w) {
                text << words[random.bounded(words.size())];
            }
            const qint64 length = random.bounded(4000);
            DaptEvent e = recorded(QStringLiteral("d%1").arg(i), at, at + length, text.join(' '));
            e.agentId = QStringList{"", "a1", "a2"}[random.bounded(3)];
            if (random.bounded(2)) {
                e.ducking = ducking(random.bounded(2), random.bounded(2));
            }
            script.events << e;
            expected << QStringLiteral("%1|%2|%3|%4")
                            .arg(at)
                            .arg(at + length)
                            .arg(e.text.trimmed(), QString(e.agentId.isEmpty() ? "visual.nonText"
                                                           : e.agentId == "a1" ? "Anna <&> \"A\""
                                                                               : "Ben"));
            at += length + random.bounded(3000);
        }
        const QString path =
            test::writeTestFile(dir, QStringLiteral("round.ttml"), daptDocument(script));
        QCOMPARE(test::readOutcome(path, SubtitleReadingOptions()), expected);
    }
}

QTEST_GUILESS_MAIN(TestDapt)
#include "test_dapt.moc"
