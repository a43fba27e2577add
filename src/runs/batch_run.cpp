#include "runs/batch_run.h"

#include "runs/console.h"
#include "runs/cue_voices.h"
#include "runs/narration.h"
#include "runs/output_naming.h"
#include "runs/paused_cues.h"
#include "runs/stop_signals.h"
#include "runs/subtitle_run.h"
#include "subtitles/subtitle_file.h"

#include <QLocale>
#include <QObject>

namespace lyrane {

namespace {

// The budget and the account are checked once, for all files together, before the first
// request; files that cannot be read are left to their own run to report.
NarrationOutcome checkBatchCost(NarrationSession& session) {
    const RunConfiguration& config = session.config;
    QString failure;
    RunServices* services = session.services(&failure);
    if (!services) {
        return NarrationOutcome::failed(failure);
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
        NarrationInput input;
        input.count = narratedCueCount(config, subtitles->cues.size());
        input.cues = std::move(subtitles->cues);
        QList<ClipJob> jobs = session.jobs(input, services->clips, true);
        const QList<PausedCue> paused = pausedCues(config, input, services->clips, &jobs);
        for (const ClipJob& job : jobsToAskFor(jobs, paused)) {
            counter.add(job);
        }
    }
    BudgetAndAccountGate gate(config);
    if (!gate.allows(counter.estimate(), *services, &failure)) {
        return NarrationOutcome::failed(failure);
    }
    return {};
}

NarrationOutcome narrateFiles(NarrationSession& session) {
    const RunConfiguration& config = session.config;
    const QStringList& files = config.batchFiles;
    // A share may be empty when the list is shorter than the number of workers.
    if (files.isEmpty() && !config.shard) {
        return NarrationOutcome::failed(
            printFailure(QObject::tr("--batch needs at least one subtitle file\n")));
    }
    if (!config.dryRun && !files.isEmpty()) {
        const NarrationOutcome checked = checkBatchCost(session);
        if (!checked.done()) {
            recordFailure(session.report, checked, QString());
            return checked;
        }
    }
    PassedGate checked;
    for (int i = 0; i < files.size(); ++i) {
        printError(QObject::tr("Batch %1/%2: %3\n").arg(i + 1).arg(files.size()).arg(files[i]));
        const NarrationOutcome outcome = narrateSubtitleFile(
            session, files[i], batchOutputPath(files[i], config.outputFile), files[i], checked);
        recordFailure(session.report, outcome, files[i]);
        if (outcome.status == NarrationOutcome::Status::Interrupted) {
            return outcome; // the run has said what it kept
        }
        if (!outcome.done()) {
            printError(QObject::tr("Batch stopped at file %1/%2: %3\n")
                           .arg(i + 1)
                           .arg(files.size())
                           .arg(files[i]));
            return outcome;
        }
    }
    printError(QObject::tr("Batch complete: %1 files\n").arg(files.size()));
    return {};
}

} // namespace

int runBatch(const RunConfiguration& config) {
    NarrationSession session(config);
    if (config.shard) {
        const BatchShard& shard = *config.shard;
        const int files = int(config.batchFiles.size());
        const QLocale english(QLocale::English, QLocale::UnitedStates);
        printError(QObject::tr("Shard %1/%2: %3 of %4 files\n")
                       .arg(shard.index)
                       .arg(shard.count)
                       .arg(english.toString(files), english.toString(shard.listFiles)));
        session.report.shard = ReportShard{shard.index, shard.count, files, shard.listFiles};
    }
    const NarrationOutcome outcome = narrateFiles(session);
    recordFailure(session.report, outcome, QString());
    if (!writeReportIfAsked(config, session.report)) {
        return 1;
    }
    return outcome.exitStatus();
}

} // namespace lyrane
