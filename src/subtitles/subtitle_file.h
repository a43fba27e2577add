#pragma once

#include "subtitles/vtt_parser.h"

#include <QList>
#include <QString>

#include <optional>

namespace lyrane {

enum class SubtitleFormat { WebVtt, Srt };

struct SubtitleFile {
    QList<VttCue> cues;
    // When no cue was found although the file has timing lines: why none could be used.
    QString noCuesReason;
};

// Reads a subtitle file. A file whose first non-blank line starts with "WEBVTT" is WebVTT;
// otherwise it is SRT when its name ends in ".srt" or its first lines look like SRT. The bytes
// are decoded as decodeSubtitleText() does with `encoding` (empty: UTF-8).
std::optional<SubtitleFile> readSubtitleFile(const QString& path, const QString& encoding,
                                             QString* error);

// Parses subtitle text of the given form; line ends may be LF, CR LF or CR.
std::optional<SubtitleFile> parseSubtitleContent(const QString& content, SubtitleFormat format,
                                                 QString* error);

} // namespace lyrane
