#include "synthesis/text_splitting.h"

#include <QTextBoundaryFinder>

#include <algorithm>
#include <memory>
#include <vector>

namespace lyrane {

namespace {

bool endsSentenceBeforeSpace(QChar c) {
    return c == QLatin1Char('.') || c == QLatin1Char('!') || c == QLatin1Char('?') ||
           c == QChar(0x2026); // …
}

// CJK writing puts no space after a sentence.
bool endsCjkSentence(QChar c) {
    return c == QChar(0x3002)     // 。
           || c == QChar(0xFF01)  // ！
           || c == QChar(0xFF1F)  // ？
           || c == QChar(0xFF61); // ｡
}

// Closing quotes and brackets stay with the sentence they close.
bool closesSentence(QChar c) {
    static const QString closers = QStringLiteral("\"')]}\u00BB\u2019\u201D\u300D\u300F\uFF09"
                                                  "\u3011\u3015");
    return closers.contains(c);
}

// White space a line may break at; the no-break spaces hold their words together.
bool isBreakingSpace(QChar c) {
    return c.isSpace() && c != QChar(0x00A0) && c != QChar(0x2007) && c != QChar(0x202F);
}

// The positions just after each sentence's last character, ascending.
std::vector<qsizetype> sentenceEnds(const QString& text) {
    std::vector<qsizetype> ends;
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n) {
        const QChar c = text.at(i);
        if (!endsSentenceBeforeSpace(c) && !endsCjkSentence(c)) {
            ++i;
            continue;
        }
        bool cjk = false;
        qsizetype j = i;
        while (j < n && (endsSentenceBeforeSpace(text.at(j)) || endsCjkSentence(text.at(j)))) {
            cjk = cjk || endsCjkSentence(text.at(j));
            ++j;
        }
        while (j < n && closesSentence(text.at(j))) {
            ++j;
        }
        if (cjk || j == n || isBreakingSpace(text.at(j))) {
            ends.push_back(j);
        }
        i = j;
    }
    return ends;
}

} // namespace

QStringList splitTextForRequests(const QString& text, qsizetype limit) {
    limit = std::max<qsizetype>(limit, 1);
    qsizetype end = text.size();
    while (end > 0 && isBreakingSpace(text.at(end - 1))) {
        --end;
    }
    qsizetype pos = 0;
    while (pos < end && isBreakingSpace(text.at(pos))) {
        ++pos;
    }

    const std::vector<qsizetype> ends = sentenceEnds(text);
    std::unique_ptr<QTextBoundaryFinder> graphemes;
    QStringList parts;
    while (pos < end) {
        if (end - pos <= limit) {
            parts.append(text.mid(pos, end - pos));
            break;
        }
        const qsizetype windowEnd = pos + limit; // < end, so text[windowEnd] exists
        qsizetype cut = -1;
        const auto after = std::upper_bound(ends.begin(), ends.end(), windowEnd);
        if (after != ends.begin() && *(after - 1) > pos) {
            cut = *(after - 1);
            // A following sentence too long for a part of its own is cut at words anyway:
            // its first words fill this part instead of starting one more.
            const qsizetype nextEnd = after == ends.end() ? end : std::min(*after, end);
            qsizetype nextStart = cut;
            while (nextStart < end && isBreakingSpace(text.at(nextStart))) {
                ++nextStart;
            }
            if (nextEnd - nextStart > limit) {
                for (qsizetype w = windowEnd; w > cut; --w) {
                    if (isBreakingSpace(text.at(w))) {
                        cut = w;
                        break;
                    }
                }
            }
        }
        for (qsizetype w = windowEnd; cut < 0 && w > pos; --w) {
            if (isBreakingSpace(text.at(w))) {
                cut = w;
            }
        }
        if (cut < 0) {
            if (!graphemes) {
                graphemes =
                    std::make_unique<QTextBoundaryFinder>(QTextBoundaryFinder::Grapheme, text);
            }
            graphemes->setPosition(windowEnd);
            const qsizetype boundary =
                graphemes->isAtBoundary() ? windowEnd : graphemes->toPreviousBoundary();
            if (boundary > pos) {
                cut = boundary;
            } else {
                // A grapheme longer than the limit: cut it, but never inside a surrogate pair.
                cut = windowEnd;
                if (text.at(cut - 1).isHighSurrogate() && text.at(cut).isLowSurrogate()) {
                    cut = cut - 1 > pos ? cut - 1 : cut + 1;
                }
            }
        }
        qsizetype partEnd = cut;
        while (partEnd > pos && isBreakingSpace(text.at(partEnd - 1))) {
            --partEnd;
        }
        parts.append(text.mid(pos, partEnd - pos));
        pos = cut;
        while (pos < end && isBreakingSpace(text.at(pos))) {
            ++pos;
        }
    }
    return parts;
}

} // namespace lyrane
