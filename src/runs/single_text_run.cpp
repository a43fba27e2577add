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
#include "runs/run_preparation.h"
#include "synthesis/account_voices.h"
#include "synthesis/clip_scheduler.h"

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
    explicit SingleTextProgress(int retries) : retries(retries) {}

    void report(const ClipNotice& notice, const ClipJob& job) override {
        switch (notice.event) {
        case ClipEvent::CachedUnusable:
            printError(QObject::tr("Cached audio is unusable: %1\n").arg(notice.error));
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
            printError(QObject::tr("Generating audio for text...\n"));
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
};

int writeOutput(const QString& clipPath, const QString& outputFile, const TimelineSettings& level) {
    QString error;
    std::optional<AudioBuffer> clip = loadAudio(clipPath, &error);
    if (!clip) {
        printError(QObject::tr("Failed to load audio segment: %1\n").arg(error));
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

int runSingleText(const RunConfiguration& config) {
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

    // A single text is one cue, with the context given on the command line.
    const ClipJob job =
        services->clips.job(makeRequest(config.synthesis, requestVoice, *text,
                                        config.single.previousText, config.single.nextText),
                            config.synthesis.voice);
    SingleTextProgress progress(config.synthesis.retries);
    SchedulerOptions options;
    options.retry.retries = config.synthesis.retries;
    options.confirmDownloads = true;
    ClipScheduler scheduler(services->clips, {job}, options, progress);
    bool done = false;
    {
        const StopScope stopping([&scheduler] { scheduler.stop(); });
        done = scheduler.run();
    }
    if (receivedStopSignal() != 0) {
        return reportInterruption(scheduler.jobs());
    }
    if (!done) {
        return 1;
    }

    if (config.noPadding) {
        printError(QObject::tr("\n--no-padding mode: Audio segment generated successfully.\n"));
        printError(QObject::tr("Segment file: %1\n").arg(job.path));
        return 0;
    }
    return writeOutput(job.path, config.outputFile, config.timeline);
}

} // namespace lyrane
