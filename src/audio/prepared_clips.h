#pragma once

#include "audio/audio_buffer.h"
#include "audio/clip_figures.h"
#include "audio/loudness.h"
#include "audio/stop_check.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>
#include <memory>
#include <optional>

namespace lyrane {

// What the first pass of a streamed timeline does to each clip after loading it and trimming
// its end silence: resampling to the first clip's rate, then an optional speed-up.
struct ClipPreparation {
    // Factor by which clip `index` (`length` samples at the timeline's `rate`) is sped up;
    // 1 leaves it as it is. Unset: no clip is sped up.
    std::function<double(qsizetype index, qint64 length, int rate)> speedUp;
    bool measureLoudness = false;
    int threads = 0; // 0: one per core, at most 8
    // Asked before each clip; once true, no further clip is started and prepare gives nothing.
    StopCheck stopped;
};

// Where the first pass stopped. Failures are ranked as a run reports them: a clip that could
// not be loaded before any resampling, resampling before speeding up; within a kind, the
// first clip in timeline order. Measure: the loudness meter or the spill file failed
// (index -1 when not tied to one clip). Stopped: the preparation's stop check asked it to end
// (index -1).
struct ClipFailure {
    enum class Kind { Load, Measure, Resample, SpeedUp, Stopped };
    Kind kind = Kind::Load;
    qsizetype index = 0;
    QString message;
};

// Clips measured in a first pass (length after trimming, resampling and speeding up; peak;
// loudness) and made again in the second, one at a time, exactly as measured. Clips that
// are costly to make again (decoded, resampled or stretched) wait in a temporary spill file
// in the narrowest form that keeps their samples exact; plain WAV clips are read again.
class PreparedClips {
public:
    PreparedClips();
    ~PreparedClips();
    PreparedClips(PreparedClips&&) noexcept;
    PreparedClips& operator=(PreparedClips&&) noexcept;

    // Loads the clips on several threads; memory stays that of a few clips however many.
    static std::optional<PreparedClips>
    prepare(const QStringList& paths, const ClipPreparation& preparation, ClipFailure* failure);

    int sampleRate() const;
    const QList<qint64>& lengths() const;
    const QList<double>& speedUps() const;
    double peak() const; // largest sample magnitude of all clips
    // Each clip's figures, as prepared (resampled and sped up).
    const QList<ClipFigures>& figures() const;
    // Of the clips one after another with a pause between them: the timeline's own reading,
    // since its gaps are silence and fall below the gate. Set when asked for.
    std::optional<LoudnessReading> loudness() const;
    qint64 speechMs() const;

    // Fills `clip` with clip `index` as measured; reuses its storage. For TimelineClipLoader.
    bool load(qsizetype index, AudioBuffer& clip, QString* error) const;

private:
    struct State;
    std::unique_ptr<State> d;
};

} // namespace lyrane
