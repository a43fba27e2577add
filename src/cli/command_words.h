#pragma once

#include "cli/option_table.h"
#include "runs/typed_command.h"

#include <QStringList>

namespace lyrane {

// --serve takes a port only when one follows it, which QCommandLineParser cannot say: a lone
// --serve becomes "--serve=" (any free port) and "--serve 8765" becomes "--serve=8765". Words
// that are other options' values are left alone.
QStringList withServePort(const QStringList& arguments, const QList<OptionRow>& rows);

// The command as typed here, the arguments that name files and folders marked (the values of
// the options whose value is a file or a folder).
TypedCommand typedCommand(const QStringList& arguments, const QList<OptionRow>& rows);

} // namespace lyrane
