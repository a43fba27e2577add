#include "runs/programme_mix_run.h"

#include "audio/atomic_output.h"
#include "audio/loudness.h"
#include "audio/programme_mix.h"
#include "audio/wav_stream.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QTemporaryFile>

#include <vector>

namespace lyrane {

std::optional<qint64> programmeDurationForRun(const ProgrammeMixSettings& mix, bool extended,
                                              NarrationOutcome* failure) {
    const auto failed = [failure](const QString& line) {
        *failure = NarrationOutcome::failedWith(RunFailure::Kind::Services, line);
        return std::nullopt;
    };
    QString error;
    const std::optional<ProgrammeInfo> info = probeProgramme(mix.programmePath, &error);
    if (!info) {
        return failed(QObject::tr("Failed to open the programme: %1\n").arg(error));
    }
    if (mix.audioStream > 0 && mix.audioStream >= info->audioStreamCount) {
        return failed(QObject::tr("Failed to open the programme: %1 has no audio stream "
                                  "%2 (it has %3 audio streams)\n")
                          .arg(mix.programmePath)
                          .arg(mix.audioStream)
                          .arg(info->audioStreamCount));
    }
    if (extended && info->videoStreamCount == 0) {
        return failed(QObject::tr("--extended needs a programme with video: %1 has none\n")
                          .arg(mix.programmePath));
    }
    return info->durationMs;
}

namespace {

// The programme with its pauses, into `file`; what was done said in a line.
bool writeExtendedCopy(const ProgrammeMixSettings& mix, QTemporaryFile& file,
                       const StopCheck& stopped, Console& console, QString* error) {
    if (!file.open()) {
        *error = QObject::tr("cannot create a temporary file: %1").arg(file.errorString());
        return false;
    }
    file.close();
    console.error(QObject::tr("Extending %1 by %n pause(s)...\n", nullptr, int(mix.pauses.size()))
                      .arg(mix.programmePath));
    ExtendedProgrammeReport report;
    if (!writeExtendedProgramme(mix.programmePath, mix.audioStream, mix.pauses, file.fileName(),
                                mix.keepOriginalAudio, &report, stopped, error)) {
        return false;
    }
    console.error(
        QObject::tr("Extended programme: %1 s of pauses; the %2 picture copied whole, each "
                    "pause holding the frame before it%3\n")
            .arg(QString::number(double(report.pausedMs) / 1000.0, 'f', 1), report.videoCodec,
                 report.audioCodec.isEmpty()
                     ? QString()
                     : QObject::tr("; its sound encoded again as %1").arg(report.audioCodec)));
    for (const QString& stream : std::as_const(report.leftOut)) {
        console.error(QObject::tr("Not carried into the extended programme: %1\n").arg(stream));
    }
    return true;
}

} // namespace

NarrationOutcome writeNarrationOverProgramme(
    const ProgrammeMixSettings& mix, const QString& outputFile, const TimelinePlan& plan,
    const std::function<bool(const QString& path, QString* error)>& writeNarrationWav,
    RunContext context) {
    const StopCheck stopped = context.stop.check();
    Console& console = context.console;
    const auto failed = [](const QString& line) {
        return NarrationOutcome::failedWith(RunFailure::Kind::Output, line);
    };
    const auto interrupted = [&context] {
        return NarrationOutcome::stoppedBy(context.stop.signal());
    };
    const QString outputPath = mixedOutputPath(outputFile);

    // What runs that were killed left there goes before this run adds its own.
    removeStaleTemporaryFiles();
    QTemporaryFile narrationFile(
        QDir(QDir::tempPath()).filePath(QStringLiteral("lyrane-narration-XXXXXX.wav")));
    QString error;
    if (!narrationFile.open()) {
        return failed(QObject::tr("Failed to mix over the programme: cannot create a temporary "
                                  "file: %1\n")
                          .arg(narrationFile.errorString()));
    }
    narrationFile.close();
    if (!writeNarrationWav(narrationFile.fileName(), &error)) {
        if (stopRequested(stopped)) {
            return interrupted();
        }
        return failed(QObject::tr("Failed to mix over the programme: %1\n").arg(error));
    }
    WavSampleStream reader;
    if (!reader.open(narrationFile.fileName(), &error)) {
        return failed(QObject::tr("Failed to mix over the programme: %1: %2\n")
                          .arg(narrationFile.fileName(), error));
    }

    NarrationSource narration;
    narration.sampleRate = reader.sampleRate();
    narration.totalSamples = reader.totalSamples();
    for (int k = 0; k < plan.placements.size(); ++k) {
        narration.clips.append(SampleSpan{plan.startSamples[k],
                                          plan.placements[k].actualEndMs * plan.sampleRate / 1000});
    }
    narration.read = [&reader](double* out, qint64 max, QString* readError) {
        return reader.read(out, max, readError);
    };
    narration.stopped = stopped;
    narration.rewind = [&reader](QString* rewindError) {
        return reader.rewind(rewindError);
    };

    QTemporaryFile extendedFile(
        QDir(QDir::tempPath()).filePath(QStringLiteral("lyrane-extended-XXXXXX.tmp")));
    ProgrammeMixSettings over = mix;
    if (!mix.pauses.isEmpty()) {
        if (!writeExtendedCopy(mix, extendedFile, stopped, console, &error)) {
            if (stopRequested(stopped)) {
                return interrupted();
            }
            return failed(QObject::tr("Failed to extend the programme: %1\n").arg(error));
        }
        over.programmePath = extendedFile.fileName();
        over.audioStream = 0;
    }
    console.error(QObject::tr("Mixing the narration over %1...\n").arg(mix.programmePath));
    ProgrammeMixReport report;
    if (!mixNarrationOverProgramme(over, narration, outputPath, &report, &error)) {
        if (stopRequested(stopped)) {
            return interrupted();
        }
        return failed(QObject::tr("Failed to mix over the programme: %1\n").arg(error));
    }
    if (!report.hasProgrammeAudio) {
        console.error(QObject::tr("%1 has no audio: the narration alone is the sound\n")
                          .arg(mix.programmePath));
    }
    if (isVideoOutputPath(outputPath) && !report.hasProgrammeVideo) {
        console.error(
            QObject::tr("%1 has no video: the output has no picture\n").arg(mix.programmePath));
    }
    for (const QString& stream : std::as_const(report.skippedStreams)) {
        console.error(
            QObject::tr("Not copied, the output container cannot hold it: %1\n").arg(stream));
    }
    if (report.extendedByMs > 0) {
        console.error(QObject::tr("Narration runs past the end of %1: output extended by %2 ms\n")
                          .arg(mix.programmePath)
                          .arg(report.extendedByMs));
    }
    console.error(QObject::tr("Created narrated %1 file: %2\n")
                      .arg(QFileInfo(outputPath).suffix().toUpper(), outputPath));
    NarrationOutcome written;
    if (report.loudness) {
        console.error(loudnessReport(*report.loudness, *mix.loudnessLufs, mix.truePeakDbtp));
        written.loudness = report.loudness;
    }
    return written;
}

} // namespace lyrane
