#include "runs/subtitle_run.h"

#include "runs/console.h"
#include "runs/cue_listing.h"
#include "runs/cue_voices.h"
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
        *failure = printFailure(
            file->noCuesReason.isEmpty()
                ? QObject::tr("VTT file contains no cues\n")
                : QObject::tr("VTT file contains no cues (%1)\n").arg(file->noCuesReason));
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
    NarrationInput narration;
    narration.layout = CueLayout::CueTimes;
    narration.wording = &subtitleWording();
    narration.count = narratedCueCount(config, cues->size());
    narration.cues = std::move(*cues);
    narration.input = input;
    narration.outputFile = outputFile;
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
        const bool cached = counter.add(job);
        if (recordCues) {
            const Cue& cue = input.cues[i];
            ReportCue entry =
                reportCue(job, nullptr, input.input, i + 1, cue.startMs, cue.endMs, cue.speaker);
            // As the estimate counted it.
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
    const std::optional<NarrationInput> narration =
        subtitleInput(session.config, path, outputFile, input, &failure);
    if (!narration) {
        return NarrationOutcome::failed(failure);
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
                        config.synthesis.voice, notes);
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
