#include "subtitles/cue_scanner.h"

#include "subtitles/cue_markup.h"
#include "subtitles/subtitle_timestamps.h"

#include <QObject>

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

} // namespace

QStringView LineCursor::next() {
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
    return line.trimmed();
}

QStringView LineCursor::peek() const {
    if (done) {
        return {};
    }
    const qsizetype lf = text.indexOf(QLatin1Char('\n'), pos);
    return (lf < 0 ? text.mid(pos) : text.mid(pos, lf - pos)).trimmed();
}

std::optional<ScannedCues> scanCueBlocks(LineCursor& cursor, CueDialect dialect, bool keepLines,
                                         QString* error) {
    ScannedCues result;
    bool inCue = false;
    bool skippingBlock = false;
    Cue pending;
    QStringList pendingLines;
    CueMarkupState markup(dialect);
    int untimedStart = 0; // the first line of the SRT block being read outside a cue
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
        inCue = false;
    };

    while (!cursor.atEnd()) {
        const QStringView t = cursor.next();

        if (mayBeTimingLine(t)) {
            endUntimedBlock();
            if (inCue) {
                finishCue();
            }
            pendingLines.clear();
            const TimingLineReading timing = readTimingLine(t, dialect);
            if (timing.kind == TimingLineKind::OutOfRange) {
                if (error) {
                    *error =
                        QObject::tr("%1 (line %2)").arg(timing.message).arg(cursor.lineNumber());
                }
                return std::nullopt;
            }
            if (timing.kind == TimingLineKind::Unusable) {
                if (result.report.unusableTimingLines++ == 0) {
                    result.report.firstUnusableLine = cursor.lineNumber();
                    result.report.firstUnusableReason = timing.message;
                }
                skippingBlock = true;
                continue;
            }
            pending = Cue();
            pending.startMs = timing.startMs;
            pending.endMs = timing.endMs;
            markup = CueMarkupState(dialect);
            inCue = true;
            skippingBlock = false;
            continue;
        }

        if (skippingBlock) {
            skippingBlock = !t.isEmpty();
            continue;
        }
        if (!inCue) {
            if (dialect == CueDialect::Srt) {
                if (t.isEmpty()) {
                    endUntimedBlock();
                } else if (!mayBeTimingLine(cursor.peek())) {
                    untimedStart = untimedStart == 0 ? cursor.lineNumber() : untimedStart;
                    untimedHasText = untimedHasText || !isIntegerLine(t);
                }
            }
            continue;
        }
        if (!t.isEmpty()) {
            if (isIntegerLine(t) && mayBeTimingLine(cursor.peek())) {
                finishCue(); // the identifier of the next cue
                continue;
            }
            pendingLines.append(cleanCueLine(t, markup, &pending.speaker));
        } else if (!pendingLines.isEmpty()) {
            // A blank line directly after the timing line does not close the cue.
            finishCue();
        }
    }
    if (inCue && !pendingLines.isEmpty()) {
        finishCue();
    }
    endUntimedBlock();
    return result;
}

} // namespace lyrane
