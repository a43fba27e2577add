#include "runs/subtitle_run.h"

#include "runs/console.h"
#include "runs/cue_listing.h"
#include "runs/cue_voices.h"
#include "runs/dialogue_track.h"
#include "runs/paused_cues.h"
#include "runs/timeline_review.h"
#include "subtitles/subtitle_file.h"

#include <QObject>

#include <algorithm>

namespace lyrane {

std::optional<QList<Cue>> openSubtitleFile(const QString& path, const QString& encoding,
                                           SpeakerLabels labels, QString* failure) {
    QString error;
    std::optional<SubtitleFile> file = readSubtitleFile(path, encoding, &error);
    if (!file) {
        *failure = printFailure(QObject::tr("failed to parse VTT file: %1\n").arg(error));
        return std::nullopt;
    }
    for (const QString& notice : file->notices) {
        printError(notice + QLatin1Char('\n'));
    }
    if (file->cues.isEmpty()) {
        const QString format =
            file->format == SubtitleFormat::Srt ? QStringLiteral("SRT") : QStringLiteral("VTT");
        *failure = printFailure(
            file->noCuesReason.isEmpty()
                ? QObject::tr("%1 file contains no cues\n").arg(format)
                : QObject::tr("%1 file contains no cues (%2)\n").arg(format, file->noCuesReason));
        return std::nullopt;
    }
    assignSpeakers(&file->cues, labels);
    return std::move(file->cues);
}

int narratedCueCount(const RunConfiguration& config, qsizetype cues) {
    return config.limit == 0 ? int(cues) : std::min(config.limit, int(cues));
}

std::optional<NarrationInput> subtitleInput(const RunConfiguration& config, const QString& path,
                                            const QString& outputFile, const QString& input,
                                            QString* failure) {
    std::optional<QList<Cue>> cues =
        openSubtitleFile(path, config.encoding, config.speakers.labels, failure);
    if (!cues) {
        return std::nullopt;
    }
    std::optional<qint64> pauseCue;
    if (!checkCuePauses(*cues, narratedCueCount(config, cues->size()), failure, &pauseCue)) {
        return std::nullopt;
    }
    NarrationInput narration;
    narration.layout = CueLayout::CueTimes;
    narration.wording = &subtitleWording();
    narration.count = narratedCueCount(config, cues->size());
    narration.cues = std::move(*cues);
    narration.input = input;
    narration.outputFile = outputFile;
    if (config.joinSentences) {
        narration.groups = sentenceGroups(narration.cues, narration.count, config);
    }
    return narration;
}

namespace {

// The takes a dry run lists and prices, from the local cache's records.
bool dryRunTakes(NarrationSession& session, const NarrationInput& input, QList<CueTake>* takes,
                 QStringList* notes, QString* failure) {
    const ClipNaming naming(session.config.cacheDirectory);
    for (int i = 0; i < input.count; ++i) {
        const ClipJob first = session.job(input, i, naming.source(), false);
        const std::optional<CueTake> take = cueTake(i + 1, first, session.config.takes, failure);
        if (!take) {
            return false;
        }
        takes->append(*take);
        notes->append(takeListingLine(*take));
    }
    return true;
}

} // namespace

void priceInput(NarrationSession& session, const NarrationInput& input,
                const QList<CueTake>& takes) {
    const RunConfiguration& config = session.config;
    RunReport& report = session.report;
    // Named from the local cache alone, without the key: a voice given by the name of one of
    // the account's voices cannot be looked up, so its clips count as new. One job at a time:
    // a long file's jobs are not all held.
    const ClipNaming naming(config.cacheDirectory);
    CostCounter counter(naming.source(), runModelId(config));
    const bool recordCues = !config.reportFile.isEmpty() || !config.reviewFile.isEmpty();
    for (int i = 0; i < input.count; ++i) {
        ClipJob job = session.job(input, i, naming.source(), false);
        if (i < takes.size()) {
            job = takeJob(naming.source(), job, takes[i]);
        }
        bool cached = true;
        // A cue said in parts costs its parts until they are joined.
        const std::optional<PausedCue> paused = pausedCue(config, input, i, job, naming.source());
        if (paused) {
            job = paused->joined;
        }
        if (paused && !isMade(*paused)) {
            for (const ClipJob& part : paused->parts) {
                cached = counter.add(part) && cached;
            }
        } else {
            cached = counter.add(job);
        }
        if (recordCues) {
            const Cue& cue = input.cues[i];
            ReportCue entry =
                reportCue(job, nullptr, input.input, i + 1, cue.startMs, cue.endMs, cue.speaker);
            recordJoined(&entry, input.groups, i);
            // As the estimate counted it.
            entry.writtenText = cue.text;
            if (cached) {
                entry.source = ClipOrigin::Cache;
            }
            if (i < takes.size()) {
                entry.take = takes[i].take;
                entry.takes = takes[i].takes;
            }
            report.cues.append(entry);
        }
    }
    const CostEstimate& estimate = counter.estimate();
    report.totals.cues += input.count;
    report.totals.creditsEstimated += estimate.credits;
    printError(estimateLine(estimate));
    if (!config.s3Bucket.isEmpty()) {
        printError(dryRunMirrorLine());
    }
}

NarrationOutcome narrateSubtitleFile(NarrationSession& session, const QString& path,
                                     const QString& outputFile, const QString& input,
                                     CostGate& gate) {
    QString failure;
    std::optional<NarrationInput> narration =
        subtitleInput(session.config, path, outputFile, input, &failure);
    if (!narration) {
        return NarrationOutcome::failed(failure);
    }
    // An unreadable dialogue file stops the run before any request.
    if (!session.config.timeline.dialogueFile.isEmpty()) {
        narration->dialogue = readDialogue(session.config, &failure);
        if (!narration->dialogue) {
            return NarrationOutcome::failed(failure);
        }
    }
    if (!checkTakeCues(session.config.takes, narration->count, &failure)) {
        return NarrationOutcome::failed(failure);
    }
    if (session.config.dryRun) {
        const RunConfiguration& config = session.config;
        QList<CueTake> takes;
        QStringList notes;
        if (!dryRunTakes(session, *narration, &takes, &notes, &failure)) {
            return NarrationOutcome::failed(failure);
        }
        printCueListing(narration->cues, config.limit, config.speakers.voices,
                        config.synthesis.voice, config.lexicon.get(), notes);
        printJoinedSentences(narration->groups, true);
        if (narration->dialogue) {
            const ClipNaming naming(config.cacheDirectory);
            QStringList clips;
            for (int i = 0; i < narration->count; ++i) {
                clips.append(session.job(*narration, i, naming.source(), false).path);
            }
            printOutput(dialogueGapListing(
                narration->cues, narration->count, *narration->dialogue,
                cachedClipFits(narration->cues, clips, *narration->dialogue, config.timeline)));
        }
        priceInput(session, *narration, takes);
        return config.reviewFile.isEmpty() ? NarrationOutcome() : writeReview(session, {});
    }
    return narrate(session, *narration, gate);
}

int runSubtitleFile(const RunConfiguration& config) {
    NarrationSession session(config);
    BudgetAndAccountGate gate(config);
    const NarrationOutcome outcome =
        narrateSubtitleFile(session, config.subtitleFile, config.outputFile, QString(), gate);
    recordFailure(session.report, outcome, QString());
    if (!writeReportIfAsked(config, session.report)) {
        return 1;
    }
    return outcome.exitStatus();
}

} // namespace lyrane
