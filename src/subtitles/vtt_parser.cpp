#include "subtitles/vtt_parser.h"

#include "subtitles/cue_markup.h"
#include "subtitles/subtitle_file.h"
#include "subtitles/subtitle_timestamps.h"

namespace lyrane {

QTime VttCue::startTime() const {
    return QTime(0, 0).addMSecs(static_cast<int>(startMs));
}

QTime VttCue::endTime() const {
    return QTime(0, 0).addMSecs(static_cast<int>(endMs));
}

std::optional<QList<VttCue>> VttParser::parse(const QString& path, QString* error) const {
    std::optional<SubtitleFile> file = readSubtitleFile(path, QString(), error);
    if (!file) {
        return std::nullopt;
    }
    return std::move(file->cues);
}

std::optional<QList<VttCue>> VttParser::parseContent(const QString& content, QString* error) const {
    std::optional<SubtitleFile> file = parseSubtitleContent(content, SubtitleFormat::WebVtt, error);
    if (!file) {
        return std::nullopt;
    }
    return std::move(file->cues);
}

std::optional<qint64> VttParser::parseTimestamp(const QString& timestamp, QString* error) const {
    TimestampReading reading = readTimestamp(timestamp, 0, CueDialect::WebVtt);
    if (reading.status != TimestampStatus::Malformed && reading.end != timestamp.size()) {
        reading.status = TimestampStatus::Malformed;
    }
    if (reading.status != TimestampStatus::Ok) {
        if (error) {
            *error = timestampErrorMessage(reading.status, timestamp);
        }
        return std::nullopt;
    }
    return reading.ms;
}

QString VttParser::extractText(const QString& line) const {
    CueMarkupState state(CueDialect::WebVtt);
    return cleanCueLine(QStringView(line).trimmed(), state, nullptr);
}

} // namespace lyrane
