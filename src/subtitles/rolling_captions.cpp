#include "subtitles/rolling_captions.h"

#include <algorithm>

namespace lyrane {

namespace {

// The repeat cues last 10 ms; allow for writers that round differently.
constexpr qint64 maxRepeatCueMs = 50;

QStringList spokenLines(const QStringList& lines) {
    QStringList kept;
    for (const QString& line : lines) {
        if (!line.isEmpty()) {
            kept.append(line);
        }
    }
    return kept;
}

// How many of `lines`' first lines repeat the last lines of `previous`.
qsizetype carriedOver(const QStringList& previous, const QStringList& lines) {
    for (qsizetype k = std::min(previous.size(), lines.size()); k > 0; --k) {
        if (std::equal(lines.begin(), lines.begin() + k, previous.end() - k)) {
            return k;
        }
    }
    return 0;
}

} // namespace

bool mayHoldRollingCaptions(QStringView content) {
    return content.contains(QLatin1String("><c>"));
}

bool isRollingCaptionStyle(const QList<VttCue>& cues, const QList<QStringList>& cueLines) {
    for (qsizetype i = 1; i < cues.size() && i < cueLines.size(); ++i) {
        const qint64 duration = cues[i].endMs - cues[i].startMs;
        if (duration < 0 || duration > maxRepeatCueMs) {
            continue;
        }
        const QStringList lines = spokenLines(cueLines[i]);
        if (!lines.isEmpty() && carriedOver(spokenLines(cueLines[i - 1]), lines) == lines.size()) {
            return true;
        }
    }
    return false;
}

QList<VttCue> collapseRollingCaptions(const QList<VttCue>& cues,
                                      const QList<QStringList>& cueLines) {
    QList<VttCue> kept;
    QStringList previous;
    for (qsizetype i = 0; i < cues.size() && i < cueLines.size(); ++i) {
        const QStringList lines = spokenLines(cueLines[i]);
        const qsizetype repeated = carriedOver(previous, lines);
        previous = lines;
        if (repeated == lines.size()) {
            continue;
        }
        VttCue cue = cues[i];
        cue.text = lines.mid(repeated).join(QLatin1Char(' '));
        kept.append(cue);
    }
    return kept;
}

} // namespace lyrane
