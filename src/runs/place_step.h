#pragma once

#include "audio/audio_buffer.h"
#include "audio/loudness.h"
#include "audio/prepared_clips.h"
#include "audio/timeline_plan.h"
#include "audio/timeline_render.h"
#include "runs/narration_outcome.h"
#include "runs/narration_plan.h"
#include "runs/run_context.h"
#include "runs/timeline_settings.h"

#include <QList>

#include <optional>

namespace lyrane {

// How clips are laid out, and what is measured of them.
struct PlaceSettings {
    TimelineSettings timeline;
    // Read each cue's speech from its alignment: for the report, the review, word timing and
    // joined sentences.
    bool readsSpeech = false;
    bool listWords = false;       // --word-timing: the report lists each cue's words
    bool measureEnvelope = false; // --review draws the narration's envelope
    QString reviewFile;           // named by the Flagged line when given
};

// What the place step leaves for the sinks: where every clip landed and how to render them.
struct PlacedTimeline {
    CueLayout layout = CueLayout::CueTimes;
    // The run's settings, the programme's pauses added with --extended.
    TimelineSettings settings;
    std::optional<PreparedClips> clips; // at cue times: measured, made again while written
    QStringList clipPaths;              // their files in the cache, in the plan's order
    TimelinePlan plan;
    OutputLevel level;                // peak normalisation, or the gain of a loudness target
    std::optional<LoudnessGain> gain; // under a loudness target
    qint64 programmeMs = 0;           // --mix-with: the programme's own length
    AudioBuffer joined;               // back to back: the clips one after another
    QList<float> envelope;            // the narration's RMS per envelope block (--review)
    qint64 lengthMs = 0;              // of the narration
};

// The place step: lays the records' clips out at their cues' times (fitted between the
// dialogue first with --dialogue; sped up with --autospeed; padded with --autopad), or one
// after the other; says where each one landed and what is flagged, and fills each record's
// placement, speed-up, dialogue cover, speech and flags.
NarrationOutcome placeClips(NarrationPlan& plan, const PlaceSettings& settings,
                            PlacedTimeline* timeline, RunContext context);

} // namespace lyrane
