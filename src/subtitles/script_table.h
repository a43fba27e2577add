#pragma once

#include "subtitles/subtitle_file.h"
#include "subtitles/subtitle_reading_options.h"

#include <QString>
#include <QStringView>

#include <optional>

namespace lyrane {

// Whether text (LF line ends) starts, after blank lines, with the header row of a script table:
// comma- or tab-separated column names, among them an in-time ("in" or "start") and a text
// ("text" or "description"), in any letter case.
bool looksLikeScriptTable(QStringView content);

// Reads a script table as cues, one a row: the in-time and the optional out-time ("out" or
// "end"), the text (line breaks in it become spaces) and the optional speaker ("speaker" or
// "character"). Times are SMPTE timecodes at options.frameRate (hh:mm:ss:ff, drop-frame
// hh:mm:ss;ff) or clock times (hh:mm:ss.fff), less options.timecodeOrigin. A row without an
// out-time ends at the next row's in-time; the last one, where it begins (with a notice). Rows
// without text are left out with a notice. A time that cannot be read, a timecode without a
// frame rate, an out-time before its in-time or a time before the origin fails with one line
// naming the row (counted as a spreadsheet counts them, the header being row 1); `source`
// names the file in messages.
std::optional<SubtitleFile> readScriptTable(QStringView content,
                                            const SubtitleReadingOptions& options,
                                            const QString& source, QString* error);

} // namespace lyrane
