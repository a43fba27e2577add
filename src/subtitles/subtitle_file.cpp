#include "subtitles/subtitle_file.h"

#include "subtitles/cue_scanner.h"
#include "subtitles/dapt_reader.h"
#include "subtitles/rolling_captions.h"
#include "subtitles/script_table.h"
#include "subtitles/text_decoding.h"
#include "subtitles/xml_sniffing.h"

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

// "film.srt: message", or the message alone for text that comes from no file.
QString aboutSource(const QString& source, const QString& message) {
    return source.isEmpty() ? message : QStringLiteral("%1: %2").arg(source, message);
}

QStringList leftOutNotices(const CueScanReport& report, bool cuesFound, const QString& source) {
    QStringList notices;
    if (report.untimedBlocks == 1) {
        notices << aboutSource(source, QObject::tr("the block at line %1 has no timing line and "
                                                   "is left out")
                                           .arg(report.firstUntimedLine));
    } else if (report.untimedBlocks > 1) {
        notices << aboutSource(source, QObject::tr("%1 blocks without a timing line are left "
                                                   "out, the first at line %2")
                                           .arg(report.untimedBlocks)
                                           .arg(report.firstUntimedLine));
    }
    // Without any cue the run fails and says why; with some, the others are only left out.
    if (cuesFound && report.unusableTimingLines == 1) {
        notices << aboutSource(source, QObject::tr("the cue at line %1 is left out, its timing "
                                                   "line cannot be read: %2")
                                           .arg(report.firstUnusableLine)
                                           .arg(report.firstUnusableReason));
    } else if (cuesFound && report.unusableTimingLines > 1) {
        notices << aboutSource(source, QObject::tr("%1 cues are left out, their timing lines "
                                                   "cannot be read; the first at line %2: %3")
                                           .arg(report.unusableTimingLines)
                                           .arg(report.firstUnusableLine)
                                           .arg(report.firstUnusableReason));
    }
    return notices;
}

std::optional<SubtitleFile> parseNormalized(QStringView content, SubtitleFormat format,
                                            const QString& source, QString* error) {
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
    ScannedCues scanned = scanCueBlocks(
        cursor, format == SubtitleFormat::Srt ? CueDialect::Srt : CueDialect::WebVtt, rolling);
    SubtitleFile file;
    file.format = format;
    if (rolling && isRollingCaptionStyle(scanned.cues, scanned.cueLines)) {
        file.cues = collapseRollingCaptions(scanned.cues, scanned.cueLines);
    } else {
        file.cues = std::move(scanned.cues);
    }
    const CueScanReport& report = scanned.report;
    if (file.cues.isEmpty() && report.unusableTimingLines > 0) {
        file.noCuesReason = QObject::tr("no timing line could be read; %n unusable, the first at "
                                        "line %1: %2",
                                        nullptr, report.unusableTimingLines)
                                .arg(report.firstUnusableLine)
                                .arg(report.firstUnusableReason);
    }
    file.notices = leftOutNotices(report, !file.cues.isEmpty(), source);
    return file;
}

} // namespace

std::optional<SubtitleFile> readSubtitleFile(const QString& path, const QString& encoding,
                                             QString* error) {
    return readSubtitleFile(path, encoding, SubtitleReadingOptions(), error);
}

std::optional<SubtitleFile> readSubtitleFile(const QString& path, const QString& encoding,
                                             const SubtitleReadingOptions& options,
                                             QString* error) {
    const bool srtName = path.endsWith(QLatin1String(".srt"), Qt::CaseInsensitive);
    // XML names its own encoding, and a script with its clips embedded is no small file.
    if (!srtName && fileLooksLikeXml(path)) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            setError(error, QObject::tr("failed to open VTT file: %1").arg(file.errorString()));
            return std::nullopt;
        }
        return readDaptScript(&file, options, path, error);
    }
    std::optional<QByteArray> bytes = readBytes(path, error);
    if (!bytes) {
        return std::nullopt;
    }
    QString decodeError;
    DecodingFailure failure = DecodingFailure::UnknownEncoding;
    std::optional<DecodedText> decoded =
        decodeSubtitleText(*bytes, encoding, &failure, &decodeError);
    bytes.reset();
    if (!decoded) {
        setError(error, failure == DecodingFailure::UnknownEncoding
                            ? QObject::tr("failed to open VTT file: %1").arg(decodeError)
                            : aboutSource(path, decodeError));
        return std::nullopt;
    }
    QString& content = decoded->text;
    normalizeLineEnds(content);

    std::optional<SubtitleFile> file;
    if (hasWebVttHeader(content)) {
        file = parseNormalized(content, SubtitleFormat::WebVtt, path, error);
    } else if (!srtName && looksLikeXml(content)) {
        file = readDaptScript(content, options, path, error);
    } else if (looksLikeScriptTable(content)) {
        file = readScriptTable(content, options, path, error);
    } else if (srtName || looksLikeSrt(content)) {
        file = parseNormalized(content, SubtitleFormat::Srt, path, error);
    } else {
        setError(error, QObject::tr("VTT file missing WEBVTT header (not an SRT file either)"));
    }
    if (file && !decoded->detectedEncoding.isEmpty()) {
        file->notices.prepend(
            aboutSource(path, QObject::tr("not UTF-8; read as %1, the encoding detected in it "
                                          "(--encoding names another)")
                                  .arg(decoded->detectedEncoding)));
    }
    return file;
}

std::optional<SubtitleFile> parseSubtitleContent(const QString& content, SubtitleFormat format,
                                                 QString* error) {
    if (content.contains(QLatin1Char('\r'))) {
        QString normalized = content;
        normalizeLineEnds(normalized);
        return parseNormalized(normalized, format, QString(), error);
    }
    return parseNormalized(content, format, QString(), error);
}

} // namespace lyrane
