#include "subtitles/lexicon.h"

#include <QFile>
#include <QHash>
#include <QObject>
#include <QTextBoundaryFinder>
#include <QXmlStreamReader>

namespace lyrane {

namespace {

constexpr qint32 kFoldedRoot = 0;
constexpr qint32 kExactRoot = 1;

quint64 edgeKey(qint32 node, char32_t codePoint) {
    return (quint64(quint32(node)) << 32) | quint64(codePoint);
}

// The code point at `i` and how many UTF-16 units it takes; a lone surrogate stands for itself.
char32_t codePointAt(const QString& text, qsizetype i, qsizetype* units) {
    const QChar c = text.at(i);
    if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
        *units = 2;
        return QChar::surrogateToUcs4(c, text.at(i + 1));
    }
    *units = 1;
    return c.unicode();
}

// Which positions of `text` (0 to size) are Unicode word boundaries.
std::vector<bool> wordBoundaries(const QString& text) {
    std::vector<bool> boundary(size_t(text.size()) + 1, false);
    boundary.front() = true;
    boundary.back() = true;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Word, text);
    for (qsizetype at = finder.toNextBoundary(); at > 0; at = finder.toNextBoundary()) {
        boundary[size_t(at)] = true;
    }
    return boundary;
}

// Whether `term` occurs in `text` as a whole word, compared as `sensitivity` says.
bool containsWholeWord(const QString& text, const QString& term, Qt::CaseSensitivity sensitivity) {
    const std::vector<bool> boundary = wordBoundaries(text);
    for (qsizetype at = text.indexOf(term, 0, sensitivity); at >= 0;
         at = text.indexOf(term, at + 1, sensitivity)) {
        if (boundary[size_t(at)] && boundary[size_t(at + term.size())]) {
            return true;
        }
    }
    return false;
}

QString lineError(const QString& name, qint64 line, const QString& reason) {
    return QObject::tr("Lexicon %1 line %2: %3\n").arg(name).arg(line).arg(reason);
}

// The checks every rule passes, whichever form it came in; an empty result when it passes.
QString ruleProblem(const LexiconRule& rule) {
    if (rule.term.isEmpty()) {
        return QObject::tr("empty term");
    }
    // An empty replacement would silently take the word out of speech.
    if (rule.replacement.isEmpty()) {
        return QObject::tr("empty replacement for \"%1\"").arg(rule.term);
    }
    const Qt::CaseSensitivity sensitivity =
        rule.caseSensitive ? Qt::CaseSensitive : Qt::CaseInsensitive;
    // A rule that says its term as written (in another case, say) is harmless; one whose
    // replacement holds the term among other words would grow each time it was applied.
    if (rule.replacement.compare(rule.term, sensitivity) != 0 &&
        containsWholeWord(rule.replacement, rule.term, sensitivity)) {
        return QObject::tr("the replacement of \"%1\" contains the term itself, which would "
                           "loop")
            .arg(rule.term);
    }
    return QString();
}

std::optional<QList<LexiconRule>> parseTable(const QString& content, const QString& name,
                                             QString* error) {
    QList<LexiconRule> rules;
    const QStringList lines = content.split(QLatin1Char('\n'));
    for (qsizetype index = 0; index < lines.size(); ++index) {
        QString line = lines[index];
        if (line.endsWith(QLatin1Char('\r'))) {
            line.chop(1);
        }
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#'))) {
            continue;
        }
        const QChar separator =
            line.contains(QLatin1Char('\t')) ? QLatin1Char('\t') : QLatin1Char(',');
        const QStringList columns = line.split(separator);
        const auto fail = [&](const QString& reason) {
            *error = lineError(name, index + 1, reason);
            return std::nullopt;
        };
        if (columns.size() < 2) {
            return fail(QObject::tr("expected term<TAB>replacement or term,replacement"));
        }
        LexiconRule rule{columns[0].trimmed(), columns[1].trimmed(), false};
        if (columns.size() > 3 ||
            (columns.size() == 3 && columns[2].trimmed() != QLatin1String("case"))) {
            return fail(QObject::tr("the third column may only be \"case\""));
        }
        rule.caseSensitive = columns.size() == 3;
        const QString problem = ruleProblem(rule);
        if (!problem.isEmpty()) {
            return fail(problem);
        }
        rules.append(rule);
    }
    return rules;
}

