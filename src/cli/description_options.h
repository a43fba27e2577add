#pragma once

#include "cli/option_table.h"
#include "runs/run_configuration.h"

#include <QCommandLineParser>
#include <QString>

#include <optional>

namespace lyrane {

// Takes the audio description options into the configuration once the mode is known: the
// line that refuses their combination with the rest of the command line, or nothing.
std::optional<QString> takeDescriptionOptions(const QCommandLineParser& parser,
                                              const OptionTable& options, RunConfiguration* config);

} // namespace lyrane
