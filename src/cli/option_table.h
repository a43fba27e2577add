#pragma once

#include "runs/run_configuration.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

namespace lyrane {

// The command line's raw values that settle the run's mode, before it is known.
struct ModeArguments {
    QString vttFile;
    QString sayText;
    QString textFile;
    QString batchFiles;
    bool cacheOnly = false;
    bool listVoices = false;
    bool listDictionaries = false;
    QString shard;
    QString shardCount;
    QString mergeReports;
};

// What a row reads from and writes to while the command line is taken.
struct OptionContext {
    const QCommandLineParser& parser;
    const Environment& environment;
    RunConfiguration& config;
    ModeArguments& mode;

    bool isSet(const QString& name) const { return parser.isSet(name); }
};

// One option, in one place: its names, help and value name; how its value is read into the
// configuration (the setting it writes, and the refusal when the value is bad); and, once the
// run's mode is settled, the checks of what it needs and where it is valid. The help lists the
// rows in order; a setting's default is its member initialiser, so it is written once.
struct OptionRow {
    // False refuses the value: with `message` set, that line; else the row's refusal.
    using Reader =
        std::function<bool(const QString& value, OptionContext& context, QString* message)>;
    // The line that refuses the command line, or nothing.
    using Check = std::function<std::optional<QString>(const OptionContext& context)>;

    QCommandLineOption option;
    Reader read;     // null: the option is only looked at by others
    QString refusal; // when `read` returns false without a message of its own
    // Read even when not given, with this value: settings whose default comes from the
    // environment, and readers that combine several options.
    std::function<QString(const Environment&)> whenAbsent;
    QList<Check> checks;
    // When the value is read among the others: refusals of several bad values are reported in
    // this order (the help's order when equal), cheap number checks first.
    int readOrder = 0;
};

// Every option, in the order the help lists them.
QList<OptionRow> optionTable();

// Reads each given row (and each row with a value when absent) into the configuration, in their
// read order: the first refusal's line, or nothing.
std::optional<QString> readOptionRows(const QList<OptionRow>& rows, OptionContext& context);
// Runs the rows' checks, in the table's order, once the mode is settled.
std::optional<QString> checkOptionRows(const QList<OptionRow>& rows, const OptionContext& context);

} // namespace lyrane
