#pragma once

#include "runs/run_configuration.h"

#include <QString>

namespace lyrane {

// A text as it is sent: its pauses made spaces (a cue's own pauses are made by joining its
// parts; a context only reads on) and the run's lexicon applied once.
QString spokenText(const RunConfiguration& config, const QString& written);

} // namespace lyrane
