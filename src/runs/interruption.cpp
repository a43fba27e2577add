#include "runs/interruption.h"

#include "cli/console.h"
#include "cli/stop_signals.h"

#include <QFileInfo>
#include <QObject>
#include <QSet>

namespace lyrane {

int reportInterruption(const QList<ClipJob>& jobs) {
    QStringList paths;
    paths.reserve(jobs.size());
    for (const ClipJob& job : jobs) {
        paths.append(job.path);
    }
    return reportInterruption(paths);
}

int reportInterruption(const QStringList& clipPaths) {
    QSet<QString> clips;
    QSet<QString> cached;
    for (const QString& path : clipPaths) {
        if (!clips.contains(path)) {
            clips.insert(path);
            if (QFileInfo::exists(path)) {
                cached.insert(path);
            }
        }
    }
    printError(QObject::tr("Interrupted: %1 of %2 clips are in the cache; run the same command "
                           "again to resume.\n")
                   .arg(cached.size())
                   .arg(clips.size()));
    return 128 + receivedStopSignal();
}

} // namespace lyrane
