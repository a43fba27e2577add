#include "subtitles/subtitle_file.h"

#include "subtitles/cue_scanner.h"
#include "subtitles/rolling_captions.h"
#include "subtitles/text_decoding.h"

#include <QFile>
#include <QFileInfo>
#include <QObject>

#include <algorithm>

namespace lyrane {

namespace {

void setError(QString* error, const QString& message) {
    if (error) {
        *error = message;
    }
}

// Subtitle files are small; anything this large is not one and would only exhaust memory.
constexpr qint64 maxFileSize = qint64(128) * 1024 * 1024;

std::optional<QByteArray> readBytes(const QString& path, QString* error) {
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

    // Read without text-mode translation, which is slow on large files; line ends are
    // normalised after decoding instead.
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
    bytes.truncate(used);
    return bytes;
}

QStringView firstNonBlankLine(LineCursor cursor) {
    while (!cursor.atEnd()) {
        const QStringView line = cursor.next();
        if (!line.isEmpty()) {
            return line;
        }
    }
    return {};
}

bool hasWebVttHeader(QStringView content) {
    return firstNonBlankLine(LineCursor(content)).startsWith(QLatin1String("WEBVTT"));
}

// SRT starts with a cue number directly followed by a timing line.
bool looksLikeSrt(QStringView content) {
    LineCursor cursor(content);
    QStringView line;
    while (!cursor.atEnd() && line.isEmpty()) {
        line = cursor.next();
    }
    if (line.isEmpty() || !std::all_of(line.begin(), line.end(), [](QChar c) {
            return c >= QLatin1Char('0') && c <= QLatin1Char('9');
        })) {
        return false;
    }
    return cursor.peek().contains(QLatin1String("-->"));
}

std::optional<SubtitleFile> parseNormalized(QStringView content, SubtitleFormat format,
                                            QString* error) {
    LineCursor cursor(content);
    if (format == SubtitleFormat::WebVtt) {
        QStringView header;
        while (!cursor.atEnd() && header.isEmpty()) {
            header = cursor.next();
        }
        if (!header.startsWith(QLatin1String("WEBVTT"))) {
            setError(error, QObject::tr("VTT file missing WEBVTT header"));
            return std::nullopt;
        }
    }

    const bool rolling = mayHoldRollingCaptions(content);
    std::optional<ScannedCues> scanned =
        scanCueBlocks(cursor, format == SubtitleFormat::Srt ? CueDialect::Srt : CueDialect::WebVtt,
                      rolling, error);
    if (!scanned) {
        return std::nullopt;
    }
    SubtitleFile file;
    if (rolling && isRollingCaptionStyle(scanned->cues, scanned->cueLines)) {
        file.cues = collapseRollingCaptions(scanned->cues, scanned->cueLines);
    } else {
        file.cues = std::move(scanned->cues);
    }
    const CueScanReport& report = scanned->report;
    if (file.cues.isEmpty() && report.unusableTimingLines > 0) {
        file.noCuesReason = QObject::tr("no timing line could be read; %n unusable, the first at "
                                        "line %1: %2",
                                        nullptr, report.unusableTimingLines)
                                .arg(report.firstUnusableLine)
                                .arg(report.firstUnusableReason);
    }
    return file;
}

} // namespace

std::optional<SubtitleFile> readSubtitleFile(const QString& path, const QString& encoding,
                                             QString* error) {
    std::optional<QByteArray> bytes = readBytes(path, error);
    if (!bytes) {
        return std::nullopt;
    }
    QString decodeError;
    std::optional<QString> content = decodeSubtitleText(*bytes, encoding, &decodeError);
    bytes.reset();
    if (!content) {
        setError(error, QObject::tr("failed to open VTT file: %1").arg(decodeError));
        return std::nullopt;
    }
    normalizeLineEnds(*content);

    if (hasWebVttHeader(*content)) {
        return parseNormalized(*content, SubtitleFormat::WebVtt, error);
    }
    if (path.endsWith(QLatin1String(".srt"), Qt::CaseInsensitive) || looksLikeSrt(*content)) {
        return parseNormalized(*content, SubtitleFormat::Srt, error);
    }
    setError(error, QObject::tr("VTT file missing WEBVTT header (not an SRT file either)"));
    return std::nullopt;
}

std::optional<SubtitleFile> parseSubtitleContent(const QString& content, SubtitleFormat format,
                                                 QString* error) {
    if (content.contains(QLatin1Char('\r'))) {
        QString normalized = content;
        normalizeLineEnds(normalized);
        return parseNormalized(normalized, format, error);
    }
    return parseNormalized(content, format, error);
}

} // namespace lyrane
