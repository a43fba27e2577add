#include "runs/fetch_step.h"

#include "runs/joined_clips.h"
#include "runs/run_accounting.h"

#include <QObject>

namespace lyrane {

NarrationOutcome scheduleClips(const ProgressWording& wording, const QList<Cue>& cues,
                               const QList<ClipJob>& jobs, bool confirmDownloads,
                               const FetchSettings& settings, const ClipSource& source,
                               RunContext context, std::vector<ClipResult>* results) {
    NarrationProgress progress(context.console, wording, cues, int(jobs.size()), settings.retries,
                               settings.keySource);
    // On a terminal a long run's clips share one line; elsewhere each has its lines.
    if (!settings.progressLines && context.console.isTerminal()) {
        progress.showStatusLine();
    }
    SchedulerOptions options;
    options.window = settings.jobs;
    options.retry.retries = settings.retries;
    options.confirmDownloads = confirmDownloads;
    ClipScheduler scheduler(source, jobs, options, progress);
    bool done = false;
    {
        // A first stop keeps what is paid for: requests already sent finish and their clips are
        // kept (for at most --timeout); a second stop ends them at once.
        const int graceMs = settings.timeoutMs;
        const std::unique_ptr<StopWatch> watch =
            context.stop.watch([&scheduler, graceMs] { scheduler.drain(graceMs); });
        done = scheduler.run();
    }
    *results = scheduler.results();
    if (context.stop.requested()) {
        return NarrationOutcome::stoppedBy(context.stop.signal());
    }
    if (!done) {
        // The clip's failure was said in the progress's words as it happened.
        NarrationOutcome failed = NarrationOutcome::failedWith(
            RunFailure::Kind::Clip, progress.failure, progress.failedCue);
        failed.failure.said = true;
        return failed;
    }
    return {};
}

namespace {

// The parts of the cues said in parts whose clips are not made yet, brought into the cache and
// joined. The outcome bills what the parts cost.
NarrationOutcome makePausedClips(NarrationPlan& plan, const FetchSettings& settings,
                                 const ClipSource& source, RunContext context) {
    const NarrationInput& input = *plan.input;
    QList<Cue> partCues;
    QList<ClipJob> partJobs;
    QList<qint64> cueOfPart; // from 1
    QList<const CueRecord*> toMake;
    for (const CueRecord& cue : std::as_const(plan.cues)) {
        if (!cue.paused || isMade(*cue.paused)) {
            continue;
        }
        toMake.append(&cue);
        for (const ClipJob& part : cue.paused->parts) {
            Cue said = input.cues[cue.index];
            said.text = part.request.text;
            partCues.append(said);
            partJobs.append(part);
            cueOfPart.append(cue.number());
        }
    }
    if (toMake.isEmpty()) {
        return {};
    }
    std::vector<ClipResult> results;
    NarrationOutcome outcome =
        scheduleClips(*input.wording, partCues, partJobs, input.layout == CueLayout::BackToBack,
                      settings, source, context, &results);
    for (qsizetype k = 0; k < partJobs.size() && size_t(k) < results.size(); ++k) {
        addBilled(&outcome.billing, partJobs[k], results[size_t(k)]);
    }
    std::optional<qint64>& failedCue = outcome.failure.cue;
    if (failedCue && *failedCue >= 1 && *failedCue <= cueOfPart.size()) {
        failedCue = cueOfPart[*failedCue - 1];
    }
    if (!outcome.done()) {
        return outcome;
    }
    // The parts are paid for by now: a failure to join keeps their billing.
    for (const CueRecord* cue : toMake) {
        QString error;
        if (!joinParts(*cue->paused, &error)) {
            NarrationOutcome failed = NarrationOutcome::failedWith(
                RunFailure::Kind::Clip, QObject::tr("Cue %1: %2\n").arg(cue->number()).arg(error),
                cue->number());
            failed.billing = outcome.billing;
            return failed;
        }
    }
    return outcome;
}

} // namespace

NarrationOutcome fetchClips(NarrationPlan& plan, const FetchSettings& settings,
                            const ClipSource& source, TakeChoices* takes, RunContext context) {
    const NarrationInput& input = *plan.input;
    NarrationOutcome joined = makePausedClips(plan, settings, source, context);
    if (!joined.done()) {
        return joined;
    }
    QList<ClipJob> jobs;
    jobs.reserve(plan.cues.size());
    for (const CueRecord& cue : std::as_const(plan.cues)) {
        jobs.append(cue.job);
    }
    std::vector<ClipResult> results;
    NarrationOutcome outcome =
        scheduleClips(*input.wording, input.cues, jobs, input.layout == CueLayout::BackToBack,
                      settings, source, context, &results);
    outcome.billing.add(joined.billing);
    for (qsizetype i = 0; i < plan.cues.size() && size_t(i) < results.size(); ++i) {
        CueRecord& cue = plan.cues[i];
        cue.result = results[size_t(i)];
        cue.placed = cue.job;
        addBilled(&outcome.billing, cue.job, *cue.result);
    }
    if (!outcome.done()) {
        return outcome;
    }
    if (takes) {
        QList<CueTake> chosen;
        chosen.reserve(plan.cues.size());
        for (const CueRecord& cue : std::as_const(plan.cues)) {
            chosen.append(cue.take);
        }
        NarrationOutcome remembered = takes->remember(chosen);
        if (!remembered.done()) {
            remembered.billing = outcome.billing;
            return remembered;
        }
    }
    if (!input.wording->clipsReady.isEmpty()) {
        context.console.error(
            fillWording(input.wording->clipsReady,
                        {{QStringLiteral("count"), QString::number(plan.cues.size())}}));
    }
    QString error;
    if (settings.cutSentences && !cutJoinedClips(input.cues, source, &plan.cues, &error)) {
        NarrationOutcome failed =
            NarrationOutcome::failedWith(RunFailure::Kind::Clip, error + QLatin1Char('\n'));
        failed.billing = outcome.billing;
        return failed;
    }
    return outcome;
}

} // namespace lyrane
