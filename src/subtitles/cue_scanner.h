#pragma once

#include "subtitles/cue.h"
#include "subtitles/cue_dialect.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <optional>

namespace lyrane {

// Walks text with LF line ends line by line, counting lines from 1.
class LineCursor {
public:
    explicit LineCursor(QStringView text) : text(text) {}

    bool atEnd() const { return done; }
    int lineNumber() const { return number; }
    // The next line as written, without its line end.
    QStringView nextAsWritten();
    // The next line, trimmed.
    QStringView next() { return nextAsWritten().trimmed(); }
    // The line after the current one, trimmed, without moving.
    QStringView peek() const;

private:
    QStringView text;
    qsizetype pos = 0;
    int number = 0;
    bool done = false;
};

struct CueScanReport {
    int unusableTimingLines = 0;
    int firstUnusableLine = 0;
    QString firstUnusableReason;
    int untimedBlocks = 0; // SRT blocks with text but no timing line
    int firstUntimedLine = 0;
};

struct ScannedCues {
    QList<Cue> cues;
    QList<QStringList> cueLines; // the cleaned lines of each cue, when asked for
    CueScanReport report;
};

// Reads the cue blocks from the cursor's position to the end: a timing line opens a cue, its
// text lines follow, a blank line after text closes it. A line holding only an integer is
// text unless a timing line follows it directly (then it names the next cue). A timing line
// that cannot be read (malformed, or a timestamp out of range) is skipped with its block and
// counted in the report. WebVTT reads blocks as its standard does: any line holding "-->" ends
// the cue before it and is a timing line; WebVTT has blocks of its own without timing lines
// (NOTE, STYLE, REGION). SRT reads them as subtitle editors do: text after a blank line inside
// a cue stays in that cue unless it starts a block of its own (a timing line, a line of digits
// alone, or a line directly above a timing line, which is that cue's number whatever it
// holds); a block of text that reaches no timing line is counted (one of only numbers is no
// text).
ScannedCues scanCueBlocks(LineCursor& cursor, CueDialect dialect, bool keepLines);

} // namespace lyrane
