#pragma once

#include "runs/dialogue_fit.h"
#include "runs/narration_outcome.h"
#include "runs/run_context.h"
#include "runs/timeline_settings.h"
#include "subtitles/cue.h"
#include "subtitles/subtitle_reading_options.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace lyrane {

// The programme's dialogue from --dialogue (its times read as `reading` says), merged into
// disjoint spans; nothing, with the failure in `failure`, when the file cannot be read as a
// subtitle file.
std::optional<QList<TimeSpan>> readDialogue(const QString& path, const QString& encoding,
                                            const SubtitleReadingOptions& reading, Console& console,
                                            NarrationOutcome* failure);

// "00:01:02.300"
QString programmeTime(qint64 ms);

// Says one line a description over dialogue (or that pauses the programme), then the summary;
// the number of descriptions over dialogue.
int sayDialogueCover(Console& console, const QList<DescriptionFit>& fits);

// The --dry-run listing of the dialogue gap each narrated cue starts in, and with `fits` (one
// per narrated cue) where its clip would play.
QString dialogueGapListing(const QList<Cue>& cues, int count, const QList<TimeSpan>& dialogue,
                           const QList<DescriptionFit>& fits);

// How the clips of `paths` (one per narrated cue) would fit, when every one is in the cache;
// nothing otherwise.
QList<DescriptionFit> cachedClipFits(const QList<Cue>& cues, const QStringList& paths,
                                     const QList<TimeSpan>& dialogue,
                                     const TimelineSettings& settings);

} // namespace lyrane
