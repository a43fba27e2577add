#pragma once

#include "audio/programme_mix.h"
#include "audio/timeline_plan.h"
#include "runs/narration_outcome.h"
#include "runs/run_context.h"

#include <QString>

#include <functional>
#include <optional>

namespace lyrane {

// With --mix-with: the programme's length in milliseconds, which the narration's timeline
// must at least last; nothing, with the failure in `failure`, when the programme cannot be
// used, or has no picture to hold and `extended`.
std::optional<qint64> programmeDurationForRun(const ProgrammeMixSettings& mix, bool extended,
                                              NarrationOutcome* failure);

// Renders the planned narration through `writeNarrationWav` into a temporary WAV file, mixes
// it over the --mix-with programme into the output file and reports the result, with the mix's
// loudness when `mix` sets a target. With pauses the programme is first extended by them into
// another temporary file, and the narration mixed over that. Once the run is asked to stop the
// mix ends, its temporary files removed and the output left as it was, and the outcome is
// Interrupted.
NarrationOutcome writeNarrationOverProgramme(
    const ProgrammeMixSettings& mix, const QString& outputFile, const TimelinePlan& plan,
    const std::function<bool(const QString& path, QString* error)>& writeNarrationWav,
    RunContext context);

} // namespace lyrane
