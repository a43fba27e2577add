#pragma once

#include "runs/narration.h"
#include "synthesis/clip_source.h"

#include <QList>

namespace lyrane {

// Says how many of the jobs' clips the cache holds now that a signal stopped the run; the
// outcome is Interrupted (exit status 128 + the signal: 130 for SIGINT, 143 for SIGTERM), with
// that line as its failure.
NarrationOutcome reportInterruption(const QList<ClipJob>& jobs);

} // namespace lyrane
