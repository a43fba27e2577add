#include "runs/narration_output.h"

#include "runs/output_naming.h"
#include "runs/programme_mix_run.h"

#include <QObject>

namespace lyrane {

NarrationOutcome writeNarrationOutput(const TimelineSettings& settings, const TimelinePlan* plan,
                                      const QString& outputFile, const ProgressWording& wording,
                                      const NarrationWriter& write,
                                      const std::optional<LoudnessGain>& gain, RunContext context) {
    if (plan && !settings.programme.programmePath.isEmpty()) {
        // A loudness target applies to the mix; the narration keeps its own level against the
        // programme.
        ProgrammeMixSettings mix = settings.programme;
        mix.loudnessLufs = settings.loudnessLufs;
        mix.truePeakDbtp = settings.truePeakDbtp;
        return writeNarrationOverProgramme(
            mix, outputFile, *plan,
            [&](const QString& path, QString* error) { return write(path, false, error); },
            context);
    }

    const OutputTarget output = outputTarget(outputFile);
    QString error;
    if (!write(output.path, output.mp3, &error)) {
        if (context.stop.requested()) {
            return NarrationOutcome::stoppedBy(context.stop.signal());
        }
        return NarrationOutcome::failedWith(
            RunFailure::Kind::Output,
            output.mp3 ? QObject::tr("Failed to write MP3 output file: %1\n").arg(error)
                       : QObject::tr("Failed to write WAV output file: %1\n").arg(error));
    }
    context.console.error(fillWording(output.mp3 ? wording.createdMp3 : wording.createdWav,
                                      {{QStringLiteral("path"), output.path}}));
    NarrationOutcome written;
    if (gain) {
        context.console.error(loudnessReport(*gain, *settings.loudnessLufs, settings.truePeakDbtp));
        written.loudness = gain;
    }
    return written;
}

std::optional<ReportLoudness> reportLoudness(const TimelineSettings& settings,
                                             const std::optional<LoudnessGain>& gain) {
    if (!gain || !settings.loudnessLufs) {
        return std::nullopt;
    }
    ReportLoudness loudness;
    loudness.integratedLufs = gain->result.integratedLufs;
    loudness.truePeakDbtp = gain->result.truePeakDbtp;
    loudness.loudnessRangeLu = gain->result.loudnessRangeLu;
    loudness.targetLufs = *settings.loudnessLufs;
    loudness.truePeakCeilingDbtp = settings.truePeakDbtp;
    loudness.preset = settings.loudnessPreset;
    return loudness;
}

} // namespace lyrane
