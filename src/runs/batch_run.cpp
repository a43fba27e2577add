#include "runs/batch_run.h"

#include "runs/narration.h"
#include "runs/output_naming.h"
#include "runs/subtitle_run.h"

#include <QLocale>
#include <QObject>

namespace lyrane {

namespace {

// The budget and the account are checked once, for all files together, before the first
// request: each file planned as its run will plan it, one count for all of them so that a clip
// two files share is paid for once. Files that cannot be read or planned are left to their own
// run to report.
NarrationOutcome checkBatchCost(NarrationSession& session) {
    const RunConfiguration& config = session.config;
    NarrationOutcome failure;
    RunServices* services = session.services(&failure);
    if (!services) {
        return failure;
    }
    CostCounter counter(services->clips, runModelId(config));
    PlanSettings settings = PlanSettings::of(config);
    settings.sayJoinedSentences = false;
    settings.sayUnreadableTakes = false;
    for (const QString& file : config.batchFiles) {
        // The file's notices are said when it runs.
        RecordingConsole unsaid;
        NarrationOutcome unread;
        const std::optional<NarrationInput> input =
            subtitleInput(config, file, QString(), file, unsaid, &unread);
        if (!input) {
            continue;
        }
        PlanSources sources = session.planSources();
        NarrationOutcome unplanned;
        const std::optional<NarrationPlan> plan =
            planNarration(*input, settings, sources, session.context, &unplanned);
        if (!plan) {
            continue;
        }
        for (const ClipJob& job : plan->jobsToAskFor()) {
            counter.add(job);
        }
    }
    BudgetAndAccountGate gate(config);
    if (std::optional<NarrationOutcome> refused =
            gate.refuses(counter.estimate(), *services, session.context)) {
        return *refused;
    }
    return {};
}

NarrationOutcome narrateFiles(NarrationSession& session) {
    const RunConfiguration& config = session.config;
    Console& console = session.context.console;
    const QStringList& files = config.batchFiles;
    // A share may be empty when the list is shorter than the number of workers.
    if (files.isEmpty() && !config.shard) {
        NarrationOutcome empty = NarrationOutcome::failedWith(
            RunFailure::Kind::Input, QObject::tr("--batch needs at least one subtitle file\n"));
        sayFailure(console, empty);
        return empty;
    }
    if (!config.dryRun && !files.isEmpty()) {
        NarrationOutcome checked = checkBatchCost(session);
        if (!checked.done()) {
            sayFailure(console, checked);
            recordFailure(session.report, checked, QString());
            return checked;
        }
    }
    PassedGate checked;
    for (int i = 0; i < files.size(); ++i) {
        console.error(QObject::tr("Batch %1/%2: %3\n").arg(i + 1).arg(files.size()).arg(files[i]));
        const NarrationOutcome outcome = narrateSubtitleFile(
            session, files[i], batchOutputPath(files[i], config.outputFile), files[i], checked);
        recordFailure(session.report, outcome, files[i]);
        if (outcome.interrupted()) {
            return outcome; // the run has said what it kept
        }
        if (!outcome.done()) {
            console.error(QObject::tr("Batch stopped at file %1/%2: %3\n")
                              .arg(i + 1)
                              .arg(files.size())
                              .arg(files[i]));
            return outcome;
        }
    }
    console.error(QObject::tr("Batch complete: %1 files\n").arg(files.size()));
    return {};
}

} // namespace

int runBatch(const RunConfiguration& config, RunContext context) {
    NarrationSession session(config, context);
    if (config.shard) {
        const BatchShard& shard = *config.shard;
        const int files = int(config.batchFiles.size());
        const QLocale english(QLocale::English, QLocale::UnitedStates);
        context.console.error(QObject::tr("Shard %1/%2: %3 of %4 files\n")
                                  .arg(shard.index)
                                  .arg(shard.count)
                                  .arg(english.toString(files), english.toString(shard.listFiles)));
        session.report.shard = ReportShard{shard.index, shard.count, files, shard.listFiles};
    }
    const NarrationOutcome outcome = narrateFiles(session);
    recordFailure(session.report, outcome, QString());
    if (!writeReportIfAsked(config, session.report, context.console)) {
        return 1;
    }
    return outcome.exitStatus();
}

} // namespace lyrane
