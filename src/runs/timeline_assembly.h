#pragma once

#include "audio/clip_figures.h"
#include "runs/dialogue_fit.h"
#include "runs/narration.h"
#include "runs/timeline_settings.h"
#include "subtitles/cue.h"

#include <QList>
#include <QString>

#include <functional>

namespace lyrane {

// One cue's clip on the timeline; the cache file is the segment file.
struct TimelineClip {
    QString filePath;
    qint64 startMs = 0;
    qint64 endMs = 0;
};

struct TimelinePlan;

// Told where the clips landed once the timeline is planned and its lines said, before it is
// written: the plan, each clip's speed-up factor (1 when it plays at its own pace) and its
// figures.
using TimelinePlanned = std::function<void(const TimelinePlan& plan, const QList<double>& speedUps,
                                           const QList<ClipFigures>& figures)>;

// Lays the clips onto one timeline at their cues' times and writes `outputFile` (WAV or MP3
// after its name, or the mix over the programme). `allCues` is the whole file: it fixes the
// timeline's length. With `dialogue` (merged spans) the clips are fitted between it first (see
// fitDescriptions), each clip over dialogue is said, and the outcome holds how long each one
// covers it. Stopped by SIGINT or SIGTERM, it has removed its temporaries and says
// nothing: the outcome is Interrupted.
NarrationOutcome assembleTimeline(const TimelineSettings& settings, const QString& outputFile,
                                  const ProgressWording& wording, const QList<Cue>& allCues,
                                  const QList<TimelineClip>& segments,
                                  const TimelinePlanned& planned = {},
                                  const QList<TimeSpan>* dialogue = nullptr);

// Plays the clips one after the other, at their own level, and writes `outputFile`; each
// clip's length in `lengthsMs`.
NarrationOutcome joinBackToBack(const TimelineSettings& settings, const QString& outputFile,
                                const ProgressWording& wording, const QStringList& clipPaths,
                                QList<qint64>* lengthsMs);

} // namespace lyrane
