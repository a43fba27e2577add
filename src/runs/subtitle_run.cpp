#include "runs/subtitle_run.h"

#include "cli/console.h"
#include "cli/stop_signals.h"
#include "runs/cue_listing.h"
#include "runs/cue_voices.h"
#include "runs/interruption.h"
#include "runs/programme_mix_run.h"
#include "runs/service_notices.h"
#include "runs/timeline_assembly.h"
#include "subtitles/subtitle_file.h"
#include "synthesis/account_voices.h"
#include "synthesis/api_key.h"
#include "synthesis/clip_scheduler.h"

#include <QObject>

#include <algorithm>

namespace lyrane {

namespace {

const QString kTimeFormat = QStringLiteral("HH:mm:ss.zzz");

std::optional<QList<VttCue>> openSubtitleFile(const QString& path, const QString& encoding) {
    QString error;
    std::optional<SubtitleFile> file = readSubtitleFile(path, encoding, &error);
    if (!file) {
        printError(QObject::tr("failed to parse VTT file: %1\n").arg(error));
        return std::nullopt;
    }
    if (file->cues.isEmpty()) {
        printError(file->noCuesReason.isEmpty()
                       ? QObject::tr("VTT file contains no cues\n")
                       : QObject::tr("VTT file contains no cues (%1)\n").arg(file->noCuesReason));
        return std::nullopt;
    }
    return std::move(file->cues);
}

// The progress lines of a subtitle run, one per event, numbered by cue.
class SubtitleProgress final : public ClipProgress {
public:
    SubtitleProgress(const QList<VttCue>& cues, int count, int retries, const QString& keySource)
        : cues(cues), count(count), retries(retries), keySource(keySource) {}

    void report(const ClipNotice& notice, const ClipJob& job) override {
        const int number = notice.cue + 1;
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
};

int processedCount(const QList<VttCue>& cues, int limit) {
    return limit == 0 ? int(cues.size()) : std::min(limit, int(cues.size()));
}

// Brings every processed cue's clip into the local cache, each cue's neighbours sent as its
// context, each cue in its speaker's voice. Prints progress and the first failure; nothing on
// failure, with the exit status in `status`.
std::optional<QList<AudioSegment>> fetchClips(const QList<VttCue>& cues, int limit,
                                              const SynthesisSettings& settings,
                                              const VoiceMap& voices, VoiceNameResolver& resolver,
                                              const QString& keySource, const ClipSource& source,
                                              int* status) {
    const int count = processedCount(cues, limit);
    QList<ClipJob> jobs;
    jobs.reserve(count);
    for (int i = 0; i < count; ++i) {
        const QString previous = i > 0 ? cues[i - 1].text : QString();
        const QString next = i + 1 < cues.size() ? cues[i + 1].text : QString();
        const QString voice = cueVoice(cues[i], voices, settings.voice);
        QString warning;
        const QString requestVoice = resolver.resolve(voice, &warning);
        if (!warning.isEmpty()) {
            printError(warning);
        }
        jobs.append(
            source.job(makeRequest(settings, requestVoice, cues[i].text, previous, next), voice));
    }

    // A cue over the model's limit would fail after the cues before it were paid for.
    for (int i = 0; i < count; ++i) {
        if (!checkRequestLength(jobs[i].request, QObject::tr("Cue %1").arg(i + 1))) {
            *status = 1;
            return std::nullopt;
        }
    }

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
    if (receivedStopSignal() != 0) {
        *status = reportInterruption(scheduler.jobs());
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

int SubtitleSession::runFile(const QString& subtitleFile, const QString& outputFile) {
    std::optional<QList<VttCue>> cues = openSubtitleFile(subtitleFile, config.encoding);
    if (!cues) {
        return 1;
    }
    assignSpeakers(&*cues, config.speakers.labels);
    if (config.dryRun) {
        printCueListing(*cues, config.limit, config.speakers.voices, config.synthesis.voice);
        return 0;
    }
    // A programme that cannot be mixed over stops the run before any speech is requested.
    if (!config.timeline.programme.programmePath.isEmpty() &&
        !programmeDurationForRun(config.timeline.programme)) {
        return 1;
    }
    if (!services) {
        services = prepareRunServices(config);
        if (!services) {
            return 1;
        }
        voiceNames =
            std::make_unique<VoiceNameResolver>(&services->network, services->client.baseUrl(),
                                                services->apiKey, config.synthesis.timeoutMs);
    }
    const QString unmapped = unmappedSpeakerLines(*cues, processedCount(*cues, config.limit),
                                                  config.speakers.voices, config.synthesis.voice);
    if (!unmapped.isEmpty()) {
        printError(unmapped);
    }
    int status = 1;
    const std::optional<QList<AudioSegment>> segments =
        fetchClips(*cues, config.limit, config.synthesis, config.speakers.voices, *voiceNames,
                   apiKeySource(config.apiKeyFile), services->clips, &status);
    if (!segments) {
        return status;
    }
    if (config.noPadding) {
        printError(QObject::tr("\n--no-padding mode: Individual segment files generated "
                               "successfully.\n"));
        printError(QObject::tr("Segment files are located in: %1\n").arg(config.cacheDirectory));
        return 0;
    }
    return assembleTimeline(config.timeline, outputFile, *cues, *segments);
}

int runSubtitleFile(const RunConfiguration& config) {
    SubtitleSession session(config);
    return session.runFile(config.subtitleFile, config.outputFile);
}

} // namespace lyrane
