#include "subtitles/caption_writer.h"

#include "subtitles/cue_markup.h"
#include "subtitles/subtitle_timestamps.h"

#include <QObject>
#include <QStringList>

#include <algorithm>

namespace lyrane {

namespace {

// A text's lines, trimmed, without blank ones: a blank line would end the cue, and the reader
// joins a cue's lines with single spaces anyway. CR LF, LF and a lone CR all break lines.
QStringList textLines(const QString& text) {
    QStringList lines;
    for (const QString& line : QString(text)
                                   .replace(QLatin1Char('\r'), QLatin1Char('\n'))
                                   .split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QString trimmed = line.trimmed();
        if (!trimmed.isEmpty()) {
            lines.append(trimmed);
        }
    }
    return lines;
}

// `text` with each of `characters` written as a character reference, which the reader decodes
// and never takes for markup.
QString withReferences(const QString& text, QLatin1String characters) {
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        if (c.unicode() >= 0x80 || !characters.contains(c)) {
            escaped += c;
        } else if (c == QLatin1Char('&')) {
            escaped += QLatin1String("&amp;");
        } else if (c == QLatin1Char('<')) {
            escaped += QLatin1String("&lt;");
        } else if (c == QLatin1Char('>')) {
            escaped += QLatin1String("&gt;");
        } else {
            escaped += QStringLiteral("&#%1;").arg(c.unicode());
        }
    }
    return escaped;
}

// Whether lyrane's reader takes the line `written` for a line of cue text that says `text`.
bool readsBackAs(const QString& written, const QString& text, CueDialect dialect) {
    const QStringView line = QStringView(written).trimmed();
    if (mayBeTimingLine(line, dialect)) {
        return false;
    }
    CueMarkupState state(dialect);
    return cleanCueLine(line, state, nullptr) == text && !state.inTag;
}

// What every markup character of either format looks like escaped: tags, references, editor
// codes and escapes, and the arrow of a timing line.
const QLatin1String allMarkup("&<>{\\");

// One line of text as written in the file. WebVTT's markup characters are always escaped, as
// the format asks; SRT text is written as it is when the reader gets it back unchanged, since
// other players show references literally. Editor codes and escapes ("{\an8}", "\N") are
// escaped in either format only when the text holds them.
QString writtenText(const QString& text, CaptionFormat format) {
    if (format == CaptionFormat::Srt) {
        return readsBackAs(text, text, CueDialect::Srt) ? text : withReferences(text, allMarkup);
    }
    const QString escaped = withReferences(text, QLatin1String("&<>"));
    return readsBackAs(escaped, text, CueDialect::WebVtt) ? escaped
                                                          : withReferences(text, allMarkup);
}

} // namespace

std::optional<CaptionFormat> captionFormatForPath(const QString& path) {
    if (path.endsWith(QLatin1String(".vtt"), Qt::CaseInsensitive)) {
        return CaptionFormat::WebVtt;
    }
    if (path.endsWith(QLatin1String(".srt"), Qt::CaseInsensitive)) {
        return CaptionFormat::Srt;
    }
    return std::nullopt;
}

CaptionCue retimedCaption(const CaptionCue& cue, const CaptionPlacement& placement) {
    CaptionCue retimed = cue;
    retimed.startMs = placement.clipStartMs;
    retimed.endMs = std::max(placement.clipEndMs, cue.endMs + placement.delayMs);
    return retimed;
}

QString captionCueText(const CaptionCue& cue, CaptionFormat format, qint64 number) {
    const qint64 start = std::max<qint64>(cue.startMs, 0);
    const qint64 end = std::max(cue.endMs, start);
    QStringList lines = textLines(cue.text);
    for (QString& line : lines) {
        line = writtenText(line, format);
    }
    const QString text = lines.join(QLatin1Char('\n'));
    if (format == CaptionFormat::Srt) {
        return QString::number(number) + QLatin1Char('\n') +
               formatTimestamp(start, QLatin1Char(',')) + QLatin1String(" --> ") +
               formatTimestamp(end, QLatin1Char(',')) + QLatin1Char('\n') + text +
               QLatin1String("\n\n");
    }
    QString body = text;
    if (!cue.words.isEmpty()) {
        QStringList timed;
        for (const CaptionWord& word : cue.words) {
            const qint64 at = std::clamp(word.startMs, start, end);
            timed.append(QLatin1Char('<') + formatTimestamp(at) + QLatin1Char('>') +
                         writtenText(word.text, format));
        }
        body = timed.join(QLatin1Char(' '));
    }
    const QString speaker = cue.speaker.simplified();
    if (!speaker.isEmpty()) {
        body = QLatin1String("<v ") + writtenText(speaker, format) + QLatin1Char('>') + body;
    }
    return formatTimestamp(start) + QLatin1String(" --> ") + formatTimestamp(end) +
           QLatin1Char('\n') + body + QLatin1String("\n\n");
}

CaptionWriter::CaptionWriter(const QString& path) : file(path) {}

bool CaptionWriter::open(QString* error) {
    const std::optional<CaptionFormat> chosen = captionFormatForPath(file.fileName());
    if (!chosen) {
        if (error) {
            *error = QObject::tr("failed to write captions %1: the name must end in .vtt or .srt")
                         .arg(file.fileName());
        }
        return false;
    }
    format = *chosen;
    written = 0;
    if (!file.open(QIODevice::WriteOnly)) {
        if (error) {
            *error = QObject::tr("failed to write captions %1: %2")
                         .arg(file.fileName(), file.errorString());
        }
        return false;
    }
    return format == CaptionFormat::Srt || writeText(QStringLiteral("WEBVTT\n\n"), error);
}

bool CaptionWriter::writeText(const QString& text, QString* error) {
    const QByteArray bytes = text.toUtf8();
    if (file.write(bytes) != bytes.size()) {
        if (error) {
            *error = QObject::tr("failed to write captions %1: %2")
                         .arg(file.fileName(), file.errorString());
        }
        file.cancelWriting();
        return false;
    }
    return true;
}

bool CaptionWriter::write(const CaptionCue& cue, QString* error) {
    if (textLines(cue.text).isEmpty()) {
        return true; // nothing was said, so there is nothing to show
    }
    return writeText(captionCueText(cue, format, ++written), error);
}

bool CaptionWriter::commit(QString* error) {
    if (!file.commit()) {
        if (error) {
            *error = QObject::tr("failed to write captions %1: %2")
                         .arg(file.fileName(), file.errorString());
        }
        return false;
    }
    return true;
}

bool writeCaptions(const QString& path, const QList<CaptionCue>& cues, QString* error) {
    CaptionWriter writer(path);
    if (!writer.open(error)) {
        return false;
    }
    for (const CaptionCue& cue : cues) {
        if (!writer.write(cue, error)) {
            return false;
        }
    }
    return writer.commit(error);
}

} // namespace lyrane
