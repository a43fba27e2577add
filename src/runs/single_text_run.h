#pragma once

#include "runs/run_configuration.h"
#include "runs/run_context.h"

namespace lyrane {

// --say / --text: the text (in parts when long) through the cache tiers, written unmixed; with
// --dry-run only priced. Returns the exit status.
int runSingleText(const RunConfiguration& config, RunContext context);

} // namespace lyrane