std::optional<QList<LexiconRule>> parsePls(const QString& content, const QString& name,
                                           QString* error, QStringList* notices) {
    QList<LexiconRule> rules;
    QXmlStreamReader xml(content);
    if (xml.readNextStartElement() && xml.name() != QLatin1String("lexicon")) {
        *error = lineError(
            name, xml.lineNumber(),
            QObject::tr("the root element is <%1>, not <lexicon>").arg(xml.name().toString()));
        return std::nullopt;
    }
    while (!xml.hasError() && xml.readNextStartElement()) {
        if (xml.name() != QLatin1String("lexeme")) {
            xml.skipCurrentElement();
            continue;
        }
        const qint64 line = xml.lineNumber();
        QStringList graphemes;
        std::optional<QString> alias;
        bool phoneme = false;
        while (xml.readNextStartElement()) {
            if (xml.name() == QLatin1String("grapheme")) {
                graphemes.append(xml.readElementText().trimmed());
            } else if (xml.name() == QLatin1String("alias")) {
                const QString text = xml.readElementText().trimmed();
                alias = alias.value_or(text);
            } else {
                phoneme = phoneme || xml.name() == QLatin1String("phoneme");
                xml.skipCurrentElement();
            }
        }
        if (xml.hasError()) {
            break;
        }
        if (!alias) {
            if (!phoneme) {
                *error = lineError(name, line, QObject::tr("a lexeme needs an <alias>"));
                return std::nullopt;
            }
            notices->append(
                QObject::tr("Lexicon %1 line %2: \"%3\" has only a <phoneme>, which cannot be "
                            "said by alias; skipped")
                    .arg(name)
                    .arg(line)
                    .arg(graphemes.join(QLatin1String(", "))));
            continue;
        }
        if (graphemes.isEmpty()) {
            graphemes.append(QString());
        }
        for (const QString& grapheme : graphemes) {
            const LexiconRule rule{grapheme, *alias, false};
            const QString problem = ruleProblem(rule);
            if (!problem.isEmpty()) {
                *error = lineError(name, line, problem);
                return std::nullopt;
            }
            rules.append(rule);
        }
    }
    if (xml.hasError()) {
        *error = QObject::tr("Lexicon %1 line %2, column %3: %4\n")
                     .arg(name)
                     .arg(xml.lineNumber())
                     .arg(xml.columnNumber())
                     .arg(xml.errorString());
        return std::nullopt;
    }
    return rules;
}

} // namespace

Lexicon buildLexicon(const QList<LexiconRule>& rules) {
    Lexicon lexicon;
    lexicon.rules = rules;
    lexicon.ruleAtNode = {-1, -1};
    lexicon.edges.reserve(size_t(rules.size()) * 8);
    for (qsizetype r = 0; r < rules.size(); ++r) {
        const LexiconRule& rule = rules[r];
        qint32 node = rule.caseSensitive ? kExactRoot : kFoldedRoot;
        for (qsizetype i = 0, units = 1; i < rule.term.size(); i += units) {
            char32_t c = codePointAt(rule.term, i, &units);
            if (!rule.caseSensitive) {
                c = QChar::toCaseFolded(c);
            }
            const auto [edge, added] =
                lexicon.edges.try_emplace(edgeKey(node, c), qint32(lexicon.ruleAtNode.size()));
            if (added) {
                lexicon.ruleAtNode.push_back(-1);
            }
            node = edge->second;
        }
        lexicon.ruleAtNode[size_t(node)] = qint32(r);
    }
    return lexicon;
}

QString applyLexicon(const Lexicon& lexicon, const QString& text) {
    if (lexicon.isEmpty() || text.isEmpty()) {
        return text;
    }
    const std::vector<bool> boundary = wordBoundaries(text);
    const qsizetype size = text.size();
    QString spoken;
    qsizetype copied = 0;
    for (qsizetype start = 0; start < size; ++start) {
        if (!boundary[size_t(start)]) {
            continue;
        }
        qsizetype bestEnd = -1;
        qint32 bestRule = -1;
        // The exact root walks second, so of two rules matching as much it wins.
        for (const qint32 root : {kFoldedRoot, kExactRoot}) {
            qint32 node = root;
            for (qsizetype i = start, units = 1; i < size; i += units) {
                char32_t c = codePointAt(text, i, &units);
                if (root == kFoldedRoot) {
                    c = QChar::toCaseFolded(c);
                }
                const auto edge = lexicon.edges.find(edgeKey(node, c));
                if (edge == lexicon.edges.end()) {
                    break;
                }
                node = edge->second;
                const qsizetype end = i + units;
                const qint32 rule = lexicon.ruleAtNode[size_t(node)];
                if (rule >= 0 && boundary[size_t(end)] && end >= bestEnd) {
                    bestEnd = end;
                    bestRule = rule;
                }
            }
        }
        if (bestRule < 0) {
            continue;
        }
        spoken += QStringView(text).mid(copied, start - copied);
        spoken += lexicon.rules[bestRule].replacement;
        copied = bestEnd;
        start = bestEnd - 1;
    }
    if (copied == 0) {
        return text;
    }
    spoken += QStringView(text).mid(copied);
    return spoken;
}

std::optional<Lexicon> parseLexicon(const QString& content, const QString& name, QString* error,
                                    QStringList* notices) {
    QString body = content;
    if (body.startsWith(QChar(0xFEFF))) {
        body.remove(0, 1);
    }
    const bool xml = body.trimmed().startsWith(QLatin1Char('<'));
    const std::optional<QList<LexiconRule>> rules =
        xml ? parsePls(body, name, error, notices) : parseTable(body, name, error);
    if (!rules) {
        return std::nullopt;
    }
    return buildLexicon(*rules);
}

std::optional<Lexicon> readLexicon(const QString& path, QString* error, QStringList* notices) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QObject::tr("Cannot read lexicon %1: %2\n").arg(path, file.errorString());
        return std::nullopt;
    }
    return parseLexicon(QString::fromUtf8(file.readAll()), path, error, notices);
}

} // namespace lyrane
