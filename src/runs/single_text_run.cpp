#include "runs/single_text_run.h"

#include "audio/clip_loading.h"
#include "audio/encoded_loudness.h"
#include "audio/loudness.h"
#include "audio/mp3_codec.h"
#include "audio/wav_file.h"
#include "cli/console.h"
#include "cli/stop_signals.h"
#include "runs/interruption.h"
#include "runs/output_naming.h"
#include "runs/run_accounting.h"
#include "runs/run_preparation.h"
#include "runs/service_notices.h"
#include "synthesis/account_voices.h"
#include "synthesis/api_key.h"
#include "synthesis/clip_scheduler.h"
#include "synthesis/request_limits.h"
#include "synthesis/text_splitting.h"

#include <QCoreApplication>
#include <QFile>
#include <QObject>

namespace lyrane {

namespace {

// The trimmed text of a single-text run, from --say or the --text file; nothing on failure.
std::optional<QString> loadTextToSpeak(const SingleTextInput& input) {
    QString text;
    if (!input.text.isEmpty()) {
        text = input.text.trimmed();
    } else {
        QFile file(input.textFile);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            printError(QObject::tr("Failed to read text file: %1\n").arg(file.errorString()));
            return std::nullopt;
        }
        text = QString::fromUtf8(file.readAll()).trimmed();
    }
    if (text.isEmpty()) {
        printError(QObject::tr("Text is empty\n"));
        return std::nullopt;
    }
    return text;
}

// The progress lines of a single-text run: the same events as a subtitle run's, in the words
// this mode has always used.
class SingleTextProgress final : public ClipProgress {
public:
    SingleTextProgress(int retries, int parts, const QString& keySource)
        : retries(retries), parts(parts), keySource(keySource) {}

