#pragma once

#include "runs/narration.h"

#include <QList>

#include <optional>

namespace lyrane {

// A cue said in parts: each part asked for on its own, with its neighbours as context, and the
// parts joined with their pauses' silence into the cue's clip.
struct PausedCue {
    int cue = 0; // index into the input's cues
    QList<ClipJob> parts;
    QList<int> pausesMs; // before each part, and after the last
    ClipJob joined;      // the cue's clip in the local cache, named by its parts and pauses
};

// Checks the pauses of the first `count` cues before any request: false, having said which
// cue's pause cannot be made, with that line in `failure` and the cue (from 1) in `cue`.
bool checkCuePauses(const QList<Cue>& cues, int count, QString* failure,
                    std::optional<qint64>* cue);

// Cue `index` said in parts, when it holds a pause; `cueJob` is its job as NarrationSession
// makes it, whose voice and context the parts keep.
std::optional<PausedCue> pausedCue(const RunConfiguration& config, const NarrationInput& input,
                                   int index, const ClipJob& cueJob, const ClipSource& source);
// The cues among the first input.count that hold a pause. Each one's job in `jobs` (the
// input's jobs in cue order) becomes its joined clip's.
QList<PausedCue> pausedCues(const RunConfiguration& config, const NarrationInput& input,
                            const ClipSource& source, QList<ClipJob>* jobs);
// Whether the cue's clip is joined already, and whole.
bool isMade(const PausedCue& cue);

// What a run asks for and pays for: the cues' jobs, a paused cue's parts standing for its clip
// until that clip is made.
QList<ClipJob> jobsToAskFor(const QList<ClipJob>& jobs, const QList<PausedCue>& paused);

// Brings the parts of the paused cues whose clips are not made yet into the cache, and joins
// them. The outcome's billing is what the parts cost.
NarrationOutcome makePausedClips(const NarrationInput& input, const QList<PausedCue>& paused,
                                 const RunConfiguration& config, const ClipSource& source);

} // namespace lyrane
