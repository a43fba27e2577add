#pragma once

#include "runs/run_configuration.h"

namespace lyrane {

// --say / --text: one clip through the cache tiers, written unmixed. Returns the exit status.
int runSingleText(const RunConfiguration& config);

} // namespace lyrane