    void report(const ClipNotice& notice, const ClipJob& job) override {
        switch (notice.event) {
        case ClipEvent::CachedUnusable:
            printError(QObject::tr("Cached audio is unusable: %1\n").arg(notice.error));
            return;
        case ClipEvent::CachedSetAside:
            printError(QObject::tr("Cached audio %1 is unusable (%2); set aside as %3, fetching "
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
            printError(QObject::tr("Downloaded audio cache is unusable: %1\n").arg(notice.error));
            return;
        case ClipEvent::Downloaded:
            printError(QObject::tr("Downloaded audio from S3: %1\n").arg(job.objectKey));
            return;
        case ClipEvent::Synthesizing:
            if (parts > 1) {
                printError(QObject::tr("Generating audio for text part %1/%2...\n")
                               .arg(notice.cue + 1)
                               .arg(parts));
            } else {
                printError(QObject::tr("Generating audio for text...\n"));
            }
            return;
        case ClipEvent::Retrying:
            printError(QObject::tr("Retrying in %1 ms (attempt %2 of %3): %4\n")
                           .arg(notice.delayMs)
                           .arg(notice.attempt)
                           .arg(retries)
                           .arg(notice.error));
            return;
        case ClipEvent::SynthesisFailed:
            printError(QObject::tr("Failed to generate audio: %1\n").arg(notice.error));
            printServiceErrorTip(
                notice.reason,
                {keySource, parts > 1 ? QObject::tr("part %1 of the text").arg(notice.cue + 1)
                                      : QObject::tr("the text")});
            return;
        case ClipEvent::WindowLowered:
            printWindowLowered(notice.inFlight);
            return;
        case ClipEvent::StoreFailed:
            printError(QObject::tr("Failed to cache audio: %1\n").arg(notice.error));
            return;
        case ClipEvent::UploadFailed:
            printError(QObject::tr("S3 cache upload failed: %1\n").arg(notice.error));
            return;
        case ClipEvent::Uploaded:
            printError(notice.source == ClipTier::Service
                           ? QObject::tr("Uploaded audio to S3: %1\n").arg(job.objectKey)
                           : QObject::tr("Uploaded cached audio to S3: %1\n").arg(job.objectKey));
            return;
        case ClipEvent::Ready:
            printError(notice.source == ClipTier::Service
                           ? QObject::tr("Audio generated successfully: %1\n").arg(job.path)
                           : QObject::tr("Using cached audio: %1\n").arg(job.path));
            return;
        }
    }

private:
    const int retries;
    const int parts;
    const QString keySource;
};

// The parts' clips one after the other, as one sound; each part's length in `partLengthsMs`.
std::optional<AudioBuffer> joinClips(const QList<ClipJob>& jobs, QList<qint64>* partLengthsMs) {
    AudioBuffer joined;
    for (const ClipJob& job : jobs) {
        QString error;
        const std::optional<AudioBuffer> clip = loadAudio(job.path, &error);
        if (!clip) {
            printError(QObject::tr("Failed to load audio segment: %1\n").arg(error));
            return std::nullopt;
        }
        if (joined.sampleRate == 0) {
            joined.sampleRate = clip->sampleRate;
        } else if (clip->sampleRate != joined.sampleRate) {
            printError(QObject::tr("Failed to load audio segment: %1 is at %2 Hz, the text's "
                                   "other parts at %3 Hz\n")
                           .arg(job.path)
                           .arg(clip->sampleRate)
                           .arg(joined.sampleRate));
            return std::nullopt;
        }
        joined.samples.append(clip->samples);
        partLengthsMs->append(
            clip->sampleRate > 0 ? qint64(clip->samples.size()) * 1000 / clip->sampleRate : 0);
    }
    return joined;
}

int writeOutput(const QList<ClipJob>& jobs, const QString& outputFile,
                const TimelineSettings& level, QList<qint64>* partLengthsMs) {
    QString error;
    std::optional<AudioBuffer> clip = joinClips(jobs, partLengthsMs);
    if (!clip) {
        return 1;
    }
    std::optional<LoudnessGain> gain;
    if (level.loudnessLufs) {
        gain = applyLoudnessTarget(*clip, *level.loudnessLufs, level.truePeakDbtp, &error);
        if (!gain) {
            printError(QObject::tr("Failed to measure loudness: %1\n").arg(error));
            return 1;
        }
    }
    const auto reportLoudness = [&] {
        if (gain) {
            printError(loudnessReport(*gain, *level.loudnessLufs, level.truePeakDbtp));
        }
        return 0;
    };
    const OutputTarget output = outputTarget(outputFile);
    if (output.mp3) {
        const bool written = gain ? encodeMp3AtLoudness(*clip, output.path, *level.loudnessLufs,
                                                        level.truePeakDbtp, *gain, &error)
                                  : encodeMp3(*clip, output.path, &error);
        if (!written) {
            printError(QObject::tr("Failed to write MP3 output file: %1\n").arg(error));
            return 1;
        }
        printError(QObject::tr("Created MP3 audio file: %1\n").arg(output.path));
        return reportLoudness();
    }
    if (!writeWav(*clip, output.path, &error)) {
        printError(QObject::tr("Failed to write WAV output file: %1\n").arg(error));
        return 1;
    }
    printError(QObject::tr("Created WAV audio file: %1\n").arg(output.path));
    return reportLoudness();
}

} // namespace

namespace {

int narrateText(const RunConfiguration& config, RunReport& report) {
    const std::optional<QString> text = loadTextToSpeak(config.single);
    if (!text) {
        return 1;
    }
    const std::unique_ptr<RunServices> services = prepareRunServices(config);
    if (!services) {
        return 1;
    }

    // A --voice that names one of the account's voices is sent as its identifier.
    VoiceNameResolver voiceNames(&services->network, services->client.baseUrl(), services->apiKey,
                                 config.synthesis.timeoutMs);
    QString warning;
    const QString requestVoice = voiceNames.resolve(config.synthesis.voice, &warning);
    if (!warning.isEmpty()) {
        printError(warning);
    }

    // A single text is one cue, with the context given on the command line; a text over the
    // model's limit is several, each part sent with its neighbours as context.
    const TtsRequest whole = makeRequest(config.synthesis, requestVoice, *text,
                                         config.single.previousText, config.single.nextText);
    const QStringList parts = splitTextForRequests(*text, requestCharacterLimit(whole));
    QList<ClipJob> jobs;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString previous = i > 0 ? parts[i - 1] : config.single.previousText;
        const QString next = i + 1 < parts.size() ? parts[i + 1] : config.single.nextText;
        jobs.append(services->clips.job(
            makeRequest(config.synthesis, requestVoice, parts[i], previous, next),
            config.synthesis.voice));
    }
    const CostEstimate estimate = estimateJobs(jobs, services->clips, runModelId(config));
    for (qsizetype i = 0; i < jobs.size(); ++i) {
        report.cues.append(reportCue(jobs[i], nullptr, QString(), i + 1, 0, 0, QString()));
    }
    report.totals.cues = jobs.size();
    report.totals.creditsEstimated = estimate.credits;
    if (!withinBudget(config, estimate) || !accountAllows(config, *services, estimate)) {
        return 1;
    }

