#include "subtitles/cue_markup.h"

#include <QtTest>

using lyrane::cleanCueLine;
using lyrane::CueDialect;
using lyrane::CueMarkupState;

class TestCueMarkup : public QObject {
    Q_OBJECT

private slots:
    void cleaning_data();
    void cleaning();
    void dialects_data();
    void dialects();
    void stateAcrossLines();
    void speakers_data();
    void speakers();
};

void TestCueMarkup::cleaning_data() {
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("expected");

    QTest::newRow("plain text is returned as is")
        << QStringLiteral("Plain words, 42 — ok?") << QStringLiteral("Plain words, 42 — ok?");
    QTest::newRow("italics bold underline")
        << QStringLiteral("<i>one</i> <b>two</b> <u>three</u>") << QStringLiteral("one two three");
    QTest::newRow("class span") << QStringLiteral("<c.yellow.bg_blue>Warning</c> now")
                                << QStringLiteral("Warning now");
    QTest::newRow("pause kept for the narration")
        << QStringLiteral("Wait<break time=\"1s\"/> <i>now</i>")
        << QStringLiteral("Wait<break time=\"1s\"/> now");
    QTest::newRow("language span")
        << QStringLiteral("<lang fr>Bonjour</lang>!") << QStringLiteral("Bonjour!");
    QTest::newRow("voice span open and close")
        << QStringLiteral("<v Anna>Hi</v> there") << QStringLiteral("Hi there");
    QTest::newRow("voice span with class")
        << QStringLiteral("<v.loud Anna>Stop!</v>") << QStringLiteral("Stop!");
    QTest::newRow("ruby keeps the base")
        << QStringLiteral("<ruby>漢<rt>kan</rt>字<rt>ji</rt></ruby>です")
        << QStringLiteral("漢字です");
    QTest::newRow("ruby annotation closed by the ruby end")
        << QStringLiteral("<ruby>東京<rt>とうきょう</ruby>へ") << QStringLiteral("東京へ");
    QTest::newRow("inline timestamps and c spans")
        << QStringLiteral("so<00:00:01.920><c> we</c><00:00:02.160><c> went</c>")
        << QStringLiteral("so we went");
    QTest::newRow("hour-less inline timestamp")
        << QStringLiteral("a<00:01.500>b") << QStringLiteral("ab");
    QTest::newRow("named references")
        << QStringLiteral("Tom &amp; Jerry &lt;3 &gt; &quot;q&quot; &apos;s")
        << QStringLiteral("Tom & Jerry <3 > \"q\" 's");
    QTest::newRow("no-break space and direction marks")
        << QStringLiteral("a&nbsp;b &lrm;c&rlm;") << QStringLiteral("a\u00A0b \u200Ec\u200F");
    QTest::newRow("numeric references")
        << QStringLiteral("&#39;&#x263A;&#X263a;&#128512;")
        << QStringLiteral("'\u263A\u263A") + QString::fromUcs4(U"\U0001F600", 1);
    QTest::newRow("numeric references out of range")
        << QStringLiteral("&#0;&#xD800;&#x110000;&#99999999;")
        << QString(4, QChar::ReplacementCharacter);
    QTest::newRow("references that are not")
        << QStringLiteral("AT&T & co &unknown; &#; &#xZ; &amp R&notes &notit; &Amp; &#65")
        << QStringLiteral("AT&T & co &unknown; &#; &#xZ; &amp R&notes &notit; &Amp; &#65");
    // clang-format off
    QTest::newRow("names in their letter case") << QStringLiteral("TOM &AMP; JERRY &notin; &ClockwiseContourIntegral; &Eacute;&eacute;") << QStringLiteral("TOM & JERRY \u2209 \u2232 \u00C9\u00E9");
    QTest::newRow("names of two code points, beyond the BMP") << QStringLiteral("&NotEqualTilde;&fjlig;&Afr;") << QStringLiteral("\u2242\u0338fj") + QString::fromUcs4(U"\U0001D504", 1);
    QTest::newRow("names that begin other names") << QStringLiteral("[&emsp;&emsp13;&emsp14;&not;&notin;&notinva;]") << QStringLiteral("[\u2003\u2004\u2005\u00AC\u2209\u2209]");
    QTest::newRow("the longest name, and one letter more") << QStringLiteral("&CounterClockwiseContourIntegral;&CounterClockwiseContourIntegrals;") << QStringLiteral("\u2233&CounterClockwiseContourIntegrals;");
    QTest::newRow("C1 numbers read as windows-1252") << QStringLiteral("&#128;&#x99;&#x9F;&#x81;") << QStringLiteral("\u20AC\u2122\u0178\u0081");
    QTest::newRow("leading zeros and long numbers") << QStringLiteral("&#00000000000065;&#x000000041;&#x1234567890ABCDEF;") << QStringLiteral("AA\uFFFD");
    // clang-format on
    QTest::newRow("font tags") << QStringLiteral(
                                      "<font color=\"#ff0000\" face=\"Arial\">Red</font>")
                               << QStringLiteral("Red");
    QTest::newRow("override blocks")
        << QStringLiteral("{\\an8}{\\i1}Top{\\i0} line") << QStringLiteral("Top line");
    QTest::newRow("braces that are no override stay")
        << QStringLiteral("{curly} {\\unclosed") << QStringLiteral("{curly} {\\unclosed");
    QTest::newRow("markup around the words is trimmed")
        << QStringLiteral("<i> spaced </i>") << QStringLiteral("spaced");
    QTest::newRow("only markup") << QStringLiteral("<v Anna></v>") << QString();
    QTest::newRow("reference inside a tag is not decoded")
        << QStringLiteral("<c.a&amp;b>x</c>") << QStringLiteral("x");
}

