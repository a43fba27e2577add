#include "runs/batch_run.h"

#include "cli/console.h"
#include "cli/stop_signals.h"
#include "runs/cue_voices.h"
#include "runs/output_naming.h"
#include "runs/subtitle_run.h"
#include "subtitles/subtitle_file.h"

#include <QObject>

namespace lyrane {

namespace {

// The budget and the account are checked once, for all files together, before the first
// request; files that cannot be read are left to their own run to report.
bool batchCostAllowed(const RunConfiguration& config, SubtitleSession& session) {
    RunServices* services = session.runServices();
    if (!services) {
        return false;
    }
    // One counter for all files: a clip two files share is paid for once.
    CostCounter counter(services->clips, runModelId(config));
    for (const QString& file : config.batchFiles) {
        QString error;
        std::optional<SubtitleFile> subtitles = readSubtitleFile(file, config.encoding, &error);
        if (!subtitles) {
            continue;
        }
        assignSpeakers(&subtitles->cues, config.speakers.labels);
        for (const ClipJob& job : session.runJobs(subtitles->cues)) {
            counter.add(job);
        }
    }
    const CostEstimate& total = counter.estimate();
    if (!withinBudget(config, total) || !accountAllows(config, *services, total)) {
        return false;
    }
    session.skipCostChecks();
    return true;
}

int runFiles(const RunConfiguration& config, SubtitleSession& session) {
    const QStringList& files = config.batchFiles;
    if (files.isEmpty()) {
        printError(QObject::tr("--batch needs at least one subtitle file\n"));
        return 1;
    }
    if (!config.dryRun && !batchCostAllowed(config, session)) {
        session.recordFailure(QString(), std::nullopt, lastErrorMessage());
        return 1;
    }
    for (int i = 0; i < files.size(); ++i) {
        printError(QObject::tr("Batch %1/%2: %3\n").arg(i + 1).arg(files.size()).arg(files[i]));
        const int status =
            session.runFile(files[i], batchOutputPath(files[i], config.outputFile), files[i]);
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

} // namespace

int runBatch(const RunConfiguration& config) {
    SubtitleSession session(config);
    const int status = runFiles(config, session);
    if (!writeReportIfAsked(config, session.runReport())) {
        return 1;
    }
    return status;
}

} // namespace lyrane
