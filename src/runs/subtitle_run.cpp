#include "runs/subtitle_run.h"

#include "runs/cue_listing.h"
#include "runs/cue_voices.h"
#include "runs/dialogue_track.h"
#include "runs/narration_sinks.h"
#include "runs/paused_cues.h"
#include "runs/timeline_review.h"
#include "subtitles/subtitle_file.h"

#include <QObject>

#include <algorithm>

namespace lyrane {

std::optional<QList<Cue>> openSubtitleFile(const QString& path, const QString& encoding,
                                           const SubtitleReadingOptions& reading,
                                           SpeakerLabels labels, Console& console,
                                           NarrationOutcome* failure) {
    const auto failed = [failure](const QString& line) {
        *failure = NarrationOutcome::failedWith(RunFailure::Kind::Input, line);
        return std::nullopt;
    };
    QString error;
    std::optional<SubtitleFile> file = readSubtitleFile(path, encoding, reading, &error);
    if (!file) {
        return failed(QObject::tr("failed to parse VTT file: %1\n").arg(error));
    }
    for (const QString& notice : file->notices) {
        console.error(notice + QLatin1Char('\n'));
    }
    if (file->cues.isEmpty()) {
        const QString format =
            file->format == SubtitleFormat::Srt ? QStringLiteral("SRT") : QStringLiteral("VTT");
        return failed(
            file->noCuesReason.isEmpty()
                ? QObject::tr("%1 file contains no cues\n").arg(format)
                : QObject::tr("%1 file contains no cues (%2)\n").arg(format, file->noCuesReason));
    }
    assignSpeakers(&file->cues, labels);
    return std::move(file->cues);
}

int narratedCueCount(const RunConfiguration& config, qsizetype cues) {
    return config.limit == 0 ? int(cues) : std::min(config.limit, int(cues));
}

std::optional<NarrationInput> subtitleInput(const RunConfiguration& config, const QString& path,
                                            const QString& outputFile, const QString& input,
                                            Console& console, NarrationOutcome* failure) {
    std::optional<QList<Cue>> cues = openSubtitleFile(
        path, config.encoding, config.exchange.reading, config.speakers.labels, console, failure);
    if (!cues) {
        return std::nullopt;
    }
    const int count = narratedCueCount(config, cues->size());
    if (std::optional<NarrationOutcome> refused = checkCuePauses(*cues, count)) {
        *failure = *refused;
        return std::nullopt;
    }
    NarrationInput narration;
    narration.layout = CueLayout::CueTimes;
    narration.wording = &subtitleWording();
    narration.count = count;
    narration.cues = std::move(*cues);
    narration.input = input;
    narration.outputFile = outputFile;
    if (config.joinSentences) {
        narration.groups = sentenceGroups(narration.cues, narration.count, true,
                                          config.speakers.voices, config.synthesis);
    }
    return narration;
}

std::optional<NarrationPlan> planDryRun(NarrationSession& session, const NarrationInput& input,
                                        NarrationOutcome* failure) {
    const ClipNaming naming(session.config.cacheDirectory);
    TakeChoices takes(nullptr, session.context);
    PlanSources sources{naming.source(), nullptr, &takes};
    PlanSettings settings = PlanSettings::of(session.config);
    settings.sayJoinedSentences = false;
    // The names stay good after the naming source goes: they are strings.
    return planNarration(input, settings, sources, session.context, failure);
}

void sayDryRunCost(NarrationSession& session, const NarrationPlan& plan) {
    const RunConfiguration& config = session.config;
    session.context.console.error(estimateLine(plan.estimate));
    if (!config.s3Bucket.isEmpty()) {
        session.context.console.error(dryRunMirrorLine());
    }
    recordNarration(&session.report, plan, Billing(),
                    !config.reportFile.isEmpty() || !config.reviewFile.isEmpty(), true);
}

namespace {

// --dry-run: the listing, the joined sentences, where descriptions would fit the dialogue,
// and what the run would cost, all from the plan a run would make.
NarrationOutcome listSubtitleFile(NarrationSession& session, const NarrationInput& narration) {
    const RunConfiguration& config = session.config;
    Console& console = session.context.console;
    NarrationOutcome failure;
    const std::optional<NarrationPlan> plan = planDryRun(session, narration, &failure);
    if (!plan) {
        return failure;
    }
    QStringList notes;
    QStringList clips;
    for (const CueRecord& cue : plan->cues) {
        notes.append(takeListingLine(cue.take));
        clips.append(cue.job.path);
    }
    console.output(cueListing(narration.cues, config.limit, config.speakers.voices,
                              config.synthesis.voice, config.lexicon.get(), notes));
    const QString joined = joinedSentencesText(narration.groups);
    if (!joined.isEmpty()) {
        console.output(joined);
    }
    if (narration.dialogue) {
        console.output(dialogueGapListing(
            narration.cues, narration.count, *narration.dialogue,
            cachedClipFits(narration.cues, clips, *narration.dialogue, config.timeline)));
    }
    sayDryRunCost(session, *plan);
    return config.reviewFile.isEmpty() ? NarrationOutcome() : writeReviewWithoutTimeline(session);
}

NarrationOutcome prepareAndNarrate(NarrationSession& session, const QString& path,
                                   const QString& outputFile, const QString& input,
                                   CostGate& gate) {
    NarrationOutcome failure;
    std::optional<NarrationInput> narration =
        prepareSubtitleNarration(session, path, outputFile, input, &failure);
    if (!narration) {
        return failure;
    }
    if (session.config.dryRun) {
        return listSubtitleFile(session, *narration);
    }
    return narrate(session, *narration, gate);
}

} // namespace

std::optional<NarrationInput>
prepareSubtitleNarration(NarrationSession& session, const QString& path, const QString& outputFile,
                         const QString& input, NarrationOutcome* failure) {
    const RunConfiguration& config = session.config;
    std::optional<NarrationInput> narration =
        subtitleInput(config, path, outputFile, input, session.context.console, failure);
    if (!narration) {
        return std::nullopt;
    }
    // An unreadable dialogue file stops the run before any request.
    if (!config.timeline.dialogueFile.isEmpty()) {
        narration->dialogue =
            readDialogue(config.timeline.dialogueFile, config.encoding, config.exchange.reading,
                         session.context.console, failure);
        if (!narration->dialogue) {
            return std::nullopt;
        }
    }
    if (std::optional<NarrationOutcome> refused = checkTakeCues(config.takes, narration->count)) {
        *failure = *refused;
        return std::nullopt;
    }
    return narration;
}

NarrationOutcome narrateSubtitleFile(NarrationSession& session, const QString& path,
                                     const QString& outputFile, const QString& input,
                                     CostGate& gate) {
    NarrationOutcome outcome = prepareAndNarrate(session, path, outputFile, input, gate);
    sayFailure(session.context.console, outcome);
    return outcome;
}

int runSubtitleFile(const RunConfiguration& config, RunContext context) {
    NarrationSession session(config, context);
    BudgetAndAccountGate gate(config);
    const NarrationOutcome outcome =
        narrateSubtitleFile(session, config.subtitleFile, config.outputFile, QString(), gate);
    recordFailure(session.report, outcome, QString());
    if (!writeReportIfAsked(config, session.report, context.console)) {
        return 1;
    }
    return outcome.exitStatus();
}

} // namespace lyrane
