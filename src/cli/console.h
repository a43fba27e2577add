#pragma once

#include <QString>

namespace lyrane {

// Each message reaches its stream in one write, so lines from concurrent work never interleave.
void printError(const QString& message);
void printOutput(const QString& message);
// The last message printError() wrote, for the run report of a failed run.
QString lastErrorMessage();

} // namespace lyrane
