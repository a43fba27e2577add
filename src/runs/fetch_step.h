#pragma once

#include "runs/narration_outcome.h"
#include "runs/narration_plan.h"
#include "runs/run_context.h"
#include "runs/take_choices.h"

#include <QString>

#include <vector>

namespace lyrane {

// How clips are fetched.
struct FetchSettings {
    int jobs = 1;               // cues in flight at once
    int retries = 0;            // of a request after a transient failure
    int timeoutMs = 0;          // how long requests already sent may finish after a stop (0: all)
    bool progressLines = false; // each clip's lines even on a terminal
    QString keySource;          // where the key came from, for the tips after a refusal
    // Cut joined sentences into their cues' parts: not when only the clips are wanted.
    bool cutSentences = true;
};

// The fetch step: brings the parts of cues said in parts into the cache and joins them, then
// every cue's clip (from the cache, the mirror or the service); remembers the takes chosen;
// cuts joined sentences into their cues' parts. Each record gets its result and the clip it
// lays out; the outcome bills what the service made, also when it fails or stops.
NarrationOutcome fetchClips(NarrationPlan& plan, const FetchSettings& settings,
                            const ClipSource& source, TakeChoices* takes, RunContext context);

// Brings `jobs` (said in `wording`, numbered as `cues`) into the local cache with the
// scheduler, each job's result in `results`.
NarrationOutcome scheduleClips(const ProgressWording& wording, const QList<Cue>& cues,
                               const QList<ClipJob>& jobs, bool confirmDownloads,
                               const FetchSettings& settings, const ClipSource& source,
                               RunContext context, std::vector<ClipResult>* results);

} // namespace lyrane
