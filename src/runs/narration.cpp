#include "runs/narration.h"

#include "runs/cue_voices.h"
#include "runs/exchange_sinks.h"
#include "runs/fetch_step.h"
#include "runs/narration_sinks.h"
#include "runs/paused_cues.h"
#include "runs/place_step.h"
#include "runs/programme_mix_run.h"
#include "synthesis/api_key.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QObject>
#include <QSet>

namespace lyrane {

NarrationSession::NarrationSession(const RunConfiguration& config, RunContext context,
                                   ServicesMaker makeServices)
    : config(config), context(context), makeServices(std::move(makeServices)) {
    report.version = QCoreApplication::applicationVersion();
    report.dryRun = config.dryRun;
    report.settings = reportSettings(config);
    command = config.command.arguments.isEmpty() ? TypedCommand::ofProcess() : config.command;
    if (!this->makeServices) {
        this->makeServices = [this](const RunConfiguration& settings, NarrationOutcome* failure) {
            return prepareRunServices(settings, this->context.console, failure);
        };
    }
}

RunServices* NarrationSession::services(NarrationOutcome* failure) {
    if (!made) {
        made = makeServices(config, failure);
        if (made) {
            voiceNames = std::make_unique<VoiceNameResolver>(
                &made->network, made->client.baseUrl(), made->apiKey, config.synthesis.timeoutMs);
            takes = std::make_unique<TakeChoices>(&made->takeRecords, context);
        }
    }
    return made.get();
}

PlanSources NarrationSession::planSources() {
    return PlanSources{made->clips, voiceNames.get(), takes.get()};
}

void recordFailure(RunReport& report, const NarrationOutcome& outcome, const QString& input) {
    if (report.failure || outcome.done()) {
        return;
    }
    ReportFailure failure;
    failure.input = input;
    failure.cue = outcome.failure.cue;
    failure.message = outcome.failure.message().isEmpty() ? QObject::tr("the run failed")
                                                          : outcome.failure.message();
    report.failure = failure;
}

NarrationOutcome writeReviewWithoutTimeline(NarrationSession& session) {
    return ReviewSink(session.config.reviewFile, session.report, session.command)
        .write(NarrationPlan(), PlacedTimeline(), session.context);
}

namespace {

// Each cue's entry costs as much as the listing of a long file: made only for a report or
// the review page, written or served.
bool recordsCues(const RunConfiguration& config) {
    return !config.reportFile.isEmpty() || !config.reviewFile.isEmpty() ||
           config.servePort.has_value();
}

QString clipsOnlyText(CueLayout layout, const NarrationPlan& plan, const QString& cacheDirectory) {
    if (layout == CueLayout::CueTimes) {
        return QObject::tr("\n--no-padding mode: Individual segment files generated "
                           "successfully.\n") +
               QObject::tr("Segment files are located in: %1\n").arg(cacheDirectory);
    }
    QString text = QObject::tr("\n--no-padding mode: Audio segment generated successfully.\n");
    for (const CueRecord& cue : plan.cues) {
        text += QObject::tr("Segment file: %1\n").arg(cue.job.path);
    }
    return text;
}

// How many of the plan's clips the cache holds now that a signal stopped the run.
QString interruptionLine(const NarrationPlan* plan) {
    QSet<QString> clips;
    QSet<QString> cached;
    for (qsizetype i = 0; plan && i < plan->cues.size(); ++i) {
        const QString& path = plan->cues[i].job.path;
        if (!clips.contains(path)) {
            clips.insert(path);
            if (QFileInfo::exists(path)) {
                cached.insert(path);
            }
        }
    }
    return QObject::tr("Interrupted: %1 of %2 clips are in the cache; run the same command "
                       "again to resume.\n")
        .arg(cached.size())
        .arg(clips.size());
}

PlaceSettings placeSettings(const RunConfiguration& config) {
    PlaceSettings settings;
    settings.timeline = config.timeline;
    settings.readsSpeech =
        recordsCues(config) || config.synthesis.wordTiming || config.joinSentences;
    settings.listWords = config.synthesis.wordTiming;
    settings.measureEnvelope = !config.reviewFile.isEmpty() || config.servePort.has_value();
    settings.reviewFile = config.reviewFile;
    return settings;
}

// The steps and the sinks but the review, which is made from the report the records make.
NarrationOutcome runPipeline(NarrationSession& session, const NarrationInput& input, CostGate& gate,
                             const TakeRequests& takes, std::optional<NarrationPlan>* plan,
                             PlacedTimeline* timeline, Billing* billing) {
    const RunConfiguration& config = session.config;
    const RunContext context = session.context;
    // A programme that cannot be mixed over stops the run before any speech is requested.
    NarrationOutcome failure;
    if (!config.timeline.programme.programmePath.isEmpty() &&
        !programmeDurationForRun(config.timeline.programme, config.timeline.extended, &failure)) {
        return failure;
    }
    RunServices* services = session.services(&failure);
    if (!services) {
        return failure;
    }
    const QString unmapped = unmappedSpeakerLines(input.cues, input.count, config.speakers.voices,
                                                  config.synthesis.voice);
    if (!unmapped.isEmpty()) {
        context.console.error(unmapped);
    }
    if (std::optional<NarrationOutcome> refused = checkCuePauses(input.cues, input.count)) {
        return *refused;
    }
    PlanSources sources = session.planSources();
    PlanSettings planning = PlanSettings::of(config);
    planning.takes = takes;
    *plan = planNarration(input, planning, sources, context, &failure);
    if (!*plan) {
        return failure;
    }
    if (std::optional<NarrationOutcome> refused = checkRequestLengths(**plan)) {
        return *refused;
    }
    const std::optional<NarrationOutcome> refused =
        gate.refuses((*plan)->estimate, *services, context);
    if (context.stop.requested()) {
        return NarrationOutcome::stoppedBy(context.stop.signal());
    }
    if (refused) {
        return *refused;
    }

    FetchSettings fetch;
    fetch.jobs = config.synthesis.jobs;
    fetch.retries = config.synthesis.retries;
    fetch.timeoutMs = config.synthesis.timeoutMs;
    fetch.progressLines = config.progressLines;
    fetch.keySource = apiKeySource(config.apiKeyFile, config.apiKeyFromEnvironment);
    fetch.cutSentences = !config.noPadding;
    const NarrationOutcome fetched =
        fetchClips(**plan, fetch, services->clips,
                   input.layout == CueLayout::CueTimes ? sources.takes : nullptr, context);
    *billing = fetched.billing;
    if (!fetched.done()) {
        return fetched;
    }
    if (config.noPadding) {
        context.console.error(clipsOnlyText(input.layout, **plan, config.cacheDirectory));
        return {};
    }
    const NarrationOutcome placed = placeClips(**plan, placeSettings(config), timeline, context);
    if (!placed.done()) {
        return placed;
    }
    AudioSink audio(input.outputFile, session.report);
    TimeMapSink timeMap(config.timeline.timeMapFile);
    CaptionsSink captions(config.captionsFile,
                          !config.captionsFile.isEmpty() && config.synthesis.wordTiming);
    QList<NarrationSink*> sinks{&audio};
    if (input.layout == CueLayout::CueTimes && !config.timeline.timeMapFile.isEmpty()) {
        sinks.append(&timeMap);
    }
    if (input.layout == CueLayout::CueTimes && !config.captionsFile.isEmpty()) {
        sinks.append(&captions);
    }
    // The stems first: the DAPT script links or embeds them.
    StemsSink stems(config.exchange);
    DaptSink dapt(config.exchange, config.timeline.programme.audioLanguage);
    if (input.layout == CueLayout::CueTimes && !config.exchange.stemsDirectory.isEmpty()) {
        sinks.append(&stems);
    }
    if (input.layout == CueLayout::CueTimes && !config.exchange.daptFile.isEmpty()) {
        sinks.append(&dapt);
    }
    NarrationOutcome written;
    for (NarrationSink* sink : std::as_const(sinks)) {
        const NarrationOutcome wrote = sink->write(**plan, *timeline, context);
        if (!wrote.done()) {
            return wrote;
        }
        if (sink == &audio) {
            written = wrote;
        }
    }
    return written;
}

} // namespace

NarrationOutcome narrate(NarrationSession& session, const NarrationInput& input, CostGate& gate) {
    NarrationPass pass;
    return narrateWithTakes(session, input, gate, session.config.takes, &pass);
}

NarrationOutcome narrateWithTakes(NarrationSession& session, const NarrationInput& input,
                                  CostGate& gate, const TakeRequests& takes, NarrationPass* pass) {
    const RunConfiguration& config = session.config;
    std::optional<NarrationPlan>& plan = pass->plan;
    PlacedTimeline& timeline = pass->timeline;
    Billing billing;
    NarrationOutcome outcome = runPipeline(session, input, gate, takes, &plan, &timeline, &billing);
    // The report is made from the records, whatever the run came to.
    if (plan) {
        recordNarration(&session.report, *plan, billing, recordsCues(config), false);
    }
    if (outcome.done() && plan && !config.reviewFile.isEmpty()) {
        outcome = ReviewSink(config.reviewFile, session.report, session.command)
                      .write(*plan, timeline, session.context);
    }
    outcome.billing = billing;
    // Said once, last: the failure, what was billed, and after a stop what was kept.
    Console& console = session.context.console;
    sayFailure(console, outcome);
    if (billing.newClips > 0) {
        console.error(billedLine(billing.characters, billing.newClips, billing.estimated));
    }
    if (outcome.interrupted()) {
        outcome.failure.line = interruptionLine(plan ? &*plan : nullptr);
        console.error(outcome.failure.line);
        outcome.failure.said = true;
    }
    return outcome;
}

} // namespace lyrane
