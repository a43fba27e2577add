#pragma once

#include <QString>
#include <QStringView>

namespace lyrane {

enum class TimestampStatus { Ok, Malformed, BadHours, BadMinutes, BadSeconds };

struct TimestampReading {
    TimestampStatus status = TimestampStatus::Malformed;
    qint64 ms = 0;
    qsizetype end = 0; // position after the timestamp when it is well formed
};

// Reads a timestamp starting at `from` the way WebVTT reads them: hours optional and of any
// number of digits, minutes and seconds of two digits, a period (or, for SRT, a comma) and
// three digits of milliseconds. Only ASCII digits count.
TimestampReading readTimestamp(QStringView text, qsizetype from, bool commaAllowed);

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
TimingLineReading readTimingLine(QStringView trimmedLine, bool commaAllowed);

} // namespace lyrane
