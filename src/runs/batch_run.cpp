#include "runs/batch_run.h"

#include "cli/console.h"
#include "cli/stop_signals.h"
#include "runs/output_naming.h"
#include "runs/subtitle_run.h"

#include <QObject>

namespace lyrane {

int runBatch(const RunConfiguration& config) {
    const QStringList& files = config.batchFiles;
    if (files.isEmpty()) {
        printError(QObject::tr("--batch needs at least one subtitle file\n"));
        return 1;
    }
    SubtitleSession session(config);
    for (int i = 0; i < files.size(); ++i) {
        printError(QObject::tr("Batch %1/%2: %3\n").arg(i + 1).arg(files.size()).arg(files[i]));
        const int status = session.runFile(files[i], batchOutputPath(files[i], config.outputFile));
        if (receivedStopSignal() != 0) {
            return status; // the run has said what it kept
        }
        if (status != 0) {
            printError(QObject::tr("Batch stopped at file %1/%2: %3\n")
                           .arg(i + 1)
                           .arg(files.size())
                           .arg(files[i]));
            return 1;
        }
    }
    printError(QObject::tr("Batch complete: %1 files\n").arg(files.size()));
    return 0;
}

} // namespace lyrane
