#pragma once

#include <QString>

namespace lyrane {

// Each message reaches its stream in one write, so lines from concurrent work never interleave.
void printError(const QString& message);
void printOutput(const QString& message);
// Prints a failure's message and returns it as one line without its break, for the report.
QString printFailure(const QString& message);

} // namespace lyrane
