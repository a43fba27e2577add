#include "runs/subtitle_run.h"

#include "cli/console.h"
#include "cli/stop_signals.h"
#include "runs/cue_listing.h"
#include "runs/cue_voices.h"
#include "runs/interruption.h"
#include "runs/output_naming.h"
#include "runs/programme_mix_run.h"
#include "runs/service_notices.h"
#include "runs/timeline_assembly.h"
#include "subtitles/caption_writer.h"
#include "subtitles/subtitle_file.h"
#include "synthesis/account_voices.h"
#include "synthesis/api_key.h"
#include "synthesis/clip_scheduler.h"

#include <QCoreApplication>
#include <QObject>

#include <algorithm>

namespace lyrane {

namespace {

const QString kTimeFormat = QStringLiteral("HH:mm:ss.zzz");

int processedCount(const QList<VttCue>& cues, int limit) {
    return limit == 0 ? int(cues.size()) : std::min(limit, int(cues.size()));
}

} // namespace

std::optional<QList<VttCue>> openSubtitleFile(const QString& path, const QString& encoding,
                                              SpeakerLabels labels) {
    QString error;
    std::optional<SubtitleFile> file = readSubtitleFile(path, encoding, &error);
    if (!file) {
        printError(QObject::tr("failed to parse VTT file: %1\n").arg(error));
        return std::nullopt;
    }
    for (const QString& notice : file->notices) {
        printError(notice + QLatin1Char('\n'));
    }
    if (file->cues.isEmpty()) {
        printError(file->noCuesReason.isEmpty()
                       ? QObject::tr("VTT file contains no cues\n")
                       : QObject::tr("VTT file contains no cues (%1)\n").arg(file->noCuesReason));
        return std::nullopt;
    }
    assignSpeakers(&file->cues, labels);
    return std::move(file->cues);
}

ClipJob subtitleJob(const QList<VttCue>& cues, int index, const SynthesisSettings& settings,
                    const VoiceMap& voices, const VoiceForRequest& requestVoice,
                    const ClipSource& source) {
    const QString previous = index > 0 ? cues[index - 1].text : QString();
    const QString next = index + 1 < cues.size() ? cues[index + 1].text : QString();
    const QString voice = cueVoice(cues[index], voices, settings.voice);
    return source.job(makeRequest(settings, requestVoice ? requestVoice(voice) : voice,
                                  cues[index].text, previous, next),
                      voice);
}

QList<ClipJob> subtitleJobs(const QList<VttCue>& cues, int limit, const SynthesisSettings& settings,
                            const VoiceMap& voices, const VoiceForRequest& requestVoice,
                            const ClipSource& source) {
    const int count = processedCount(cues, limit);
    QList<ClipJob> jobs;
    jobs.reserve(count);
    for (int i = 0; i < count; ++i) {
        jobs.append(subtitleJob(cues, i, settings, voices, requestVoice, source));
    }
    return jobs;
}

namespace {

// The progress lines of a subtitle run, one per event, numbered by cue.
class SubtitleProgress final : public ClipProgress {
public:
    SubtitleProgress(const QList<VttCue>& cues, int count, int retries, const QString& keySource)
        : cues(cues), count(count), retries(retries), keySource(keySource) {}

