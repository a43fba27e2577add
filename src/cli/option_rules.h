#pragma once

#include "cli/option_table.h"
#include "runs/run_configuration.h"

#include <QCommandLineParser>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

namespace lyrane {

// One rule of the command line: the option it reads (none for a rule over several), whether it
// applies only when the option is given, how the value is taken into the configuration, and
// the message when it is refused. A reader with its own message sets it through `message`.
struct OptionRule {
    const QCommandLineOption* option = nullptr;
    bool onlyWhenSet = false;
    std::function<bool(const QString& value, RunConfiguration* config, QString* message)> take;
    QString message;
};

// Every rule of a value, in the order a user sees them reported.
QList<OptionRule> optionRules(const OptionTable& options, const QCommandLineParser& parser,
                              const Environment& environment);

// Applies the rules in order: the first refusal's message, or nothing when every value holds.
std::optional<QString> applyOptionRules(const QList<OptionRule>& rules,
                                        const QCommandLineParser& parser, RunConfiguration* config);

} // namespace lyrane