    SingleTextProgress progress(config.synthesis.retries, int(parts.size()),
                                apiKeySource(config.apiKeyFile));
    SchedulerOptions options;
    options.window = config.synthesis.jobs;
    options.retry.retries = config.synthesis.retries;
    options.confirmDownloads = true;
    ClipScheduler scheduler(services->clips, jobs, options, progress);
    bool done = false;
    {
        const StopScope stopping([&scheduler] { scheduler.stop(); });
        done = scheduler.run();
    }
    Billing billing;
    for (qsizetype i = 0; i < jobs.size() && size_t(i) < scheduler.results().size(); ++i) {
        const ClipResult& result = scheduler.results()[size_t(i)];
        billing.add(jobs[i], result);
        report.cues[i] = reportCue(jobs[i], &result, QString(), i + 1, 0, 0, QString());
    }
    report.totals.newClips = billing.newClips;
    report.totals.charactersBilled = billing.characters;
    report.totals.charactersBilledEstimated = billing.estimated;
    // Said last, the interruption's advice excepted.
    const auto billed = [&billing](int code) {
        if (billing.newClips > 0) {
            printError(billedLine(billing.characters, billing.newClips, billing.estimated));
        }
        return code;
    };
    if (receivedStopSignal() != 0) {
        billed(0);
        return reportInterruption(scheduler.jobs());
    }
    if (!done) {
        return billed(1);
    }

    if (config.noPadding) {
        printError(QObject::tr("\n--no-padding mode: Audio segment generated successfully.\n"));
        for (const ClipJob& job : jobs) {
            printError(QObject::tr("Segment file: %1\n").arg(job.path));
        }
        return billed(0);
    }
    QList<qint64> partLengthsMs;
    const int status = writeOutput(jobs, config.outputFile, config.timeline, &partLengthsMs);
    if (status == 0) {
        // The parts play one after the other.
        qint64 startMs = 0;
        for (qsizetype i = 0; i < jobs.size() && i < partLengthsMs.size(); ++i) {
            ReportCue& cue = report.cues[i];
            cue.startMs = startMs;
            cue.clipLengthMs = partLengthsMs[i];
            cue.endMs = startMs + partLengthsMs[i];
            startMs = cue.endMs;
        }
        report.outputs.append({QString(), outputTarget(config.outputFile).path, startMs});
    }
    return billed(status);
}

} // namespace

int runSingleText(const RunConfiguration& config) {
    RunReport report;
    report.version = QCoreApplication::applicationVersion();
    report.settings = reportSettings(config);
    const int status = narrateText(config, report);
    if (status != 0) {
        ReportFailure failure;
        failure.message = lastErrorMessage();
        if (failure.message.isEmpty()) {
            failure.message = QObject::tr("the run failed");
        }
        report.failure = failure;
    }
    if (!writeReportIfAsked(config, report)) {
        return 1;
    }
    return status;
}

} // namespace lyrane
