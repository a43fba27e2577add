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
// digits after a comma or a period, or none ("01:39", ",04" is 40 ms, ".5" 500 ms); seconds and
// milliseconds may carry leading zeros too many ("00:00:013,0567" is 13.567 s). Only ASCII
// digits count.
TimestampReading readTimestamp(QStringView text, qsizetype from, CueDialect dialect);

// The message for a timestamp that failed, naming the timestamp as written.
QString timestampErrorMessage(TimestampStatus status, QStringView timestamp);

// `ms` as hh:mm:ss.mmm, the hours of as many digits as they take ("60:00:01.000"), and the
// fraction after `fractionSeparator`; a negative time is written as 0.
QString formatTimestamp(qint64 ms, QChar fractionSeparator = QLatin1Char('.'));

struct TimingLineReading {
    bool usable = false;
    qint64 startMs = 0;
    qint64 endMs = 0;
    QString message; // why the line cannot be used
};

// Whether a trimmed line is meant as a cue timing line. In WebVTT that is any line holding an
// arrow ("-->"), as the standard reads blocks; in SRT a line that also starts with a digit.
bool mayBeTimingLine(QStringView trimmedLine, CueDialect dialect);

// Reads "start --> end [settings]"; white space around the arrow is optional and anything
// after the end timestamp is ignored. White space is WebVTT's (space, tab, form feed) in
// WebVTT, any in SRT. A timestamp that is malformed or out of range (a minute or second of 60)
// makes the line unusable.
TimingLineReading readTimingLine(QStringView line, CueDialect dialect);

} // namespace lyrane
