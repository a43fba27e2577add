#include "subtitles/lexicon.h"

#include <QtTest>

using lyrane::Lexicon;

namespace {

std::optional<Lexicon> parse(const QString& content, QString* error, QStringList* notices) {
    return lyrane::parseLexicon(content, QStringLiteral("words.txt"), error, notices);
}

} // namespace

class TestLexicon : public QObject {
    Q_OBJECT

private slots:
    void applying_data() {
        QTest::addColumn<QString>("rules");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("spoken");
        // clang-format off
        QTest::newRow("whole words, any case") << "SQL,sequel" << "SQL and SQLite, sql." << "sequel and SQLite, sequel.";
        QTest::newRow("case column") << "US\tyou ess\tcase" << "US and us" << "you ess and us";
        QTest::newRow("longest first") << "New,Nu\nNew York,Noo Yawk" << "New York is new" << "Noo Yawk is Nu";
        QTest::newRow("applied once") << "A,B\nB,C" << "A B" << "B C";
        QTest::newRow("term with a stop") << "Dr.,Doctor" << "Dr. Nguyen" << "Doctor Nguyen";
        QTest::newRow("folded letters") << "Zoë,Zoey" << "ZOË!" << "Zoey!";
        QTest::newRow("cyrillic") << "Москва,Moskva" << "в москве и МОСКВА" << "в москве и Moskva";
        QTest::newRow("comments, blank lines, CRLF") << "# names\r\n\r\nNguyen\tWin\r\n" << "Mr Nguyen" << "Mr Win";
        QTest::newRow("later rule wins") << "Tom,Thomas\ntom,Tommy" << "Tom" << "Tommy";
        QTest::newRow("exact beats folded") << "nasa,Nasa\nNASA,N A S A,case" << "NASA nasa" << "N A S A Nasa";
        QTest::newRow("untouched text") << "x,y" << "nothing here" << "nothing here";
        QTest::newRow("PLS aliases") << "<?xml version=\"1.0\"?><lexicon xmlns=\"http://www.w3.org/2005/01/pronunciation-lexicon\" version=\"1.0\"><lexeme><grapheme>SQL</grapheme><grapheme>MySQL</grapheme><alias>my sequel</alias></lexeme></lexicon>" << "SQL or MySQL" << "my sequel or my sequel";
        // clang-format on
    }
    void applying() {
        QFETCH(QString, rules);
        QFETCH(QString, text);
        QFETCH(QString, spoken);
        QString error;
        QStringList notices;
        const std::optional<Lexicon> lexicon = parse(rules, &error, &notices);
        QVERIFY2(lexicon, qPrintable(error));
        QCOMPARE(lyrane::applyLexicon(*lexicon, text), spoken);
    }

    void refusals_data() {
        QTest::addColumn<QString>("rules");
        QTest::addColumn<QString>("error"); // its start, for XML errors
        // clang-format off
        QTest::newRow("no replacement") << "ok,fine\nSQL" << "Lexicon words.txt line 2: expected term<TAB>replacement or term,replacement\n";
        QTest::newRow("empty term") << " ,x" << "Lexicon words.txt line 1: empty term\n";
        QTest::newRow("would loop") << "AI,AI AI" << "Lexicon words.txt line 1: the replacement of \"AI\" contains the term itself, which would loop\n";
        QTest::newRow("unknown column") << "a,b,nocase" << "Lexicon words.txt line 1: the third column may only be \"case\"\n";
        QTest::newRow("broken XML") << "<lexicon>\n<lexeme>" << "Lexicon words.txt line 2, column ";
        QTest::newRow("not a lexicon") << "<html/>" << "Lexicon words.txt line 1: the root element is <html>, not <lexicon>\n";
        QTest::newRow("empty replacement after a tab") << "ok,fine\nNguyen\t \n" << "Lexicon words.txt line 2: empty replacement for \"Nguyen\"\n";
        QTest::newRow("empty replacement after a comma") << "SQL,\n" << "Lexicon words.txt line 1: empty replacement for \"SQL\"\n";
        QTest::newRow("empty alias") << "<lexicon>\n<lexeme><grapheme>x</grapheme><alias> </alias></lexeme></lexicon>" << "Lexicon words.txt line 2: empty replacement for \"x\"\n";
        QTest::newRow("alias of an unresolved entity") << "<!DOCTYPE lexicon SYSTEM \"pls.dtd\">\n<lexicon><lexeme><grapheme>x</grapheme><alias>&who;</alias></lexeme></lexicon>" << "Lexicon words.txt line 2: empty replacement for \"x\"\n";
        QTest::newRow("empty grapheme") << "<lexicon><lexeme><grapheme/><alias>x</alias></lexeme></lexicon>" << "Lexicon words.txt line 1: empty term\n";
        // clang-format on
    }
    void refusals() {
        QFETCH(QString, rules);
        QFETCH(QString, error);
        QString seen;
        QStringList notices;
        QVERIFY(!parse(rules, &seen, &notices));
        QVERIFY2(seen.startsWith(error), qPrintable(seen));
    }

    void phonemeOnlyLexemesAreNamedAndSkipped() {
        QString error;
        QStringList notices;
        const std::optional<Lexicon> lexicon =
            parse("<lexicon>\n<lexeme><grapheme>tomato</grapheme><phoneme>təˈmɑːtoʊ</phoneme>"
                  "</lexeme>\n</lexicon>",
                  &error, &notices);
        QVERIFY2(lexicon, qPrintable(error));
        QVERIFY(lexicon->isEmpty());
        QCOMPARE(notices, QStringList{"Lexicon words.txt line 2: \"tomato\" has only a <phoneme>, "
                                      "which cannot be said by alias; skipped"});
    }
};

QTEST_APPLESS_MAIN(TestLexicon)
#include "test_lexicon.moc"
