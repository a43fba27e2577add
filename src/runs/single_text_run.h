#pragma once

#include "cli/options.h"

namespace lyrane {

// --say / --text: one clip through the cache tiers, written unmixed. Returns the exit status.
int runSingleText(const Config& config);

} // namespace lyrane
