#include "subtitles/vtt_parser.h"

#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QStringList>

namespace lyrane {

namespace {

void setError(QString* error, const QString& message) {
    if (error) {
        *error = message;
    }
}

bool isAsciiDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// Cheap rejection before the timing pattern: a timing line starts with a digit and holds
// an arrow. Only lines that pass can match the pattern, so the result is unchanged.
bool mayBeTimingLine(QStringView line) {
    return line.size() >= 27 && isAsciiDigit(line.front()) && line.contains(QLatin1String("-->"));
}

// A line that is a bare cue number. Text starting with an ASCII character other than a
// digit or sign can never convert, so the conversion is skipped for it.
bool isCueNumber(QStringView line) {
    const QChar first = line.front();
    if (first.unicode() < 0x80 && !isAsciiDigit(first) && first != QLatin1Char('+') &&
        first != QLatin1Char('-')) {
        return false;
    }
    bool ok = false;
    static_cast<void>(line.toInt(&ok, 10));
    return ok;
}

// Reads "HH:MM:SS.mmm" exactly; false for anything else.
bool readPlainTimestamp(QStringView text, qint64 fields[4]) {
    if (text.size() != 12 || text[2] != QLatin1Char(':') || text[5] != QLatin1Char(':') ||
        text[8] != QLatin1Char('.')) {
        return false;
    }
    const auto number = [text](qsizetype from, qsizetype count, qint64* value) {
        *value = 0;
        for (qsizetype i = from; i < from + count; ++i) {
            if (!isAsciiDigit(text[i])) {
                return false;
            }
            *value = *value * 10 + (text[i].unicode() - '0');
        }
        return true;
    };
    return number(0, 2, &fields[0]) && number(3, 2, &fields[1]) && number(6, 2, &fields[2]) &&
           number(9, 3, &fields[3]);
}

// Subtitle files are small; anything this large is not one and would only exhaust memory.
constexpr qint64 maxFileSize = qint64(128) * 1024 * 1024;

} // namespace

QTime VttCue::startTime() const {
    return QTime(0, 0).addMSecs(static_cast<int>(startMs));
}

QTime VttCue::endTime() const {
    return QTime(0, 0).addMSecs(static_cast<int>(endMs));
}

std::optional<QList<VttCue>> VttParser::parse(const QString& path, QString* error) const {
    const auto openError = [error](const QString& reason) {
        setError(error, QObject::tr("failed to open VTT file: %1").arg(reason));
        return std::nullopt;
    };
    if (path.isEmpty()) {
        return openError(QObject::tr("no file name given"));
    }
    const QFileInfo info(path);
    if (info.isDir()) {
        return openError(QObject::tr("is a directory"));
    }
    if (info.isFile() && info.size() > maxFileSize) {
        return openError(QObject::tr("file is too large"));
    }

    // Read without text-mode translation, which is slow on large files; the carriage
    // returns it would drop are removed below instead.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return openError(file.errorString());
    }

    // Sized from the file, but bounded: devices and pipes report no size, and a file may
    // grow while it is read.
    QByteArray bytes(qBound<qint64>(64 * 1024, file.size() + 1, maxFileSize + 1),
                     Qt::Uninitialized);
    qint64 used = 0;
    for (;;) {
        if (used == bytes.size()) {
            if (used > maxFileSize) {
                return openError(QObject::tr("file is too large"));
            }
            bytes.resize(qMin<qint64>(bytes.size() * 2, maxFileSize + 1));
        }
        const qint64 got = file.read(bytes.data() + used, bytes.size() - used);
        if (got < 0) {
            return openError(file.errorString());
        }
        if (got == 0) {
            break;
        }
        used += got;
    }
    file.close();
    bytes.truncate(used);
    bytes.removeIf([](char c) { return c == '\r'; });

    // UTF-8; the decoder drops a leading byte-order mark and replaces invalid sequences.
    QStringDecoder decoder(QStringConverter::Utf8);
    QString content = decoder.decode(bytes);
    bytes = QByteArray();
    return parseContent(content, error);
}

