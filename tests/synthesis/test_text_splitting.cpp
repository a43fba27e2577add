#include "synthesis/text_splitting.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace lyrane;

namespace {

// The parts are the text's pieces in order with only white space left out between them, each
// within the limit (a lone surrogate pair excepted), none empty or padded, none holding half
// of a surrogate pair at its edges.
QString partsProblem(const QString& text, const QStringList& parts, qsizetype limit) {
    qsizetype pos = 0;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString& part = parts[i];
        if (part.isEmpty() || part.front().isSpace() || part.back().isSpace()) {
            return QStringLiteral("part %1 is empty or padded: '%2'").arg(i).arg(part);
        }
        if (part.size() > limit && !(part.size() == 2 && part.front().isHighSurrogate())) {
            return QStringLiteral("part %1 has %2 characters, over %3")
                .arg(i)
                .arg(part.size())
                .arg(limit);
        }
        if (part.front().isLowSurrogate() || part.back().isHighSurrogate()) {
            return QStringLiteral("part %1 splits a surrogate pair").arg(i);
        }
        while (pos < text.size() && text.at(pos).isSpace()) {
            ++pos;
        }
        if (text.mid(pos, part.size()) != part) {
            return QStringLiteral("part %1 is not the text at %2").arg(i).arg(pos);
        }
        pos += part.size();
    }
    while (pos < text.size() && text.at(pos).isSpace()) {
        ++pos;
    }
    return pos == text.size() ? QString() : QStringLiteral("text lost after %1").arg(pos);
}

} // namespace

class TextSplittingTest : public QObject {
    Q_OBJECT

private slots:
    void split_data();
    void split();
    void longNarrations_data();
    void longNarrations();
    void characterCount();
};

void TextSplittingTest::split_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("limit");
    QTest::addColumn<QStringList>("parts");

    QTest::newRow("within the limit") << "Hello world." << 100 << QStringList{"Hello world."};
    QTest::newRow("exactly the limit") << "Hello world." << 12 << QStringList{"Hello world."};
    QTest::newRow("padded text") << "  Hi.  \n" << 10 << QStringList{"Hi."};
    QTest::newRow("empty") << "" << 10 << QStringList{};
    QTest::newRow("blank") << " \n\t " << 10 << QStringList{};
    QTest::newRow("at a sentence end")
        << "One two. Three four." << 11 << QStringList{"One two.", "Three four."};
    QTest::newRow("sentences packed greedily")
        << "A a. B b. C c. D d. E." << 10 << QStringList{"A a. B b.", "C c. D d.", "E."};
    QTest::newRow("last sentence end in reach, not the first")
        << "Go. Now. Then we will see what happens" << 12
        << QStringList{"Go. Now.", "Then we will", "see what", "happens"};
    QTest::newRow("closing quote stays with its sentence")
        << "He said \"Stop!\" Then he left." << 16
        << QStringList{"He said \"Stop!\"", "Then he left."};
    QTest::newRow("closing bracket and typographic quote")
        << "(It was late.) \u201CYes.\u201D Fine then." << 21
        << QStringList{"(It was late.) \u201CYes.\u201D", "Fine then."};
    QTest::newRow("run of marks and an ellipsis")
        << "Really?! Yes\u2026 Fine." << 10 << QStringList{"Really?!", "Yes\u2026 Fine."};
    QTest::newRow("three dots") << "Wait... Go on." << 8 << QStringList{"Wait...", "Go on."};
    QTest::newRow("decimal point is no sentence end")
        << "Pi is 3.14 and e is 2.71 ok." << 15 << QStringList{"Pi is 3.14 and", "e is 2.71 ok."};
    QTest::newRow("mark inside a word is no sentence end")
        << "a.b c.d" << 4 << QStringList{"a.b", "c.d"};
    QTest::newRow("word breaks without sentence ends")
        << "alpha beta gamma delta" << 11 << QStringList{"alpha beta", "gamma delta"};
    QTest::newRow("one huge word") << "abcdefghij" << 4 << QStringList{"abcd", "efgh", "ij"};
    QTest::newRow("huge word between short ones")
        << "hi abcdefghij yo" << 4 << QStringList{"hi", "abcd", "efgh", "ij", "yo"};
    QTest::newRow("line breaks and blank lines at the cut")
        << "One.\n\n  Two.\r\nThree." << 6 << QStringList{"One.", "Two.", "Three."};
    QTest::newRow("no-break space holds its words")
        << "10\u00A0km away" << 6 << QStringList{"10\u00A0km", "away"};
    QTest::newRow("CJK full stops need no space")
        << "\u4ECA\u65E5\u306F\u6674\u308C\u3067\u3059\u3002\u660E\u65E5\u306F\u96E8\u3067\u3059"
           "\u3002"
        << 8
        << QStringList{"\u4ECA\u65E5\u306F\u6674\u308C\u3067\u3059\u3002",
                       "\u660E\u65E5\u306F\u96E8\u3067\u3059\u3002"};
    QTest::newRow("CJK question and exclamation marks")
        << "\u672C\u5F53\uFF1F\u306F\u3044\uFF01\u305D\u3046\u3002" << 4
        << QStringList{"\u672C\u5F53\uFF1F", "\u306F\u3044\uFF01", "\u305D\u3046\u3002"};
    QTest::newRow("CJK with closing bracket")
        << "\u300C\u306F\u3044\u3002\u300D\u305D\u3046\u3002" << 5
        << QStringList{"\u300C\u306F\u3044\u3002\u300D", "\u305D\u3046\u3002"};
    QTest::newRow("CJK without sentence ends is cut at the limit")
        << "\u4E00\u4E8C\u4E09\u56DB\u4E94" << 2
        << QStringList{"\u4E00\u4E8C", "\u4E09\u56DB", "\u4E94"};
    QTest::newRow("surrogate pairs at the cut")
        << "\U0001F600\U0001F600\U0001F600" << 3
        << QStringList{"\U0001F600", "\U0001F600", "\U0001F600"};
    QTest::newRow("surrogate pair after an odd count")
        << "ab\U0001F600cd" << 3 << QStringList{"ab", "\U0001F600c", "d"};
    QTest::newRow("limit too small for a pair keeps it whole")
        << "\U0001F600a" << 1 << QStringList{"\U0001F600", "a"};
    QTest::newRow("combining accents stay on their letters")
        << "e\u0301e\u0301e\u0301" << 3 << QStringList{"e\u0301", "e\u0301", "e\u0301"};
}

