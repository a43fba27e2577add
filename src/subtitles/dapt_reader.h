#pragma once

#include "subtitles/subtitle_file.h"
#include "subtitles/subtitle_reading_options.h"

#include <QIODevice>
#include <QString>
#include <QStringView>

#include <optional>

namespace lyrane {

// Reads a DAPT script, a TTML document in the media time base, as cues: each div of the body
// that holds text is one cue. Times follow TTML's timing model: begin, end and dur of the div,
// its p and their spans, each relative to its parent's begin and cut at its parent's end; the
// cue runs from the earliest text to the latest. A div's p elements in another language than
// the document's (or, without any in it, than its first) are left out with a notice. The
// speaker is the name of the ttm:agent the p or div refers to (its alias, else its full name),
// else the div's daptm:represents. Speech rate and pitch attributes are ignored with a notice.
//
// A daptm:daptOriginTimecode (the timecode of the document's time zero, at the document's
// frame rate or else options.frameRate) places the times on the programme: the programme's
// first frame, options.timecodeOrigin or else the document's ebuttm:documentStartOfProgramme,
// is subtracted from it; with neither, the document's zero is the programme's. Without a
// daptm:daptOriginTimecode, options.timecodeOrigin is subtracted from the times as they are.
//
// Bad XML, a document that is not TTML, a time base other than media, a time that cannot be
// read, text without an end time, or a time before the origin fails with one line naming the
// line of the document; `source` names the file in messages.
std::optional<SubtitleFile> readDaptScript(const QString& content,
                                           const SubtitleReadingOptions& options,
                                           const QString& source, QString* error);
// The same, read as it streams from the device, in the encoding the document declares: a
// script with its clips embedded may run to gigabytes.
std::optional<SubtitleFile> readDaptScript(QIODevice* device, const SubtitleReadingOptions& options,
                                           const QString& source, QString* error);

} // namespace lyrane
