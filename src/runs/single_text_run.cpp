#include "runs/single_text_run.h"

#include "audio/clip_loading.h"
#include "audio/mp3_codec.h"
#include "audio/wav_file.h"
#include "cli/console.h"
#include "cli/stop_signals.h"
#include "runs/interruption.h"
#include "runs/output_naming.h"
#include "runs/run_accounting.h"
#include "runs/run_preparation.h"
#include "synthesis/clip_scheduler.h"

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

int writeOutput(const QString& clipPath, const QString& outputFile, qint64* lengthMs) {
    QString error;
    const std::optional<AudioBuffer> clip = loadAudio(clipPath, &error);
    if (!clip) {
        printError(QObject::tr("Failed to load audio segment: %1\n").arg(error));
        return 1;
    }
    *lengthMs = clip->sampleRate > 0 ? qint64(clip->samples.size()) * 1000 / clip->sampleRate : 0;
    const OutputTarget output = outputTarget(outputFile);
    if (output.mp3) {
        if (!encodeMp3(*clip, output.path, &error)) {
            printError(QObject::tr("Failed to write MP3 output file: %1\n").arg(error));
            return 1;
        }
        printError(QObject::tr("Created MP3 audio file: %1\n").arg(output.path));
        return 0;
    }
    if (!writeWav(*clip, output.path, &error)) {
        printError(QObject::tr("Failed to write WAV output file: %1\n").arg(error));
        return 1;
    }
    printError(QObject::tr("Created WAV audio file: %1\n").arg(output.path));
    return 0;
}

} // namespace

namespace {

int narrateText(const RunConfiguration& config, RunReport& report) {
    const std::optional<QString> text = loadTextToSpeak(config.single);
    if (!text) {
        return 1;
    }
    const TtsRequest request =
        makeRequest(config.synthesis, *text, config.single.previousText, config.single.nextText);
    CostEstimate estimate;
    {
        const ClipNaming naming(config.cacheDirectory);
        const ClipJob named = naming.source().job(request, config.synthesis.voice);
        estimate = estimateJobs({named}, naming.source(), runModelId(config));
        report.cues.append(reportCue(named, nullptr, QString(), 1, 0, 0, QString()));
    }
    report.totals.cues = 1;
    report.totals.creditsEstimated = estimate.credits;
    if (!withinBudget(config, estimate)) {
        return 1;
    }
    const std::unique_ptr<RunServices> services = prepareRunServices(config);
    if (!services) {
        return 1;
    }
    if (!accountAllows(config, *services, estimate)) {
        return 1;
    }

    // A single text is one cue, with the context given on the command line.
    const ClipJob job = services->clips.job(request, config.synthesis.voice);
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
    Billing billing;
    const ClipResult& result = scheduler.results().front();
    billing.add(job, result);
    report.cues.front() = reportCue(job, &result, QString(), 1, 0, 0, QString());
    report.totals.newClips = billing.newClips;
    report.totals.charactersBilled = billing.characters;
    report.totals.charactersBilledEstimated = billing.estimated;
    if (billing.newClips > 0) {
        printError(billedLine(billing.characters, billing.newClips, billing.estimated));
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
    qint64 lengthMs = 0;
    const int status = writeOutput(job.path, config.outputFile, &lengthMs);
    if (status == 0) {
        report.cues.front().endMs = lengthMs;
        report.cues.front().clipLengthMs = lengthMs;
        report.outputs.append({QString(), outputTarget(config.outputFile).path, lengthMs});
    }
    return status;
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
