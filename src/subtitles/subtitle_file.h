#pragma once

#include "subtitles/cue.h"
#include "subtitles/subtitle_reading_options.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace lyrane {

enum class SubtitleFormat { WebVtt, Srt };

struct SubtitleFile {
    SubtitleFormat format = SubtitleFormat::WebVtt; // the form the file was read in
    QList<Cue> cues;
    // When no cue was found although the file has timing lines: why none could be used.
    QString noCuesReason;
    // One line each, for the user: the encoding that was detected, and what was left out
    // (SRT blocks without a timing line, cues whose timing line cannot be read).
    QStringList notices;
};

// Reads a subtitle file. A file whose first non-blank line starts with "WEBVTT" is WebVTT; an
// XML document is a DAPT script (readDaptScript; not under a name ending in ".srt"); text that
// starts with a script table's header row is that table (readScriptTable); otherwise it is
// SRT when its name ends in ".srt" or its first lines look like SRT. The bytes
// are decoded as decodeSubtitleText() does with `encoding` (empty: UTF-8, or else detected);
// text that does not decode fails, naming the file and the line.
std::optional<SubtitleFile> readSubtitleFile(const QString& path, const QString& encoding,
                                             QString* error);
// The same, with the reading options the command line gives (--frame-rate,
// --timecode-origin) for the times of scripts; the overload above reads with none.
std::optional<SubtitleFile> readSubtitleFile(const QString& path, const QString& encoding,
                                             const SubtitleReadingOptions& options, QString* error);

// Parses subtitle text of the given form; line ends may be LF, CR LF or CR. Fails only for
// WebVTT without its header; cues that cannot be read are left out and said in the notices.
std::optional<SubtitleFile> parseSubtitleContent(const QString& content, SubtitleFormat format,
                                                 QString* error);

} // namespace lyrane