std::optional<QList<VttCue>> VttParser::parseContent(const QString& content, QString* error) const {
    static const QRegularExpression timestampPattern(QStringLiteral(
        "^(\\d{2}:\\d{2}:\\d{2}\\.\\d{3})\\s*-->\\s*(\\d{2}:\\d{2}:\\d{2}\\.\\d{3}).*$"));

    // Every line is trimmed before use, so a carriage return before the line feed falls
    // away with the trimming; views avoid copying each line.
    const QStringView all(content);
    qsizetype pos = 0;
    bool linesLeft = true;
    auto nextLine = [&]() -> QStringView {
        const qsizetype lf = all.indexOf(QLatin1Char('\n'), pos);
        QStringView line;
        if (lf < 0) {
            line = all.mid(pos);
            linesLeft = false;
        } else {
            line = all.mid(pos, lf - pos);
            pos = lf + 1;
        }
        return line.trimmed();
    };

    bool headerFound = false;
    while (linesLeft) {
        const QStringView t = nextLine();
        if (t.isEmpty()) {
            continue;
        }
        headerFound = t.startsWith(QLatin1String("WEBVTT"));
        break;
    }
    if (!headerFound) {
        setError(error, QObject::tr("VTT file missing WEBVTT header"));
        return std::nullopt;
    }

    QList<VttCue> cues;
    bool inCue = false;
    VttCue pending;
    QStringList pendingLines;

    auto finishCue = [&]() {
        pending.text = pendingLines.join(QLatin1Char(' ')).trimmed();
        if (!pending.text.isEmpty()) {
            cues.append(pending);
        }
        pendingLines.clear();
    };

    while (linesLeft) {
        const QStringView t = nextLine();

        if (mayBeTimingLine(t)) {
            const QRegularExpressionMatch match = timestampPattern.match(t);
            if (match.hasMatch()) {
                if (inCue) {
                    finishCue();
                }
                pending = VttCue();
                pendingLines.clear();
                const std::optional<qint64> start = parseTimestamp(match.captured(1), error);
                if (!start) {
                    return std::nullopt;
                }
                const std::optional<qint64> end = parseTimestamp(match.captured(2), error);
                if (!end) {
                    return std::nullopt;
                }
                pending.startMs = *start;
                pending.endMs = *end;
                inCue = true;
                continue;
            }
        }

        if (!inCue) {
            continue;
        }
        if (!t.isEmpty()) {
            if (!isCueNumber(t)) {
                pendingLines.append(extractText(t.toString()));
            }
        } else if (!pendingLines.isEmpty()) {
            // A blank line directly after the timing line does not close the cue.
            finishCue();
            inCue = false;
        }
    }

    if (inCue && !pendingLines.isEmpty()) {
        finishCue();
    }
    return cues;
}

std::optional<qint64> VttParser::parseTimestamp(const QString& timestamp, QString* error) const {
    static const QRegularExpression tsRegex(
        QStringLiteral("^(\\d{2}):(\\d{2}):(\\d{2})\\.(\\d{3})$"));

    // Hours, minutes, seconds, milliseconds. The plain 12-character form is read by hand,
    // as it is for nearly every cue; anything else goes through the pattern, which accepts
    // that form too, so the outcome is the same either way.
    qint64 fields[4] = {};
    bool converted[4] = {true, true, true, true};
    if (!readPlainTimestamp(timestamp, fields)) {
        const QRegularExpressionMatch match = tsRegex.match(timestamp);
        if (!match.hasMatch()) {
            setError(error, QObject::tr("invalid timestamp format: %1").arg(timestamp));
            return std::nullopt;
        }
        for (int i = 0; i < 4; ++i) {
            fields[i] = match.capturedView(i + 1).toLongLong(&converted[i], 10);
        }
    }

    if (!converted[0]) {
        setError(error, QObject::tr("invalid hours in timestamp: %1").arg(timestamp));
        return std::nullopt;
    }
    if (!converted[1] || fields[1] > 59) {
        setError(error, QObject::tr("invalid minutes in timestamp: %1").arg(timestamp));
        return std::nullopt;
    }
    if (!converted[2] || fields[2] > 59) {
        setError(error, QObject::tr("invalid seconds in timestamp: %1").arg(timestamp));
        return std::nullopt;
    }
    if (!converted[3] || fields[3] > 999) {
        setError(error, QObject::tr("invalid milliseconds in timestamp: %1").arg(timestamp));
        return std::nullopt;
    }
    return fields[0] * 3600000 + fields[1] * 60000 + fields[2] * 1000 + fields[3];
}

QString VttParser::extractText(const QString& line) const {
    static const QRegularExpression speakerTag(QStringLiteral("<v\\s+[^>]+>"));

    // Most lines carry no voice tag; skip the pattern for them.
    if (!line.contains(QLatin1String("<v"))) {
        return line.trimmed();
    }
    QString text = line;
    text.remove(speakerTag);
    return text.trimmed();
}

} // namespace lyrane
