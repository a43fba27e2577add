#pragma once

#include "runs/timeline_settings.h"
#include "subtitles/vtt_parser.h"

#include <QList>
#include <QString>

namespace lyrane {

// One cue's clip on the timeline; the cache file is the segment file.
struct AudioSegment {
    QString filePath;
    qint64 startMs = 0;
    qint64 endMs = 0;
};

// Lays the clips onto one timeline and writes `outputFile` (WAV or MP3 after its name).
// `allCues` is the whole file: it fixes the timeline length. Returns the exit status.
int assembleTimeline(const TimelineSettings& settings, const QString& outputFile,
                     const QList<VttCue>& allCues, const QList<AudioSegment>& segments);

} // namespace lyrane
