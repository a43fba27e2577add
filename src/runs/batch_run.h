#pragma once

#include "runs/run_configuration.h"
#include "runs/run_context.h"

namespace lyrane {

// --batch: narrate each listed subtitle file in turn, output next to its input. Returns the
// exit status.
int runBatch(const RunConfiguration& config, RunContext context);

} // namespace lyrane
