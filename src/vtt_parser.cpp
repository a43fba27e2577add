#include "vtt_parser.h"

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

// Subtitle files are small; anything this large is not one and would only exhaust memory.
constexpr qint64 maxFileSize = qint64(256) * 1024 * 1024;

} // namespace

QTime VttCue::startTime() const {
    return QTime(0, 0).addMSecs(static_cast<int>(startMs));
}

QTime VttCue::endTime() const {
    return QTime(0, 0).addMSecs(static_cast<int>(endMs));
}

std::optional<QList<VttCue>> VttParser::parse(const QString& path, QString* error) const {
    const QFileInfo info(path);
    if (info.isDir()) {
        setError(error,
                 QObject::tr("failed to open VTT file: %1").arg(QObject::tr("is a directory")));
        return std::nullopt;
    }
    if (info.isFile() && info.size() > maxFileSize) {
        setError(error,
                 QObject::tr("failed to open VTT file: %1").arg(QObject::tr("file is too large")));
        return std::nullopt;
    }

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        setError(error, QObject::tr("failed to open VTT file: %1").arg(file.errorString()));
        return std::nullopt;
    }

    // Read in bounded chunks: devices and pipes report no size, and a file may grow.
    QByteArray bytes;
    for (;;) {
        const QByteArray chunk = file.read(1024 * 1024);
        if (chunk.isEmpty()) {
            if (file.error() != QFileDevice::NoError) {
                setError(error, QObject::tr("failed to open VTT file: %1").arg(file.errorString()));
                return std::nullopt;
            }
            break;
        }
        bytes += chunk;
        if (bytes.size() > maxFileSize) {
            setError(
                error,
                QObject::tr("failed to open VTT file: %1").arg(QObject::tr("file is too large")));
            return std::nullopt;
        }
    }
    file.close();

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

    const QRegularExpressionMatch match = tsRegex.match(timestamp);
    if (!match.hasMatch()) {
        setError(error, QObject::tr("invalid timestamp format: %1").arg(timestamp));
        return std::nullopt;
    }

    bool ok = false;
    const qint64 hours = match.capturedView(1).toLongLong(&ok, 10);
    if (!ok) {
        setError(error, QObject::tr("invalid hours in timestamp: %1").arg(timestamp));
        return std::nullopt;
    }
    const qint64 minutes = match.capturedView(2).toLongLong(&ok, 10);
    if (!ok || minutes > 59) {
        setError(error, QObject::tr("invalid minutes in timestamp: %1").arg(timestamp));
        return std::nullopt;
    }
    const qint64 seconds = match.capturedView(3).toLongLong(&ok, 10);
    if (!ok || seconds > 59) {
        setError(error, QObject::tr("invalid seconds in timestamp: %1").arg(timestamp));
        return std::nullopt;
    }
    const qint64 milliseconds = match.capturedView(4).toLongLong(&ok, 10);
    if (!ok || milliseconds > 999) {
        setError(error, QObject::tr("invalid milliseconds in timestamp: %1").arg(timestamp));
        return std::nullopt;
    }
    return hours * 3600000 + minutes * 60000 + seconds * 1000 + milliseconds;
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
