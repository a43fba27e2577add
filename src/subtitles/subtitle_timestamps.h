#pragma once

#include "subtitles/cue_dialect.h"

#include <QString>
#include <QStringView>

namespace lyrane {

enum class TimestampStatus { Ok, Malformed, BadHours, BadMinutes, BadSeconds };

struct TimestampReading {
    TimestampStatus status = TimestampStatus::Malformed;
    qint64 ms = 0;
    qsizetype end = 0; // position after the timestamp when it is well formed
};

// Reads a timestamp starting at `from`. WebVTT's: hours optional and of any number of digits,
// minutes and seconds of two digits, a period and three digits of milliseconds. SRT's as
// editors write them: the same hours, minutes and seconds, then a fraction of one to three
// digits after a comma or a period, or none ("01:39", ",04" is 40 ms, ".5" 500 ms). Only ASCII
// digits count.
TimestampReading readTimestamp(QStringView text, qsizetype from, CueDialect dialect);

// The message for a timestamp that failed, naming the timestamp as written.
QString timestampErrorMessage(TimestampStatus status, QStringView timestamp);

enum class TimingLineKind { Timing, Unusable, OutOfRange };

struct TimingLineReading {
    TimingLineKind kind = TimingLineKind::Unusable;
    qint64 startMs = 0;
    qint64 endMs = 0;
    QString message; // why the line is unusable or out of range
};

// A trimmed line that is meant as a cue timing line: it starts with a digit and holds an arrow.
bool mayBeTimingLine(QStringView trimmedLine);

// Reads "start --> end [settings]"; white space around the arrow is optional and anything
// after the end timestamp is ignored.
TimingLineReading readTimingLine(QStringView trimmedLine, CueDialect dialect);

} // namespace lyrane