void TestCueMarkup::cleaning() {
    QFETCH(QString, line);
    QFETCH(QString, expected);

    for (const CueDialect dialect : {CueDialect::Srt, CueDialect::WebVtt}) {
        CueMarkupState state(dialect);
        const QString cleaned = cleanCueLine(line, state, nullptr);
        QCOMPARE(cleaned, expected);
        QVERIFY(!state.inRubyAnnotation);
    }
}

// Where SRT and WebVTT differ, and subtitle editors' escapes and codes.
void TestCueMarkup::dialects_data() {
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("dialects");

    const QString srt = QStringLiteral("SRT");
    const QString vtt = QStringLiteral("VTT");
    const QString both = QStringLiteral("SRT VTT");
    QTest::newRow("a less-than sign that opens no tag")
        << QStringLiteral("1 < 2 and 3 <= 4") << QStringLiteral("1 < 2 and 3 <= 4") << srt;
    QTest::newRow("unclosed tag is text")
        << QStringLiteral("<i>if</i> a<b then c") << QStringLiteral("if a<b then c") << srt;
    QTest::newRow("many openers without closers")
        << QString(QStringLiteral("<a&a{\\")).repeated(2000)
        << QString(QStringLiteral("<a&a{\\")).repeated(2000) << srt;
    // clang-format off
    // WebVTT's tokenizer: every '<' opens a tag, one left open takes the rest of the cue.
    QTest::newRow("unclosed start tag") << QStringLiteral("<c It's a blue apple tree!") << QString() << vtt;
    QTest::newRow("unclosed end tag") << QStringLiteral("This is </c awesome!") << QStringLiteral("This is") << vtt;
    QTest::newRow("tag opened by a space") << QStringLiteral("< 00:01.000>That's awesome!") << QStringLiteral("That's awesome!") << vtt;
    QTest::newRow("less-than in WebVTT") << QStringLiteral("x < y") << QStringLiteral("x") << vtt;
    QTest::newRow("openers in WebVTT") << QString(QStringLiteral("<a&a{\\")).repeated(2000) << QString() << vtt;
    QTest::newRow("SRT heart and less-than") << QStringLiteral("<3 you, x < y") << QStringLiteral("<3 you, x < y") << srt;
    QTest::newRow("SRT comparisons") << QStringLiteral("If x<3 and y>5 we stop. Score 2<3 but 7>4") << QStringLiteral("If x<3 and y>5 we stop. Score 2<3 but 7>4") << srt;
    QTest::newRow("SRT inline timestamps") << QStringLiteral("so<00:00:01.920> we<00:02,160> went <1:00:00.000>on") << QStringLiteral("so we went on") << srt;
    QTest::newRow("SRT timestamp left open") << QStringLiteral("at <00:00:01.000 sharp>") << QStringLiteral("at <00:00:01.000 sharp>") << srt;
    QTest::newRow("reading outside ruby is text") << QStringLiteral("<rt>kan</rt> alone") << QStringLiteral("kan alone") << both;
    QTest::newRow("line break escapes") << QStringLiteral("One\\Ntwo \\N three\\nfour") << QStringLiteral("One two three four") << both;
    QTest::newRow("hard spaces") << QStringLiteral("\\h\\h\\h\\h\\hA b\\hc") << QStringLiteral("A b c") << both;
    QTest::newRow("other backslashes stay") << QStringLiteral("C:\\dir \\x \\") << QStringLiteral("C:\\dir \\x \\") << both;
    QTest::newRow("editor codes") << QStringLiteral("{Y:i}Slanted{y:b} {c:$0000FF}bold{\\an8}") << QStringLiteral("Slanted bold") << both;
    QTest::newRow("braces around words stay") << QStringLiteral("{laughs} {Note: later} {x:1") << QStringLiteral("{laughs} {Note: later} {x:1") << both;
    // clang-format on
}

