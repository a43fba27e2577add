#include "subtitles/subtitle_timestamps.h"

#include <QObject>

#include <algorithm>

namespace lyrane {

namespace {

bool isAsciiDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// WebVTT's white space inside a line; SRT, as editors write it, takes any.
bool isBlank(QChar c, CueDialect dialect) {
    if (dialect == CueDialect::Srt) {
        return c.isSpace();
    }
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\f') ||
           c == QLatin1Char('\n') || c == QLatin1Char('\r');
}

QStringView trimmedFor(QStringView text, CueDialect dialect) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text[begin], dialect)) {
        ++begin;
    }
    while (end > begin && isBlank(text[end - 1], dialect)) {
        --end;
    }
    return text.mid(begin, end - begin);
}

// Beyond this many hours the milliseconds would no longer fit comfortably in 64 bits.
constexpr qint64 maxHours = 1000000000;

const QLatin1String arrow("-->");

struct DigitRun {
    qsizetype count = 0;
    qsizetype leadingZeros = 0;
    qint64 value = 0;
    bool tooLarge = false;
};

DigitRun collectDigits(QStringView text, qsizetype* pos) {
    DigitRun run;
    for (; *pos < text.size() && isAsciiDigit(text[*pos]); ++*pos) {
        if (run.value == 0 && text[*pos] == QLatin1Char('0')) {
            ++run.leadingZeros;
        }
        if (run.value > maxHours) {
            run.tooLarge = true;
        } else {
            run.value = run.value * 10 + (text[*pos].unicode() - '0');
        }
        ++run.count;
    }
    return run;
}

} // namespace

TimestampReading readTimestamp(QStringView text, qsizetype from, CueDialect dialect) {
    TimestampReading reading;
    qsizetype pos = from;
    const auto at = [&](char c) {
        return pos < text.size() && text[pos] == QLatin1Char(c);
    };
    // SRT writers pad seconds and milliseconds with zeros too many ("013", "0567").
    const auto fits = [dialect](const DigitRun& run, qsizetype width) {
        return run.count == width || (dialect == CueDialect::Srt && run.count > width &&
                                      run.count - run.leadingZeros <= width);
    };

    const DigitRun first = collectDigits(text, &pos);
    if (first.count == 0 || !at(':')) {
        return reading;
    }
    const bool firstIsHours = first.count != 2 || first.value > 59;
    ++pos;
    const DigitRun second = collectDigits(text, &pos);
    qint64 hours = 0;
    qint64 minutes = first.value;
    qint64 seconds = second.value;
    if (firstIsHours || at(':')) {
        if (second.count != 2 || !at(':')) {
            return reading;
        }
        ++pos;
        const DigitRun third = collectDigits(text, &pos);
        if (!fits(third, 2)) {
            return reading;
        }
        hours = first.value;
        minutes = second.value;
        seconds = third.value;
    } else if (!fits(second, 2)) {
        return reading;
    }
    qint64 millis = 0;
    if (dialect == CueDialect::WebVtt) {
        if (!at('.')) {
            return reading;
        }
        ++pos;
        const DigitRun fraction = collectDigits(text, &pos);
        if (fraction.count != 3) {
            return reading;
        }
        millis = fraction.value;
    } else if (at('.') || at(',')) {
        ++pos;
        // The digits as written: ",04" is 40 ms, ",5" 500 ms.
        const DigitRun fraction = collectDigits(text, &pos);
        if (fraction.count < 1 || (fraction.count > 3 && !fits(fraction, 3))) {
            return reading;
        }
        millis = fraction.value;
        for (qsizetype i = fraction.count; i < 3; ++i) {
            millis *= 10;
        }
    }

    reading.end = pos;
    if (first.tooLarge || hours > maxHours) {
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

QString formatTimestamp(qint64 ms, QChar fractionSeparator) {
    // Written by hand rather than with QString::arg: a listing formats hundreds of thousands.
    ms = std::max<qint64>(ms, 0);
    QString hours = QString::number(ms / 3600000);
    if (hours.size() < 2) {
        hours.prepend(QLatin1Char('0'));
    }
    QChar rest[10];
    const auto put = [&rest](int at, qint64 value, int digits) {
        for (int i = digits - 1; i >= 0; --i, value /= 10) {
            rest[at + i] = QLatin1Char(char('0' + value % 10));
        }
    };
    rest[0] = QLatin1Char(':');
    put(1, ms / 60000 % 60, 2);
    rest[3] = QLatin1Char(':');
    put(4, ms / 1000 % 60, 2);
    rest[6] = fractionSeparator;
    put(7, ms % 1000, 3);
    return hours.append(rest, 10);
}

bool mayBeTimingLine(QStringView trimmedLine, CueDialect dialect) {
    if (dialect == CueDialect::WebVtt) {
        return trimmedLine.contains(arrow);
    }
    return !trimmedLine.isEmpty() && isAsciiDigit(trimmedLine.front()) &&
           trimmedLine.contains(arrow);
}

TimingLineReading readTimingLine(QStringView written, CueDialect dialect) {
    TimingLineReading result;
    const QStringView line = trimmedFor(written, dialect);
    const qsizetype arrowAt = line.indexOf(arrow);
    const auto unusable = [&](TimestampStatus status, QStringView timestamp) {
        result.message = timestampErrorMessage(status, timestamp);
        return result;
    };

    const QStringView startText = trimmedFor(line.left(arrowAt), dialect);
    const TimestampReading start = readTimestamp(line, 0, dialect);
    qsizetype pos = start.end;
    while (pos < arrowAt && isBlank(line[pos], dialect)) {
        ++pos;
    }
    if (start.status == TimestampStatus::Malformed || pos != arrowAt) {
        return unusable(TimestampStatus::Malformed, startText);
    }

    pos = arrowAt + arrow.size();
    while (pos < line.size() && isBlank(line[pos], dialect)) {
        ++pos;
    }
    qsizetype endTextEnd = pos;
    while (endTextEnd < line.size() && !isBlank(line[endTextEnd], dialect)) {
        ++endTextEnd;
    }
    const TimestampReading end = readTimestamp(line, pos, dialect);
    if (end.status == TimestampStatus::Malformed) {
        return unusable(end.status, line.mid(pos, endTextEnd - pos));
    }
    if (start.status != TimestampStatus::Ok) {
        return unusable(start.status, startText);
    }
    if (end.status != TimestampStatus::Ok) {
        return unusable(end.status, line.mid(pos, end.end - pos));
    }
    result.usable = true;
    result.startMs = start.ms;
    result.endMs = end.ms;
    return result;
}

} // namespace lyrane
