#include "audio/programme_mix.h"
#include "audio/audio_error.h"

#include "audio/atomic_output.h"
#include "audio/programme_input.h"
#include "audio/programme_mix_pass.h"

#include <QFileInfo>
#include <QObject>

#include <optional>

namespace lyrane {

namespace {

using audio_detail::fail;

// The kind of output the request asks for, once the request is one the mix can serve.
std::optional<MixedOutputKind> checkedOutputKind(const ProgrammeMixSettings& settings,
                                                 const NarrationSource& narration,
                                                 const QString& outputPath, QString* error) {
    const std::optional<MixedOutputKind> kind = mixedOutputKindForPath(outputPath);
    if (!kind) {
        fail(error, QObject::tr("cannot write %1: the mix writes .wav, .mp3, .m4a, .mp4, "
                                ".mov or .mkv files")
                        .arg(outputPath));
        return std::nullopt;
    }
    if (narration.sampleRate <= 0 || narration.totalSamples < 0) {
        fail(error, QObject::tr("the narration has no sample rate"));
        return std::nullopt;
    }
    // (Two missing files compare equal, so only an existing programme is compared.)
    const QFileInfo programmeFile(settings.programmePath);
    if (programmeFile.exists() && QFileInfo(outputPath) == programmeFile) {
        fail(error, QObject::tr("cannot write %1: it is the programme itself").arg(outputPath));
        return std::nullopt;
    }
    return kind;
}

// The output, written beside its name by the muxer and renamed over it once complete.
class PartialOutput {
public:
    explicit PartialOutput(const QString& outputPath) : outputPath(outputPath), file(outputPath) {}

    const QString& path() const { return file.writePath(); }
    bool commit(QString* error) {
        QString reason;
        return file.commit(&reason) ||
               fail(error, QObject::tr("cannot write %1: %2").arg(outputPath, reason));
    }

private:
    const QString outputPath;
    AtomicOutput file;
};

bool rewindNarration(const NarrationSource& narration, QString* error) {
    if (!narration.rewind) {
        return fail(error, QObject::tr("the narration cannot be read a second time"));
    }
    return narration.rewind(error);
}

// Measures the mix, then writes it at the one gain that meets the target; a lossy output is
// measured as it is written and, when the codec moved its level, written once more.
bool mixAtLoudness(const ProgrammeMixSettings& settings, const NarrationSource& narration,
                   const QString& outputPath, MixedOutputKind kind, ProgrammeMixReport* report,
                   QString* error) {
    const double target = *settings.loudnessLufs;
    const double ceiling = settings.truePeakDbtp;
    MixPass measure;
    measure.measureOnly = true;
    ProgrammeMixReport measureReport;
    ProgrammeMixPass measuring(settings, narration, outputPath, kind, measure, &measureReport);
    if (!measuring.run(QString(), error)) {
        return false;
    }
    const std::optional<LoudnessReading> measured = measuring.reading(error);
    if (!measured) {
        return false;
    }
    LoudnessGain gain = loudnessGain(*measured, target, ceiling);

    PartialOutput partial(outputPath);
    MixPass write;
    write.gain = gain.factor;
    write.meterPackets = kind != MixedOutputKind::Wav && gain.outcome != LoudnessOutcome::Silent;
    *report = ProgrammeMixReport();
    if (!rewindNarration(narration, error)) {
        return false;
    }
    std::optional<ProgrammeMixPass> writing;
    writing.emplace(settings, narration, outputPath, kind, write, report);
    if (!writing->run(partial.path(), error)) {
        return false;
    }
    if (write.meterPackets) {
        std::optional<LoudnessReading> written = writing->reading(error);
        if (!written) {
            return false;
        }
        const std::optional<LoudnessGain> corrected =
            loudnessCorrection(*written, gain, target, ceiling);
        if (corrected) {
            write.gain = corrected->factor;
            *report = ProgrammeMixReport();
            if (!rewindNarration(narration, error)) {
                return false;
            }
            writing.emplace(settings, narration, outputPath, kind, write, report);
            if (!writing->run(partial.path(), error)) {
                return false;
            }
            written = writing->reading(error);
            if (!written) {
                return false;
            }
            gain = *corrected;
        }
        gain.result = *written;
    }
    if (!partial.commit(error)) {
        return false;
    }
    report->loudness = gain;
    return true;
}

} // namespace

std::optional<ProgrammeInfo> probeProgramme(const QString& path, QString* error) {
    const ffmpeg::InputFile input = openProgrammeFile(path, error);
    if (!input) {
        return std::nullopt;
    }
    ProgrammeInfo info;
    info.durationMs = fileDurationMs(input.get());
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVStream* stream = input->streams[i];
        info.audioStreamCount += stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO ? 1 : 0;
        info.videoStreamCount += isVideoStream(stream) ? 1 : 0;
    }
    return info;
}

bool mixNarrationOverProgramme(const ProgrammeMixSettings& settings,
                               const NarrationSource& narration, const QString& outputPath,
                               ProgrammeMixReport* report, QString* error) {
    ProgrammeMixReport local;
    if (!report) {
        report = &local;
    }
    const std::optional<MixedOutputKind> kind =
        checkedOutputKind(settings, narration, outputPath, error);
    if (!kind) {
        return false;
    }
    if (settings.loudnessLufs) {
        return mixAtLoudness(settings, narration, outputPath, *kind, report, error);
    }
    PartialOutput partial(outputPath);
    ProgrammeMixPass mix(settings, narration, outputPath, *kind, MixPass(), report);
    return mix.run(partial.path(), error) && partial.commit(error);
}

} // namespace lyrane
