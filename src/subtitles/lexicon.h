#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <unordered_map>
#include <vector>

namespace lyrane {

// One rule: a whole word (or words) and what is said instead.
struct LexiconRule {
    QString term;
    QString replacement;
    bool caseSensitive = false;
};

// The rules of a lexicon compiled into one matcher: a trie of the terms, case-folded for
// the rules that ignore case and as written for the others, walked once per word start.
struct Lexicon {
    QList<LexiconRule> rules;
    // Trie edges keyed by (node << 32 | code point); node 0 is the folded root, 1 the exact.
    std::unordered_map<quint64, qint32> edges;
    std::vector<qint32> ruleAtNode; // the rule a node completes, -1 for none

    bool isEmpty() const { return rules.isEmpty(); }
};

// Compiles `rules`; of two rules for the same term and case, the later wins.
Lexicon buildLexicon(const QList<LexiconRule>& rules);

// Reads a lexicon file: a pronunciation lexicon (PLS, XML) when its first non-blank character
// is "<", otherwise a table of "term<TAB>replacement" or "term,replacement" lines with an
// optional third column "case", blank lines and "#" comments. On failure `error` names the file
// and the line (and column, for XML) and ends in "\n". `notices` gets one line for each lexeme
// that has no alias and is skipped.
std::optional<Lexicon> readLexicon(const QString& path, QString* error, QStringList* notices);
// The same for content already read; `name` names it in messages.
std::optional<Lexicon> parseLexicon(const QString& content, const QString& name, QString* error,
                                    QStringList* notices);

// `text` with every whole-word occurrence of a term replaced, the longest term first at each
// word start, in one pass: a replacement is never matched again.
QString applyLexicon(const Lexicon& lexicon, const QString& text);

} // namespace lyrane
