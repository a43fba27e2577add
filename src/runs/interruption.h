#pragma once

#include "synthesis/clip_source.h"

#include <QList>
#include <QStringList>

namespace lyrane {

// Says how many of the jobs' clips the cache holds now that a signal stopped the run, and
// returns the exit status for that signal (128 + its number: 130 for SIGINT, 143 for SIGTERM).
int reportInterruption(const QList<ClipJob>& jobs);
// The same for the clips at these cache paths.
int reportInterruption(const QStringList& clipPaths);

} // namespace lyrane
