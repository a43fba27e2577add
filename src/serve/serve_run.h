#pragma once

#include "runs/run_configuration.h"
#include "runs/run_context.h"

namespace lyrane {

// --vtt with --serve: the run as --vtt makes it, then its review page served live on
// 127.0.0.1 until a stop (SIGINT or SIGTERM), each action on the page run as the matching
// --retake or --take run would be and the output kept in step. Returns the exit status: 0 once
// served and stopped, the run's own when it does not finish, 1 when the port cannot be had.
int serveLiveReview(const RunConfiguration& config, RunContext context);

} // namespace lyrane
