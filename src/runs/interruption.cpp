#include "runs/interruption.h"

#include "runs/console.h"
#include "runs/stop_signals.h"

#include <QFileInfo>
#include <QObject>
#include <QSet>

namespace lyrane {

NarrationOutcome reportInterruption(const QList<ClipJob>& jobs) {
    QSet<QString> clips;
    QSet<QString> cached;
    for (const ClipJob& job : jobs) {
        if (!clips.contains(job.path)) {
            clips.insert(job.path);
            if (QFileInfo::exists(job.path)) {
                cached.insert(job.path);
            }
        }
    }
    NarrationOutcome outcome = NarrationOutcome::interrupted(receivedStopSignal());
    outcome.failure =
        printFailure(QObject::tr("Interrupted: %1 of %2 clips are in the cache; run the same "
                                 "command again to resume.\n")
                         .arg(cached.size())
                         .arg(clips.size()));
    return outcome;
}

} // namespace lyrane
