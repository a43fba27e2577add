#pragma once

#include "runs/dialogue_fit.h"
#include "runs/run_configuration.h"
#include "subtitles/cue.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace lyrane {

// The programme's dialogue from --dialogue, merged into disjoint spans; nothing, having said
// why (the line in `failure`), when the file cannot be read as a subtitle file.
std::optional<QList<TimeSpan>> readDialogue(const RunConfiguration& config, QString* failure);

// "00:01:02.300"
QString programmeTime(qint64 ms);

// One line a description over dialogue, then the summary; the number of such descriptions.
int reportDialogueCover(const QList<DescriptionFit>& fits);

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
