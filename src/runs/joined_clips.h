#pragma once

#include "runs/cue_record.h"
#include "subtitles/cue.h"
#include "synthesis/clip_source.h"

#include <QList>
#include <QString>

namespace lyrane {

// Cuts each joined sentence's clip into its cues' parts at the word boundaries between them:
// in the middle of the silence between one cue's last word and the next cue's first, or at the
// next cue's first word when there is none. Each part (a WAV file) and its share of the
// alignment go beside the joined clip in the cache, made the same way every time, and each
// record's `placed` job then names its cue's part. False, with the reason, when a joined clip
// has no alignment or a part cannot be written.
bool cutJoinedClips(const QList<Cue>& cues, const ClipSource& source, QList<CueRecord>* records,
                    QString* error);

} // namespace lyrane