    void report(const ClipNotice& notice, const ClipJob& job) override {
        const int number = notice.cue + 1;
        // Every event with an error ends the run, but for a retry and a clip set aside.
        const bool endsTheRun = !notice.error.isEmpty() && notice.event != ClipEvent::Retrying &&
                                notice.event != ClipEvent::CachedSetAside;
        if (endsTheRun && !failedCue) {
            failedCue = number;
            failure = notice.error;
        }
        switch (notice.event) {
        case ClipEvent::CachedUnusable:
            printError(QObject::tr("Cached segment is unusable: %1\n").arg(notice.error));
            return;
        case ClipEvent::CachedSetAside:
            printError(QObject::tr("Cached segment %1 is unusable (%2); set aside as %3, fetching "
                                   "it again\n")
                           .arg(job.path, notice.error, notice.setAsidePath));
            return;
        case ClipEvent::MirrorCheckFailed:
            printError(QObject::tr("S3 cache check failed: %1\n").arg(notice.error));
            return;
        case ClipEvent::DownloadFailed:
            printError(QObject::tr("S3 cache download failed: %1\n").arg(notice.error));
            return;
        case ClipEvent::DownloadedUnusable:
            printError(
                QObject::tr("Downloaded cached segment is unusable: %1\n").arg(notice.error));
            return;
        case ClipEvent::Downloaded:
            printError(QObject::tr("Downloaded segment from S3: %1\n").arg(job.objectKey));
            return;
        case ClipEvent::Synthesizing: {
            const VttCue& cue = cues[notice.cue];
            printError(QObject::tr("Generating audio for segment %1/%2 (from %3 to %4) using "
                                   "voice %5 in %6 format... %7\n")
                           .arg(number)
                           .arg(count)
                           .arg(cue.startTime().toString(kTimeFormat))
                           .arg(cue.endTime().toString(kTimeFormat))
                           .arg(job.voiceName)
                           .arg(job.request.outputFormat)
                           .arg(cue.text));
            return;
        }
        case ClipEvent::Retrying:
            printError(QObject::tr("Retrying segment %1 in %2 ms (attempt %3 of %4): %5\n")
                           .arg(number)
                           .arg(notice.delayMs)
                           .arg(notice.attempt)
                           .arg(retries)
                           .arg(notice.error));
            return;
        case ClipEvent::SynthesisFailed:
            printError(QObject::tr("Failed to generate audio for segment %1: %2\n")
                           .arg(number)
                           .arg(notice.error));
            printServiceErrorTip(notice.reason, {keySource, QObject::tr("cue %1").arg(number)});
            return;
        case ClipEvent::WindowLowered:
            printWindowLowered(notice.inFlight);
            return;
        case ClipEvent::StoreFailed:
            printError(
                QObject::tr("Failed to cache segment %1: %2\n").arg(number).arg(notice.error));
            return;
        case ClipEvent::UploadFailed:
            printError(QObject::tr("S3 cache upload failed: %1\n").arg(notice.error));
            return;
        case ClipEvent::Uploaded:
            printError(notice.source == ClipTier::Service
                           ? QObject::tr("Uploaded segment to S3: %1\n").arg(job.objectKey)
                           : QObject::tr("Uploaded cached segment to S3: %1\n").arg(job.objectKey));
            return;
        case ClipEvent::Ready:
            if (notice.source == ClipTier::Cache) {
                printError(QObject::tr("Segment %1/%2 found in cache: %3\n")
                               .arg(number)
                               .arg(count)
                               .arg(job.path));
            } else if (notice.source == ClipTier::Service) {
                printError(QObject::tr("Created segment %1: %2\n").arg(number).arg(job.path));
            }
            return;
        }
    }

private:
    const QList<VttCue>& cues;
    const int count;
    const int retries;
    const QString keySource;

public:
    std::optional<qint64> failedCue; // the first cue that failed, from 1
    QString failure;                 // and why
};

// What fetching the clips left: every cue's result, and the first failure.
struct FetchOutcome {
    std::vector<ClipResult> results;
    std::optional<qint64> failedCue;
    QString failure;
    bool interrupted = false; // by a signal; nothing said yet
};

// Brings every job's clip into the local cache. Prints progress and the first failure; nothing
// on failure, with the exit status in `status`.
std::optional<QList<AudioSegment>> fetchClips(const QList<VttCue>& cues, QList<ClipJob> jobs,
                                              const SynthesisSettings& settings,
                                              const QString& keySource, const ClipSource& source,
                                              int* status, FetchOutcome* outcome) {
    const int count = int(jobs.size());
    SubtitleProgress progress(cues, count, settings.retries, keySource);
    SchedulerOptions options;
    options.window = settings.jobs;
    options.retry.retries = settings.retries;
    ClipScheduler scheduler(source, std::move(jobs), options, progress);
    bool done = false;
    {
        const StopScope stopping([&scheduler] { scheduler.stop(); });
        done = scheduler.run();
    }
    outcome->results = scheduler.results();
    outcome->failedCue = progress.failedCue;
    outcome->failure = progress.failure;
    if (receivedStopSignal() != 0) {
        outcome->interrupted = true;
        return std::nullopt;
    }
    if (!done) {
        *status = 1;
        return std::nullopt;
    }

    QList<AudioSegment> segments;
    segments.reserve(count);
    for (int i = 0; i < count; ++i) {
        segments.append({scheduler.jobs()[i].path, cues[i].startMs, cues[i].endMs});
    }
    printError(QObject::tr("Generated %1 audio segments\n").arg(segments.size()));
    return segments;
}

} // namespace

SubtitleSession::SubtitleSession(const RunConfiguration& config) : config(config) {
    report.version = QCoreApplication::applicationVersion();
    report.dryRun = config.dryRun;
    report.settings = reportSettings(config);
}

RunServices* SubtitleSession::runServices() {
    if (!services) {
        services = prepareRunServices(config);
        if (services) {
            voiceNames =
                std::make_unique<VoiceNameResolver>(&services->network, services->client.baseUrl(),
                                                    services->apiKey, config.synthesis.timeoutMs);
        }
    }
    return services.get();
}

QList<ClipJob> SubtitleSession::runJobs(const QList<VttCue>& cues) {
    RunServices* run = runServices();
    if (!run) {
        return {};
    }
    return subtitleJobs(
        cues, config.limit, config.synthesis, config.speakers.voices,
        [this](const QString& voice) {
            QString warning;
            const QString resolved = voiceNames->resolve(voice, &warning);
            if (!warning.isEmpty()) {
                printError(warning);
            }
            return resolved;
        },
        run->clips);
}

void SubtitleSession::recordFailure(const QString& input, std::optional<qint64> cue,
                                    const QString& message) {
    if (report.failure) {
        return;
    }
    ReportFailure failure;
    failure.input = input;
    failure.cue = cue;
    failure.message = message.isEmpty() ? QObject::tr("the run failed") : message;
    report.failure = failure;
}

int SubtitleSession::runFile(const QString& subtitleFile, const QString& outputFile,
                             const QString& input) {
    const auto failed = [&](int status, std::optional<qint64> cue = std::nullopt,
                            const QString& message = QString()) {
        recordFailure(input, cue, message.isEmpty() ? lastErrorMessage() : message);
        return status;
    };
    const std::optional<QList<VttCue>> cues =
        openSubtitleFile(subtitleFile, config.encoding, config.speakers.labels);
    if (!cues) {
        return failed(1);
    }
    const QString modelId = runModelId(config);
    const qsizetype firstCue = report.cues.size();
    // Each cue's entry costs as much as the listing of a long file: made only for a report.
    const bool recordCues = !config.reportFile.isEmpty();
    const auto recordJobs = [&](const QList<ClipJob>& jobs, const CostEstimate& estimate) {
        report.totals.cues += jobs.size();
        report.totals.creditsEstimated += estimate.credits;
        for (int i = 0; recordCues && i < jobs.size(); ++i) {
            report.cues.append(reportCue(jobs[i], nullptr, input, i + 1, (*cues)[i].startMs,
                                         (*cues)[i].endMs, (*cues)[i].speaker));
        }
    };

    if (config.dryRun) {
        // Named from the local cache alone, without the key: a voice given by the name of one
        // of the account's voices cannot be looked up, so its clips count as new.
        // One job at a time: a long file's jobs are not all held.
        const ClipNaming naming(config.cacheDirectory);
        CostCounter counter(naming.source(), modelId);
        const int count = processedCount(*cues, config.limit);
        for (int i = 0; i < count; ++i) {
            const ClipJob job = subtitleJob(*cues, i, config.synthesis, config.speakers.voices, {},
                                            naming.source());
            counter.add(job);
            if (recordCues) {
                report.cues.append(reportCue(job, nullptr, input, i + 1, (*cues)[i].startMs,
                                             (*cues)[i].endMs, (*cues)[i].speaker));
            }
        }
        const CostEstimate& estimate = counter.estimate();
        report.totals.cues += count;
        report.totals.creditsEstimated += estimate.credits;
        printCueListing(*cues, config.limit, config.speakers.voices, config.synthesis.voice);
        printError(estimateLine(estimate));
        if (!config.s3Bucket.isEmpty()) {
            printError(dryRunMirrorLine());
        }
        return 0;
    }
    // A programme that cannot be mixed over stops the run before any speech is requested.
    if (!config.timeline.programme.programmePath.isEmpty() &&
        !programmeDurationForRun(config.timeline.programme)) {
        return failed(1);
    }
    RunServices* run = runServices();
    if (!run) {
        return failed(1);
    }
    const QString unmapped = unmappedSpeakerLines(*cues, processedCount(*cues, config.limit),
                                                  config.speakers.voices, config.synthesis.voice);
    if (!unmapped.isEmpty()) {
        printError(unmapped);
    }
    const QList<ClipJob> jobs = runJobs(*cues);
    const CostEstimate estimate = estimateJobs(jobs, run->clips, modelId);
    recordJobs(jobs, estimate);
    // A cue over the model's limit would fail after the cues before it were paid for.
    for (int i = 0; i < jobs.size(); ++i) {
        if (!checkRequestLength(jobs[i].request, QObject::tr("Cue %1").arg(i + 1))) {
            return failed(1, i + 1);
        }
    }
    if (!costChecked &&
        (!withinBudget(config, estimate) || !accountAllows(config, *run, estimate))) {
        return failed(1);
    }

    int status = 1;
    FetchOutcome fetched;
    const std::optional<QList<AudioSegment>> segments =
        fetchClips(*cues, jobs, config.synthesis, apiKeySource(config.apiKeyFile), run->clips,
                   &status, &fetched);
    Billing billing;
    for (int i = 0; i < jobs.size() && size_t(i) < fetched.results.size(); ++i) {
        const ClipResult& result = fetched.results[size_t(i)];
        billing.add(jobs[i], result);
        if (recordCues) {
            ReportCue& cue = report.cues[firstCue + i];
            cue =
                reportCue(jobs[i], &result, input, cue.number, cue.startMs, cue.endMs, cue.speaker);
        }
    }
    report.totals.newClips += billing.newClips;
    report.totals.charactersBilled += billing.characters;
    report.totals.charactersBilledEstimated =
        report.totals.charactersBilledEstimated || billing.estimated;
    const auto billed = [&billing](int code) {
        if (billing.newClips > 0) {
            printError(billedLine(billing.characters, billing.newClips, billing.estimated));
        }
        return code;
    };
    if (fetched.interrupted) {
        billed(0);
        return failed(reportInterruption(jobs));
    }
    if (!segments) {
        return billed(failed(status, fetched.failedCue, fetched.failure));
    }
    if (config.noPadding) {
        printError(QObject::tr("\n--no-padding mode: Individual segment files generated "
                               "successfully.\n"));
        printError(QObject::tr("Segment files are located in: %1\n").arg(config.cacheDirectory));
        return billed(0);
    }

    QList<SegmentPlacement> placements;
    qint64 lengthMs = 0;
    const int assembled = assembleTimeline(
        config.timeline, outputFile, *cues, *segments,
        [&](const TimelinePlan& plan, const QList<double>& speedUps) {
            placements = plan.placements;
            lengthMs = plan.sampleRate > 0 ? plan.totalSamples * 1000 / plan.sampleRate : 0;
            for (int k = 0; recordCues && k < plan.placements.size() && k < jobs.size(); ++k) {
                ReportCue& cue = report.cues[firstCue + k];
                cue.placement = reportPlacement(plan.placements[k], (*cues)[k].endMs,
                                                k < speedUps.size() ? speedUps[k] : 1.0);
                cue.clipLengthMs = cue.placement->actualEndMs - cue.placement->actualStartMs;
            }
        });
    if (assembled != 0 && receivedStopSignal() != 0) {
        billed(0);
        return failed(reportInterruption(jobs));
    }
    if (assembled != 0) {
        return billed(failed(assembled));
    }
    report.outputs.append({input, outputTarget(outputFile).path, lengthMs});
    if (!config.captionsFile.isEmpty()) {
        QList<CaptionCue> captions;
        captions.reserve(placements.size());
        for (int k = 0; k < placements.size() && k < jobs.size(); ++k) {
            const SegmentPlacement& placement = placements[k];
            const CaptionCue cue{(*cues)[k].startMs, (*cues)[k].endMs, jobs[k].request.text,
                                 (*cues)[k].speaker};
            captions.append(retimedCaption(
                cue, {placement.actualStartMs, placement.actualEndMs,
                      std::max<qint64>(placement.actualStartMs - placement.desiredStartMs, 0)}));
        }
        QString error;
        if (!writeCaptions(config.captionsFile, captions, &error)) {
            printError(error + QLatin1Char('\n'));
            return billed(failed(1));
        }
        printError(QObject::tr("Created captions: %1\n").arg(config.captionsFile));
    }
    return billed(0);
}

int runSubtitleFile(const RunConfiguration& config) {
    SubtitleSession session(config);
    const int status = session.runFile(config.subtitleFile, config.outputFile);
    if (!writeReportIfAsked(config, session.runReport())) {
        return 1;
    }
    return status;
}

} // namespace lyrane
