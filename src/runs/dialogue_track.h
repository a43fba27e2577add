#pragma once

#include "runs/dialogue_fit.h"
#include "runs/run_configuration.h"
#include "subtitles/cue.h"

#include <QList>
#include <QString>

#include <optional>

namespace lyrane {

// The programme's dialogue from --dialogue, merged into disjoint spans; nothing, having said
// why (the line in `failure`), when the file cannot be read as a subtitle file.
std::optional<QList<TimeSpan>> readDialogue(const RunConfiguration& config, QString* failure);

// "00:01:02.300"
QString programmeTime(qint64 ms);

// One line a description over dialogue, then the summary; the number of such descriptions.
int reportDialogueCover(const QList<DescriptionFit>& fits);

// The --dry-run listing of the dialogue gap each narrated cue starts in.
QString dialogueGapListing(const QList<Cue>& cues, int count, const QList<TimeSpan>& dialogue);

} // namespace lyrane
