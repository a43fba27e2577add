#pragma once

#include "runs/narration_outcome.h"
#include "subtitles/cue.h"
#include "synthesis/clip_source.h"

#include <QList>

#include <optional>

namespace lyrane {

struct Lexicon;

// A cue said in parts: each part asked for on its own, with its neighbours as context, and the
// parts joined with their pauses' silence into the cue's clip.
struct PausedCue {
    QList<ClipJob> parts;
    QList<int> pausesMs; // before each part, and after the last
    ClipJob joined;      // the cue's clip in the local cache, named by its parts and pauses
};

// Checks the pauses of the first `count` cues before any request: the failure that names the
// first cue whose pause cannot be made, or nothing.
std::optional<NarrationOutcome> checkCuePauses(const QList<Cue>& cues, int count);

// `cue` said in parts, when it holds a pause; `cueJob` is its job, whose voice and context the
// parts keep.
std::optional<PausedCue> pausedCue(const Cue& cue, const ClipJob& cueJob, const Lexicon* lexicon,
                                   const ClipSource& source);
// Whether the cue's clip is joined already, and whole.
bool isMade(const PausedCue& cue);
// Joins the parts, all in the cache by now, into the cue's clip; false with the reason.
bool joinParts(const PausedCue& cue, QString* error);

} // namespace lyrane
