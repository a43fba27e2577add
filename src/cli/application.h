#pragma once

#include "runs/run_configuration.h"

namespace lyrane {

// Names the application and makes plug-ins installed beside the program findable.
void configureApplication();

// Runs the mode that the validated configuration asks for; returns the exit status.
int dispatchRun(const RunConfiguration& config);

} // namespace lyrane
