#pragma once

#include "runs/run_configuration.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace lyrane {

// Parses and validates the arguments (program name first). Returns the exit status when the
// invocation ends here (help, version, a rejected option), or nothing when `config` is ready
// for dispatch.
std::optional<int> parseCommandLine(const QStringList& arguments, const Environment& environment,
                                    RunConfiguration* config);

// The variables lyrane reads from its environment; read once, in main.
Environment readEnvironment();

// "500ms", "5s", "1m30s", "1.5s", "2h" or a bare number of seconds; nothing when invalid,
// negative or longer than a day.
std::optional<int> parseDurationMs(const QString& text);

} // namespace lyrane
