#include "subtitles/rolling_captions.h"

#include <QHash>

namespace lyrane {

namespace {

// The repeat cues last 10 ms; allow for writers that round differently.
constexpr qint64 maxRepeatCueMs = 50;

// A cue's non-empty lines as numbers, equal lines equal numbers, so that lines compare in
// constant time however long they are.
class LineNumbers {
public:
    QList<int> of(const QStringList& lines) {
        QList<int> numbers;
        numbers.reserve(lines.size());
        for (const QString& line : lines) {
            if (line.isEmpty()) {
                continue;
            }
            auto found = numberOf.constFind(line);
            if (found == numberOf.constEnd()) {
                found = numberOf.insert(line, int(numberOf.size()));
            }
            numbers.append(*found);
        }
        return numbers;
    }

private:
    QHash<QString, int> numberOf;
};

// How many of `lines`' first lines repeat the last lines of `previous`: the longest prefix of
// `lines` that ends `previous`, found in linear time by Knuth-Morris-Pratt matching.
qsizetype carriedOver(const QList<int>& previous, const QList<int>& lines) {
    const qsizetype n = lines.size();
    if (n == 0 || previous.isEmpty()) {
        return 0;
    }
    // border[i]: the length of the longest proper prefix of lines[0..i] that also ends it.
    QList<qsizetype> border(n, 0);
    for (qsizetype i = 1, k = 0; i < n; ++i) {
        while (k > 0 && lines[i] != lines[k]) {
            k = border[k - 1];
        }
        if (lines[i] == lines[k]) {
            ++k;
        }
        border[i] = k;
    }
    qsizetype matched = 0;
    for (const int line : previous) {
        while (matched > 0 && (matched == n || line != lines[matched])) {
            matched = border[matched - 1];
        }
        if (line == lines[matched]) {
            ++matched;
        }
    }
    return matched;
}

} // namespace

bool mayHoldRollingCaptions(QStringView content) {
    return content.contains(QLatin1String("><c>"));
}

bool isRollingCaptionStyle(const QList<Cue>& cues, const QList<QStringList>& cueLines) {
    LineNumbers numbers;
    for (qsizetype i = 1; i < cues.size() && i < cueLines.size(); ++i) {
        const qint64 duration = cues[i].endMs - cues[i].startMs;
        if (duration < 0 || duration > maxRepeatCueMs) {
            continue;
        }
        const QList<int> lines = numbers.of(cueLines[i]);
        if (!lines.isEmpty() && carriedOver(numbers.of(cueLines[i - 1]), lines) == lines.size()) {
            return true;
        }
    }
    return false;
}

QList<Cue> collapseRollingCaptions(const QList<Cue>& cues, const QList<QStringList>& cueLines) {
    QList<Cue> kept;
    LineNumbers numbers;
    QList<int> previous;
    for (qsizetype i = 0; i < cues.size() && i < cueLines.size(); ++i) {
        QList<int> lines = numbers.of(cueLines[i]);
        const qsizetype repeated = carriedOver(previous, lines);
        if (repeated < lines.size()) {
            QStringList spoken;
            for (const QString& line : cueLines[i]) {
                if (!line.isEmpty()) {
                    spoken.append(line);
                }
            }
            Cue cue = cues[i];
            cue.text = spoken.mid(repeated).join(QLatin1Char(' '));
            kept.append(cue);
        }
        previous = std::move(lines);
    }
    return kept;
}

} // namespace lyrane
