#include "runs/narration.h"

#include "audio/output_kind.h"
#include "runs/console.h"
#include "runs/cue_voices.h"
#include "runs/interruption.h"
#include "runs/joined_clips.h"
#include "runs/narration_output.h"
#include "runs/output_naming.h"
#include "runs/paused_cues.h"
#include "runs/programme_mix_run.h"
#include "runs/review_page.h"
#include "runs/service_notices.h"
#include "runs/spoken_text.h"
#include "runs/stop_signals.h"
#include "runs/take_choices.h"
#include "runs/timeline_assembly.h"
#include "runs/timeline_review.h"
#include "runs/word_timing.h"
#include "subtitles/caption_writer.h"
#include "subtitles/pauses.h"
#include "synthesis/account_client.h"
#include "synthesis/api_key.h"

#include <QCoreApplication>
#include <QObject>

#include <algorithm>

namespace lyrane {

NarrationSession::NarrationSession(const RunConfiguration& config) : config(config) {
    report.version = QCoreApplication::applicationVersion();
    report.dryRun = config.dryRun;
    report.settings = reportSettings(config);
}

RunServices* NarrationSession::services(QString* failure) {
    if (!made) {
        made = prepareRunServices(config, failure);
        if (made) {
            voiceNames = std::make_unique<VoiceNameResolver>(
                &made->network, made->client.baseUrl(), made->apiKey, config.synthesis.timeoutMs);
        }
    }
    return made.get();
}

QList<ClipJob> NarrationSession::jobs(const NarrationInput& input, const ClipSource& source,
                                      bool lookUpVoices) {
    QList<ClipJob> jobs;
    jobs.reserve(input.count);
    for (int i = 0; i < input.count; ++i) {
        jobs.append(job(input, i, source, lookUpVoices));
    }
    return jobs;
}

ClipJob NarrationSession::job(const NarrationInput& input, int i, const ClipSource& source,
                              bool lookUpVoices) {
    const QList<Cue>& cues = input.cues;
    // A joined sentence is one request for all its cues, with the cues around it as context.
    const SentenceGroup group = i < input.groups.size() ? input.groups[i] : SentenceGroup{i, 1};
    const int first = group.first;
    const int last = group.first + group.count - 1;
    const QString text =
        spokenText(config, group.joined() ? joinedText(cues, group) : cues[i].text);
    const QString previous =
        spokenText(config, first > 0 ? cues[first - 1].text : input.leadingContext);
    const QString next =
        spokenText(config, last + 1 < cues.size() ? cues[last + 1].text : input.trailingContext);
    const QString voice = cueVoice(cues[i], config.speakers.voices, config.synthesis.voice);
    QString requestVoice = voice;
    if (lookUpVoices && voiceNames) {
        QString warning;
        requestVoice = voiceNames->resolve(voice, &warning);
        if (!warning.isEmpty()) {
            printError(warning);
        }
    }
    TtsRequest request = makeRequest(config.synthesis, requestVoice, text, previous, next);
    request.withTimestamps = request.withTimestamps || group.joined();
    return source.job(request, voice);
}

void recordFailure(RunReport& report, const NarrationOutcome& outcome, const QString& input) {
    if (report.failure || outcome.done()) {
        return;
    }
    ReportFailure failure;
    failure.input = input;
    failure.cue = outcome.failedCue;
    failure.message = outcome.failure.isEmpty() ? QObject::tr("the run failed") : outcome.failure;
    report.failure = failure;
}

namespace {

// Each cue's entry costs as much as the listing of a long file: made only for a report or
// the review page.
bool recordsCues(const RunConfiguration& config) {
    return !config.reportFile.isEmpty() || !config.reviewFile.isEmpty();
}

void printClipsOnly(CueLayout layout, const QList<ClipJob>& jobs, const QString& cacheDirectory) {
    if (layout == CueLayout::CueTimes) {
        printError(QObject::tr("\n--no-padding mode: Individual segment files generated "
                               "successfully.\n"));
        printError(QObject::tr("Segment files are located in: %1\n").arg(cacheDirectory));
        return;
    }
    printError(QObject::tr("\n--no-padding mode: Audio segment generated successfully.\n"));
    for (const ClipJob& job : jobs) {
        printError(QObject::tr("Segment file: %1\n").arg(job.path));
    }
}

} // namespace

NarrationOutcome fetchClips(const NarrationInput& input, const QList<ClipJob>& jobs,
                            const RunConfiguration& config, const ClipSource& source,
                            std::vector<ClipResult>* results) {
    NarrationProgress progress(*input.wording, input.cues, int(jobs.size()),
                               config.synthesis.retries,
                               apiKeySource(config.apiKeyFile, config.apiKeyFromEnvironment));
    // On a terminal a long run's clips share one line; elsewhere each has its lines.
    if (!config.progressLines && StatusLine::isTerminal()) {
        progress.showStatusLine();
    }
    SchedulerOptions options;
    options.window = config.synthesis.jobs;
    options.retry.retries = config.synthesis.retries;
    // A text's downloads are confirmed with the mirror once more before they are used.
    options.confirmDownloads = input.layout == CueLayout::BackToBack;
    ClipScheduler scheduler(source, jobs, options, progress);
    bool done = false;
    {
        const StopScope stopping([&scheduler] { scheduler.stop(); });
        done = scheduler.run();
    }
    *results = scheduler.results();
    if (receivedStopSignal() != 0) {
        return NarrationOutcome::interrupted(receivedStopSignal());
    }
    if (!done) {
        return NarrationOutcome::failed(progress.failure, progress.failedCue);
    }
    return {};
}

namespace {

// Writes --captions-out: each cue timed where its clip plays.
NarrationOutcome writeCaptionsFile(const QString& path, const NarrationInput& input,
                                   const QList<ClipJob>& jobs,
                                   const QList<ClipPlacement>& placements,
                                   const QList<std::optional<ReportSpeech>>& words) {
    QList<CaptionCue> captions;
    captions.reserve(placements.size());
    for (int k = 0; k < placements.size() && k < jobs.size(); ++k) {
        const ClipPlacement& placement = placements[k];
        const Cue& cue = input.cues[k];
        captions.append(retimedCaption(
            {cue.startMs, cue.endMs, withoutPauses(cue.text), cue.speaker, {}},
            {placement.actualStartMs, placement.actualEndMs,
             std::max<qint64>(placement.actualStartMs - placement.desiredStartMs, 0)}));
        if (k < words.size() && words[k]) {
            captions.last().words = captionWords(*words[k]);
        }
    }
    QString error;
    if (!writeCaptions(path, captions, &error)) {
        return NarrationOutcome::failed(printFailure(error + QLatin1Char('\n')));
    }
    printError(QObject::tr("Created captions: %1\n").arg(path));
    return {};
}

// Lays the clips out and writes the output, the report's placements and the captions.
NarrationOutcome writeNarration(NarrationSession& session, const NarrationInput& input,
                                const QList<ClipJob>& jobs, qsizetype firstCue,
                                TimelineReview* review) {
    const RunConfiguration& config = session.config;
    RunReport& report = session.report;
    const bool recordCues = recordsCues(config);
    if (input.layout == CueLayout::BackToBack) {
        QStringList paths;
        for (const ClipJob& job : jobs) {
            paths.append(job.path);
        }
        QList<qint64> lengthsMs;
        const NarrationOutcome written =
            joinBackToBack(config.timeline, input.outputFile, *input.wording, paths, &lengthsMs);
        if (!written.done()) {
            return written;
        }
        qint64 startMs = 0;
        for (qsizetype i = 0; i < jobs.size() && i < lengthsMs.size(); ++i) {
            if (recordCues) {
                ReportCue& cue = report.cues[firstCue + i];
                cue.startMs = startMs;
                cue.clipLengthMs = lengthsMs[i];
                cue.endMs = startMs + lengthsMs[i];
                cue.speech = cueSpeech(jobs[i], {startMs, cue.endMs, 1.0});
                if (cue.speech) {
                    cue.speech->listWords = config.synthesis.wordTiming;
                }
            }
            startMs += lengthsMs[i];
        }
        report.outputs.append({input.input, outputTarget(input.outputFile).path, startMs,
                               reportLoudness(config.timeline, written.loudness)});
        return {};
    }

    QList<TimelineClip> segments;
    segments.reserve(jobs.size());
    for (int i = 0; i < jobs.size(); ++i) {
        segments.append({jobs[i].path, input.cues[i].startMs, input.cues[i].endMs});
    }
    QList<ClipPlacement> placements;
    const bool wordCaptions = !config.captionsFile.isEmpty() && config.synthesis.wordTiming;
    QList<std::optional<ReportSpeech>> speech;
    qint64 lengthMs = 0;
    const NarrationOutcome written = assembleTimeline(
        config.timeline, input.outputFile, *input.wording, input.cues, segments,
        [&](const TimelinePlan& plan, const QList<double>& speedUps,
            const QList<ClipFigures>& figures) {
            placements = plan.placements;
            lengthMs = plan.sampleRate > 0 ? plan.totalSamples * 1000 / plan.sampleRate : 0;
            // The speech's bounds come from the alignments beside the clips.
            if (recordCues || config.synthesis.wordTiming || config.joinSentences) {
                speech =
                    timelineSpeech(jobs, plan.placements, speedUps, config.synthesis.wordTiming);
            }
            QList<CueMeasure> measures = cueMeasures(plan, speedUps, figures, input.cues, jobs);
            for (qsizetype k = 0; k < measures.size() && k < speech.size(); ++k) {
                measures[k].missingCharacters = speech[k] ? speech[k]->missingCharacters : 0;
            }
            review->flags = flagCues(measures);
            review->lengthMs = lengthMs;
            // Said after where the clips landed, before the output is named.
            const QString flagged = flaggedLine(review->flags, config.reviewFile);
            if (!flagged.isEmpty()) {
                printError(flagged);
            }
            if (!config.reviewFile.isEmpty()) {
                review->envelope = timelineEnvelope(plan, figures);
            }
            for (int k = 0; recordCues && k < plan.placements.size() && k < jobs.size(); ++k) {
                ReportCue& cue = report.cues[firstCue + k];
                cue.placement = reportPlacement(plan.placements[k], input.cues[k].endMs,
                                                k < speedUps.size() ? speedUps[k] : 1.0);
                cue.clipLengthMs = cue.placement->actualEndMs - cue.placement->actualStartMs;
                cue.flags = k < review->flags.size() ? review->flags[k] : QList<CueFlag>();
            }
        },
        input.dialogue ? &*input.dialogue : nullptr);
    for (int k = 0; recordCues && k < written.coversDialogueMs.size() && k < jobs.size(); ++k) {
        report.cues[firstCue + k].coversDialogueMs = written.coversDialogueMs[k];
    }
    if (!written.done()) {
        return written;
    }
    // Over a programme the output keeps a video or .m4a name.
    const QString outputPath = config.timeline.programme.programmePath.isEmpty()
                                   ? outputTarget(input.outputFile).path
                                   : mixedOutputPath(input.outputFile);
    report.outputs.append(
        {input.input, outputPath, lengthMs, reportLoudness(config.timeline, written.loudness)});
    for (qsizetype k = 0; recordCues && k < speech.size(); ++k) {
        report.cues[firstCue + k].speech = speech[k];
    }
    if (!config.captionsFile.isEmpty()) {
        return writeCaptionsFile(config.captionsFile, input, jobs, placements,
                                 wordCaptions ? speech : QList<std::optional<ReportSpeech>>());
    }
    return {};
}

} // namespace

NarrationOutcome writeReview(NarrationSession& session, TimelineReview review) {
    ReviewPageInput page;
    page.report = &session.report;
    page.envelope = std::move(review.envelope);
    page.lengthMs = review.lengthMs;
    page.arguments = QCoreApplication::arguments();
    QString error;
    if (!writeReviewPage(session.config.reviewFile, page, &error)) {
        return NarrationOutcome::failed(printFailure(error + QLatin1Char('\n')));
    }
    printError(QObject::tr("Created review page: %1\n").arg(session.config.reviewFile));
    return {};
}

NarrationOutcome narrate(NarrationSession& session, const NarrationInput& input, CostGate& gate) {
    const RunConfiguration& config = session.config;
    RunReport& report = session.report;
    // A programme that cannot be mixed over stops the run before any speech is requested.
    QString failure;
    if (!config.timeline.programme.programmePath.isEmpty() &&
        !programmeDurationForRun(config.timeline.programme, &failure, config.timeline.extended)) {
        return NarrationOutcome::failed(failure);
    }
    RunServices* services = session.services(&failure);
    if (!services) {
        return NarrationOutcome::failed(failure);
    }
    const QString unmapped = unmappedSpeakerLines(input.cues, input.count, config.speakers.voices,
                                                  config.synthesis.voice);
    if (!unmapped.isEmpty()) {
        printError(unmapped);
    }
    std::optional<qint64> pauseCue;
    if (!checkCuePauses(input.cues, input.count, &failure, &pauseCue)) {
        return NarrationOutcome::failed(failure, pauseCue);
    }
    QList<ClipJob> jobs = session.jobs(input, services->clips, true);
    printJoinedSentences(input.groups, false);
    // A subtitle file's cues play the takes chosen for them; a text's parts have one take.
    QList<CueTake> takes;
    if (input.layout == CueLayout::CueTimes) {
        std::optional<QList<CueTake>> chosen =
            chooseTakes(services->clips, &services->takeRecords, config.takes, &jobs, &failure);
        if (!chosen) {
            return NarrationOutcome::failed(failure);
        }
        takes = std::move(*chosen);
    }
    const QList<PausedCue> paused = pausedCues(config, input, services->clips, &jobs);
    const CostEstimate estimate =
        estimateJobs(jobsToAskFor(jobs, paused), services->clips, runModelId(config));
    const qsizetype firstCue = report.cues.size();
    const bool recordCues = recordsCues(config);
    report.totals.cues += jobs.size();
    report.totals.creditsEstimated += estimate.credits;
    for (int i = 0; recordCues && i < jobs.size(); ++i) {
        const Cue& cue = input.cues[i];
        report.cues.append(
            reportCue(jobs[i], nullptr, input.input, i + 1, cue.startMs, cue.endMs, cue.speaker));
        recordJoined(&report.cues.last(), input.groups, i);
        report.cues.back().writtenText = cue.text;
        if (i < takes.size()) {
            report.cues.last().take = takes[i].take;
            report.cues.last().takes = takes[i].takes;
        }
    }
    // A cue over the model's limit would fail after the cues before it were paid for.
    for (int i = 0, p = 0; i < jobs.size(); ++i) {
        const bool inParts = p < paused.size() && paused[p].cue == i;
        for (const ClipJob& sent : inParts ? paused[p++].parts : QList<ClipJob>{jobs[i]}) {
            if (!checkRequestLength(sent.request, QObject::tr("Cue %1").arg(i + 1), &failure)) {
                return NarrationOutcome::failed(failure, i + 1);
            }
        }
    }
    const bool allowed = gate.allows(estimate, *services, &failure);
    if (receivedStopSignal() != 0) {
        return reportInterruption(jobs);
    }
    if (!allowed) {
        return NarrationOutcome::failed(failure);
    }

    NarrationOutcome joined = makePausedClips(input, paused, config, services->clips);
    if (!joined.done()) {
        if (joined.billing.newClips > 0) {
            printError(billedLine(joined.billing.characters, joined.billing.newClips,
                                  joined.billing.estimated));
        }
        if (joined.status == NarrationOutcome::Status::Interrupted) {
            NarrationOutcome stopped = reportInterruption(jobs);
            stopped.billing = joined.billing;
            return stopped;
        }
        return joined;
    }
    std::vector<ClipResult> results;
    NarrationOutcome outcome = fetchClips(input, jobs, config, services->clips, &results);
    Billing& billing = outcome.billing;
    billing.add(joined.billing);
    for (int i = 0; i < jobs.size() && size_t(i) < results.size(); ++i) {
        const ClipResult& result = results[size_t(i)];
        billing.add(jobs[i], result);
        if (recordCues) {
            ReportCue& cue = report.cues[firstCue + i];
            const QString written = cue.writtenText;
            const int take = cue.take;
            const int takesThere = cue.takes;
            cue = reportCue(jobs[i], &result, input.input, cue.number, cue.startMs, cue.endMs,
                            cue.speaker);
            recordJoined(&cue, input.groups, i);
            cue.writtenText = written;
            cue.take = take;
            cue.takes = takesThere;
        }
    }
    report.totals.newClips += billing.newClips;
    report.totals.charactersBilled += billing.characters;
    report.totals.charactersBilledEstimated =
        report.totals.charactersBilledEstimated || billing.estimated;
    // Said last, but for the advice after an interruption.
    const auto billed = [&billing](NarrationOutcome result) {
        if (billing.newClips > 0) {
            printError(billedLine(billing.characters, billing.newClips, billing.estimated));
        }
        result.billing = billing;
        return result;
    };
    const auto interrupted = [&] {
        billed({});
        NarrationOutcome stopped = reportInterruption(jobs);
        stopped.billing = billing;
        return stopped;
    };
    if (outcome.status == NarrationOutcome::Status::Interrupted) {
        return interrupted();
    }
    if (!outcome.done()) {
        return billed(outcome);
    }
    if (!rememberTakes(takes, &services->takeRecords, &failure)) {
        return receivedStopSignal() != 0 ? interrupted()
                                         : billed(NarrationOutcome::failed(failure));
    }
    if (!input.wording->clipsReady.isEmpty()) {
        printError(fillWording(input.wording->clipsReady,
                               {{QStringLiteral("count"), QString::number(jobs.size())}}));
    }
    if (config.noPadding) {
        printClipsOnly(input.layout, jobs, config.cacheDirectory);
        // Without a timeline the page shows the cues and their clips.
        return billed(config.reviewFile.isEmpty() ? NarrationOutcome() : writeReview(session, {}));
    }
    QList<ClipJob> placed = jobs;
    if (!cutJoinedClips(input.cues, input.groups, &placed, &failure)) {
        return billed(NarrationOutcome::failed(printFailure(failure + QLatin1Char('\n'))));
    }
    TimelineReview review;
    const NarrationOutcome written = writeNarration(session, input, placed, firstCue, &review);
    if (written.status == NarrationOutcome::Status::Interrupted) {
        return interrupted();
    }
    if (written.done() && !config.reviewFile.isEmpty()) {
        return billed(writeReview(session, std::move(review)));
    }
    return billed(written);
}

} // namespace lyrane
