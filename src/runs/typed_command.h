#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

namespace lyrane {

// The command line as the user typed it: the review page's commands are made from it.
struct TypedCommand {
    QStringList arguments; // the program and its arguments
    // The arguments that name a file or folder, and where the name starts in each ("--output=a"
    // holds one after its "=").
    QMap<qsizetype, qsizetype> paths;
    QString directory; // where it was typed

    // The process's own command line, typed here; no argument known to name a file.
    static TypedCommand ofProcess();
};

// The command's arguments as a user types them in `pageDirectory`: the program and the files as
// typed, but a file inside that directory named relative to it, and a relative name typed
// elsewhere named from there. An empty `pageDirectory`: all as typed.
QStringList commandFromDirectory(const TypedCommand& command, const QString& pageDirectory);

} // namespace lyrane
