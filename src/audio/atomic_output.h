#pragma once

#include <QDateTime>
#include <QFile>
#include <QString>

namespace lyrane {

// An output that appears whole under its name or not at all: written to a temporary beside
// the target (".NAME.<pid>-<hex>.part"), renamed over it on commit, removed when the object
// goes uncommitted. A target that exists and is no regular file (a device, a pipe) cannot be
// replaced: it is written directly.
class AtomicOutput {
public:
    explicit AtomicOutput(const QString& target);
    ~AtomicOutput();
    AtomicOutput(const AtomicOutput&) = delete;
    AtomicOutput& operator=(const AtomicOutput&) = delete;

    // Where to write: the temporary, or the target itself when it is written directly.
    const QString& writePath() const { return path; }
    bool direct() const { return isDirect; }

    // Opens `file` on writePath() for writing. The temporary takes the permissions of the
    // file it replaces, else the usual ones for a new file.
    bool open(QFile& file);

    // Renames the temporary over the target; `reason` gets the system's words for a failure.
    bool commit(QString* reason);
    // Flushes and closes `file` (opened by open()), then commits.
    bool finish(QFile& file, QString* reason);

private:
    QString target;
    QString path;
    bool isDirect = false;
    bool committed = false;
};

// Removes the files in `directory` whose names match `pattern` and that were last changed
// before `olderThan`: what runs that were killed left behind. Returns how many went.
int removeStaleFiles(const QString& directory, const QString& pattern, const QDateTime& olderThan);

// The temporaries beside `target` of outputs that never finished, over an hour old.
void removeStaleOutputTemporaries(const QString& target);

// This program's own temporaries in the system's temporary directory ("lyrane-*" files),
// over an hour old.
void removeStaleTemporaryFiles();

} // namespace lyrane
