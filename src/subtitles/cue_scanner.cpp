#include "subtitles/cue_scanner.h"

#include "subtitles/cue_markup.h"
#include "subtitles/subtitle_timestamps.h"

#include <algorithm>

namespace lyrane {

namespace {

bool isIntegerLine(QStringView line) {
    qsizetype i = 0;
    if (line.startsWith(QLatin1Char('+')) || line.startsWith(QLatin1Char('-'))) {
        i = 1;
    }
    if (i == line.size()) {
        return false;
    }
    for (; i < line.size(); ++i) {
        if (line[i] < QLatin1Char('0') || line[i] > QLatin1Char('9')) {
            return false;
        }
    }
    return true;
}

bool isDigitsLine(QStringView line) {
    return !line.isEmpty() && std::all_of(line.begin(), line.end(), [](QChar c) {
        return c >= QLatin1Char('0') && c <= QLatin1Char('9');
    });
}

} // namespace

QStringView LineCursor::nextAsWritten() {
    const qsizetype lf = text.indexOf(QLatin1Char('\n'), pos);
    QStringView line;
    if (lf < 0) {
        line = text.mid(pos);
        pos = text.size();
        done = true;
    } else {
        line = text.mid(pos, lf - pos);
        pos = lf + 1;
    }
    ++number;
    return line;
}

QStringView LineCursor::peek() const {
    if (done) {
        return {};
    }
    const qsizetype lf = text.indexOf(QLatin1Char('\n'), pos);
    return (lf < 0 ? text.mid(pos) : text.mid(pos, lf - pos)).trimmed();
}

ScannedCues scanCueBlocks(LineCursor& cursor, CueDialect dialect, bool keepLines) {
    ScannedCues result;
    // Where the line being read stands: between cues, in a cue, or in the block of a timing
    // line that cannot be read.
    enum class Place { BetweenCues, InCue, InUnusableCue };
    Place place = Place::BetweenCues;
    // SRT: a blank line was read inside the cue; the next line says whether the cue goes on.
    bool afterBlank = false;
    Cue pending;
    QStringList pendingLines;
    CueMarkupState markup(dialect);
    int untimedStart = 0; // the first line of the SRT block being read between cues
    bool untimedHasText = false;

    const auto endUntimedBlock = [&]() {
        if (untimedHasText && result.report.untimedBlocks++ == 0) {
            result.report.firstUntimedLine = untimedStart;
        }
        untimedStart = 0;
        untimedHasText = false;
    };

    const auto finishCue = [&]() {
        pending.text = pendingLines.size() == 1 ? pendingLines.front()
                                                : pendingLines.join(QLatin1Char(' ')).trimmed();
        if (!pending.text.isEmpty()) {
            result.cues.append(pending);
            if (keepLines) {
                result.cueLines.append(pendingLines);
            }
        }
        pendingLines.clear();
        place = Place::BetweenCues;
    };

    while (!cursor.atEnd()) {
        const QStringView written = cursor.nextAsWritten();
        const QStringView t = written.trimmed();

        if (mayBeTimingLine(t, dialect)) {
            endUntimedBlock();
            if (place == Place::InCue) {
                finishCue();
            }
            afterBlank = false;
            const TimingLineReading timing = readTimingLine(written, dialect);
            if (!timing.usable) {
                if (result.report.unusableTimingLines++ == 0) {
                    result.report.firstUnusableLine = cursor.lineNumber();
                    result.report.firstUnusableReason = timing.message;
                }
                place = Place::InUnusableCue;
                continue;
            }
            pending = Cue();
            pending.startMs = timing.startMs;
            pending.endMs = timing.endMs;
            markup = CueMarkupState(dialect);
            place = Place::InCue;
            continue;
        }

        if (t.isEmpty()) {
            if (place == Place::BetweenCues) {
                endUntimedBlock();
            } else if (dialect == CueDialect::Srt) {
                // A blank line directly after the timing line says nothing either way.
                afterBlank = place == Place::InUnusableCue || !pendingLines.isEmpty();
            } else if (place == Place::InUnusableCue) {
                place = Place::BetweenCues;
            } else if (!pendingLines.isEmpty()) {
                // A blank line directly after the timing line does not close the cue.
                finishCue();
            }
            continue;
        }
        if (afterBlank) {
            afterBlank = false;
            if (isDigitsLine(t) || mayBeTimingLine(cursor.peek(), dialect)) {
                if (place == Place::InCue) {
                    finishCue();
                }
                place = Place::BetweenCues;
            }
        }
        if (place == Place::InUnusableCue) {
            continue;
        }
        if (place == Place::BetweenCues) {
            if (dialect == CueDialect::Srt && !mayBeTimingLine(cursor.peek(), dialect)) {
                untimedStart = untimedStart == 0 ? cursor.lineNumber() : untimedStart;
                untimedHasText = untimedHasText || !isIntegerLine(t);
            }
            continue;
        }
        if (isIntegerLine(t) && mayBeTimingLine(cursor.peek(), dialect)) {
            finishCue(); // the identifier of the next cue
            continue;
        }
        pendingLines.append(cleanCueLine(t, markup, &pending.speaker));
    }
    if (place == Place::InCue && !pendingLines.isEmpty()) {
        finishCue();
    }
    endUntimedBlock();
    return result;
}

} // namespace lyrane
