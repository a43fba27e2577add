#include "runs/paused_cues.h"

#include "audio/clip_loading.h"
#include "audio/pause_join.h"
#include "audio/wav_file.h"
#include "runs/spoken_text.h"
#include "subtitles/pauses.h"
#include "synthesis/clip_format.h"

#include <QFileInfo>
#include <QObject>

#include <algorithm>

namespace lyrane {

std::optional<NarrationOutcome> checkCuePauses(const QList<Cue>& cues, int count) {
    for (int i = 0; i < count && i < cues.size(); ++i) {
        if (!mayHoldPause(cues[i].text)) {
            continue;
        }
        QString problem;
        if (!readPauses(cues[i].text, &problem)) {
            return NarrationOutcome::failedWith(RunFailure::Kind::Input,
                                                QObject::tr("Cue %1: %2\n").arg(i + 1).arg(problem),
                                                i + 1);
        }
    }
    return std::nullopt;
}

std::optional<PausedCue> pausedCue(const Cue& cue, const ClipJob& cueJob, const Lexicon* lexicon,
                                   const ClipSource& source) {
    if (!mayHoldPause(cue.text)) {
        return std::nullopt;
    }
    QString problem;
    const std::optional<PausedText> text = readPauses(cue.text, &problem);
    if (!text) {
        return std::nullopt; // refused before this, by checkCuePauses
    }
    const bool silent =
        std::all_of(text->pausesMs.begin(), text->pausesMs.end(), [](int ms) { return ms == 0; });
    if (silent && text->parts.size() == 1) {
        return std::nullopt; // nothing to pause: the cue is sent as one text, as any other
    }
    PausedCue paused;
    paused.pausesMs = text->pausesMs;
    const qsizetype n = text->parts.size();
    for (qsizetype k = 0; k < n; ++k) {
        TtsRequest request = cueJob.request;
        request.text = spokenText(lexicon, text->parts[k]);
        if (k > 0) {
            request.previousText = spokenText(lexicon, text->parts[k - 1]);
        }
        if (k + 1 < n) {
            request.nextText = spokenText(lexicon, text->parts[k + 1]);
        }
        paused.parts.append(source.job(request, cueJob.voiceName));
    }
    paused.joined = source.joinedJob(cueJob, paused.parts, paused.pausesMs);
    return paused;
}

bool isMade(const PausedCue& cue) {
    // A joined clip that is cut short is made again from its parts: asking the service for it
    // would bring the cue without its pauses.
    return QFileInfo::exists(cue.joined.path) && checkWholeWavFile(cue.joined.path, nullptr);
}

bool joinParts(const PausedCue& cue, QString* error) {
    QList<AudioBuffer> clips;
    for (const ClipJob& part : cue.parts) {
        std::optional<AudioBuffer> clip = loadAudio(part.path, error);
        if (!clip) {
            return false;
        }
        clips.append(std::move(*clip));
    }
    const AudioBuffer joined = joinWithPauses(clips, cue.pausesMs, kRawPcmSampleRate);
    const std::optional<QByteArray> wav =
        pcm16MonoWavBytes(keptPcm16Bytes(joined), joined.sampleRate, error);
    return wav && writeCacheFile(cue.joined.path, *wav, error);
}

} // namespace lyrane
