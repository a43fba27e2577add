#include "subtitles/subtitle_timestamps.h"

#include <QObject>

namespace lyrane {

namespace {

bool isAsciiDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

bool isBlank(QChar c) {
    return c.isSpace();
}

// Beyond this many hours the milliseconds would no longer fit comfortably in 64 bits.
constexpr qint64 maxHours = 1000000000;

const QLatin1String arrow("-->");

} // namespace

TimestampReading readTimestamp(QStringView text, qsizetype from, CueDialect dialect) {
    TimestampReading reading;
    qsizetype pos = from;
    const qsizetype size = text.size();
    bool tooLarge = false;
    const auto collect = [&](qint64* value) {
        const qsizetype start = pos;
        *value = 0;
        for (; pos < size && isAsciiDigit(text[pos]); ++pos) {
            if (*value > maxHours) {
                tooLarge = true;
            } else {
                *value = *value * 10 + (text[pos].unicode() - '0');
            }
        }
        return pos - start;
    };
    const auto at = [&](char c) {
        return pos < size && text[pos] == QLatin1Char(c);
    };

    qint64 first = 0;
    const qsizetype firstDigits = collect(&first);
    if (firstDigits == 0 || !at(':')) {
        return reading;
    }
    const bool firstIsHours = firstDigits != 2 || first > 59;
    ++pos;
    qint64 second = 0;
    if (collect(&second) != 2) {
        return reading;
    }
    qint64 hours = 0;
    qint64 minutes = first;
    qint64 seconds = second;
    if (firstIsHours || at(':')) {
        if (!at(':')) {
            return reading;
        }
        ++pos;
        qint64 third = 0;
        if (collect(&third) != 2) {
            return reading;
        }
        hours = first;
        minutes = second;
        seconds = third;
    }
    qint64 millis = 0;
    if (dialect == CueDialect::WebVtt) {
        if (!at('.')) {
            return reading;
        }
        ++pos;
        if (collect(&millis) != 3) {
            return reading;
        }
    } else if (at('.') || at(',')) {
        ++pos;
        // The digits as written: ",04" is 40 ms, ",5" 500 ms.
        const qsizetype digits = collect(&millis);
        if (digits < 1 || digits > 3) {
            return reading;
        }
        for (qsizetype i = digits; i < 3; ++i) {
            millis *= 10;
        }
    }

    reading.end = pos;
    if (tooLarge || hours > maxHours) {
        reading.status = TimestampStatus::BadHours;
    } else if (minutes > 59) {
        reading.status = TimestampStatus::BadMinutes;
    } else if (seconds > 59) {
        reading.status = TimestampStatus::BadSeconds;
    } else {
        reading.status = TimestampStatus::Ok;
        reading.ms = hours * 3600000 + minutes * 60000 + seconds * 1000 + millis;
    }
    return reading;
}

QString timestampErrorMessage(TimestampStatus status, QStringView timestamp) {
    const QString text = timestamp.toString();
    switch (status) {
    case TimestampStatus::BadHours:
        return QObject::tr("invalid hours in timestamp: %1").arg(text);
    case TimestampStatus::BadMinutes:
        return QObject::tr("invalid minutes in timestamp: %1").arg(text);
    case TimestampStatus::BadSeconds:
        return QObject::tr("invalid seconds in timestamp: %1").arg(text);
    case TimestampStatus::Ok:
    case TimestampStatus::Malformed:
        break;
    }
    return QObject::tr("invalid timestamp format: %1").arg(text);
}

bool mayBeTimingLine(QStringView trimmedLine) {
    return !trimmedLine.isEmpty() && isAsciiDigit(trimmedLine.front()) &&
           trimmedLine.contains(arrow);
}

TimingLineReading readTimingLine(QStringView line, CueDialect dialect) {
    TimingLineReading result;
    const qsizetype arrowAt = line.indexOf(arrow);
    const auto unusable = [&](QStringView timestamp) {
        result.kind = TimingLineKind::Unusable;
        result.message = timestampErrorMessage(TimestampStatus::Malformed, timestamp);
        return result;
    };
    const auto outOfRange = [&](const TimestampReading& reading, QStringView timestamp) {
        result.kind = TimingLineKind::OutOfRange;
        result.message = timestampErrorMessage(reading.status, timestamp);
        return result;
    };

    const QStringView startText = line.left(arrowAt).trimmed();
    const TimestampReading start = readTimestamp(line, 0, dialect);
    qsizetype pos = start.end;
    while (pos < arrowAt && isBlank(line[pos])) {
        ++pos;
    }
    if (start.status == TimestampStatus::Malformed || pos != arrowAt) {
        return unusable(startText);
    }

    pos = arrowAt + arrow.size();
    while (pos < line.size() && isBlank(line[pos])) {
        ++pos;
    }
    qsizetype endTextEnd = pos;
    while (endTextEnd < line.size() && !isBlank(line[endTextEnd])) {
        ++endTextEnd;
    }
    const TimestampReading end = readTimestamp(line, pos, dialect);
    if (end.status == TimestampStatus::Malformed) {
        return unusable(line.mid(pos, endTextEnd - pos));
    }
    if (start.status != TimestampStatus::Ok) {
        return outOfRange(start, startText);
    }
    if (end.status != TimestampStatus::Ok) {
        return outOfRange(end, line.mid(pos, end.end - pos));
    }
    result.kind = TimingLineKind::Timing;
    result.startMs = start.ms;
    result.endMs = end.ms;
    return result;
}

} // namespace lyrane