void TextSplittingTest::split() {
    QFETCH(QString, text);
    QFETCH(int, limit);
    QFETCH(QStringList, parts);

    const QStringList split = splitTextForRequests(text, limit);
    QCOMPARE(split, parts);
    const QString problem = partsProblem(text, split, limit);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

// Texts of many sentences with single spaces: parts within the limit, joining back to the text
// with one space where no word had to be cut, and as few as the breaks allow: no two
// neighbours would fit in one part.
void TextSplittingTest::longNarrations_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("limit");
    QTest::addColumn<QString>("joiner"); // gives the text back from the parts

    QRandomGenerator random(20260814);
    const QStringList words = {QStringLiteral("the"),        QStringLiteral("narrator"),
                               QStringLiteral("walks"),      QStringLiteral("\u00FCber"),
                               QStringLiteral("3.5"),        QStringLiteral("km"),
                               QStringLiteral("\U0001F30D"), QStringLiteral("\"quoted\""),
                               QStringLiteral("a"),          QStringLiteral("\u4E16\u754C")};
    const QStringList ends = {QStringLiteral("."),   QStringLiteral("!"),
                              QStringLiteral("?"),   QStringLiteral("\u2026"),
                              QStringLiteral(".\""), QStringLiteral("?!")};
    const auto narration = [&](int characters, int longWordEvery) {
        QStringList sentences;
        qsizetype total = 0;
        int count = 0;
        while (total < characters) {
            QStringList sentence;
            const int n = 3 + int(random.bounded(40));
            for (int i = 0; i < n; ++i) {
                sentence.append(words[random.bounded(int(words.size()))]);
            }
            if (longWordEvery > 0 && ++count % longWordEvery == 0) {
                sentence.append(QString(7000 + int(random.bounded(3000)), QLatin1Char('x')));
            }
            QString text = sentence.join(QLatin1Char(' ')) + ends[random.bounded(int(ends.size()))];
            total += text.size() + 1;
            sentences.append(text);
        }
        return sentences.join(QLatin1Char(' '));
    };
    QTest::newRow("sentences, multilingual limit") << narration(60000, 0) << 10000 << " ";
    QTest::newRow("sentences, v3 limit") << narration(60000, 0) << 5000 << " ";
    QTest::newRow("small limit") << narration(8000, 0) << 120 << " ";
    QTest::newRow("with words over the limit") << narration(60000, 20) << 5000 << "";
    QString unbroken;
    for (int i = 0; i < 6000; ++i) {
        unbroken += i % 3 == 0 ? QStringLiteral("\U0001F600") : QStringLiteral("z");
    }
    QTest::newRow("one word of emoji and letters") << unbroken << 1001 << "";
}

void TextSplittingTest::longNarrations() {
    QFETCH(QString, text);
    QFETCH(int, limit);
    QFETCH(QString, joiner);

    const QStringList parts = splitTextForRequests(text, limit);
    QVERIFY(parts.size() > 1);
    const QString problem = partsProblem(text, parts, limit);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    // Words cut at the limit join without a space; the check above covers that case.
    if (!joiner.isEmpty() || !text.contains(QLatin1Char(' '))) {
        QCOMPARE(parts.join(joiner), text);
    }
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        QVERIFY2(parts[i].size() + 1 + parts[i + 1].size() > limit,
                 qPrintable(QStringLiteral("parts %1 and %2 would fit in one").arg(i).arg(i + 1)));
    }
}

void TextSplittingTest::characterCount() {
    // Counted as QString counts, so a character outside the BMP counts twice.
    QCOMPARE(requestCharacterCount(QStringLiteral("abc")), 3);
    QCOMPARE(requestCharacterCount(QStringLiteral("\u00E9\u4E16")), 2);
    QCOMPARE(requestCharacterCount(QStringLiteral("\U0001F600")), 2);
}

QTEST_GUILESS_MAIN(TextSplittingTest)
#include "test_text_splitting.moc"