void TestCueMarkup::dialects() {
    QFETCH(QString, line);
    QFETCH(QString, expected);
    QFETCH(QString, dialects);

    for (const CueDialect dialect : {CueDialect::Srt, CueDialect::WebVtt}) {
        if (dialects.contains(dialect == CueDialect::Srt ? QLatin1String("SRT")
                                                         : QLatin1String("VTT"))) {
            CueMarkupState state(dialect);
            QCOMPARE(cleanCueLine(line, state, nullptr), expected);
        }
    }
}

void TestCueMarkup::stateAcrossLines() {
    CueMarkupState state(CueDialect::WebVtt);
    QCOMPARE(cleanCueLine(u"<ruby>base<rt>anno", state, nullptr), QStringLiteral("base"));
    QVERIFY(state.inRubyAnnotation);
    QCOMPARE(cleanCueLine(u"tation</rt> after", state, nullptr), QStringLiteral("after"));
    QVERIFY(!state.inRubyAnnotation);

    // A WebVTT tag left open goes on on the next line.
    CueMarkupState open(CueDialect::WebVtt);
    QString speaker;
    QCOMPARE(cleanCueLine(u"Hi <v Anna", open, &speaker), QStringLiteral("Hi"));
    QCOMPARE(cleanCueLine(u"Maria", open, &speaker), QString());
    QCOMPARE(cleanCueLine(u"Smith>there", open, &speaker), QStringLiteral("there"));
    QCOMPARE(speaker, QStringLiteral("Anna Maria Smith"));
}

void TestCueMarkup::speakers_data() {
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QString>("speaker");
    QTest::addColumn<QString>("text");

    QTest::newRow("voice span") << QStringList{"<v Anna>Hello"} << QStringLiteral("Anna")
                                << QStringLiteral("Hello");
    QTest::newRow("voice span with classes and spaces")
        << QStringList{"<v.loud.angry   Anna   Smith >Go"} << QStringLiteral("Anna Smith")
        << QStringLiteral("Go");
    QTest::newRow("reference in the name") << QStringList{"<v Tom &amp; Jerry>Hi"}
                                           << QStringLiteral("Tom & Jerry") << QStringLiteral("Hi");
    QTest::newRow("the first voice span counts")
        << QStringList{"<v Anna>Hi</v>", "<v Bob>Yo"} << QStringLiteral("Anna")
        << QStringLiteral("Hi Yo");
    QTest::newRow("voice span on a later line")
        << QStringList{"- Who?", "<v Bob>Me"} << QStringLiteral("Bob")
        << QStringLiteral("- Who? Me");
    QTest::newRow("voice span without a name")
        << QStringList{"<v>Hi"} << QString() << QStringLiteral("Hi");
    QTest::newRow("no voice span") << QStringList{"<i>Hi</i>"} << QString() << QStringLiteral("Hi");
}

void TestCueMarkup::speakers() {
    QFETCH(QStringList, lines);
    QFETCH(QString, speaker);
    QFETCH(QString, text);

    CueMarkupState state(CueDialect::WebVtt);
    QString found;
    QStringList cleaned;
    for (const QString& line : lines) {
        cleaned << cleanCueLine(line, state, &found);
    }
    QCOMPARE(found, speaker);
    QCOMPARE(cleaned.join(QLatin1Char(' ')), text);
}

QTEST_GUILESS_MAIN(TestCueMarkup)
#include "test_cue_markup.moc"
