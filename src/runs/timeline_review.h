#pragma once

#include "audio/clip_figures.h"
#include "audio/timeline_plan.h"
#include "runs/cue_flags.h"
#include "subtitles/cue.h"
#include "synthesis/clip_source.h"

#include <QList>

namespace lyrane {

// What the timeline pass leaves for the flags and the review page.
struct TimelineReview {
    QList<QList<CueFlag>> flags; // one list per narrated cue
    QList<float> envelope;       // the narration's RMS per kEnvelopeBlockMs, before its gain
    qint64 lengthMs = 0;
};

// Each cue's measures from the plan, the speed-ups and the first pass's figures; a clip's slot
// runs to the next cue's start (the last one's to the end of the file's cues).
QList<CueMeasure> cueMeasures(const TimelinePlan& plan, const QList<double>& speedUps,
                              const QList<ClipFigures>& figures, const QList<Cue>& cues,
                              const QList<ClipJob>& jobs);

// The clips' envelopes laid where they landed, overlaps summed by energy.
QList<float> timelineEnvelope(const TimelinePlan& plan, const QList<ClipFigures>& figures);

} // namespace lyrane
