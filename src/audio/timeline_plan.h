#pragma once

#include "audio/audio_buffer.h"

#include <QList>
#include <QString>
#include <QtGlobal>

#include <optional>

namespace lyrane {

struct ClipPlacement {
    qint64 desiredStartMs = 0;
    qint64 actualStartMs = 0;
    qint64 actualEndMs = 0;
};

// Where each clip lands on a timeline, in samples at the timeline's rate; computed without
// rendering, so a long narration can be streamed to its file instead of held in memory.
struct TimelinePlan {
    int sampleRate = 0;
    qint64 totalSamples = 0;
    QList<qint64> startSamples; // one per clip, same order as the clips
    QList<ClipPlacement> placements;
};

// Why a timeline could not be planned.
struct TimelinePlanFailure {
    enum class Kind {
        InvalidInput, // counts disagree, no clips, or no usable rate
        ClipPastEnd,  // a clip would end after the output does
    };
    Kind kind = Kind::InvalidInput;
    // ClipPastEnd: the least padding (ms) with which every clip fits, measured from where the
    // clips really land (late cues and the pauses collisions add included).
    qint64 paddingNeededMs = 0;
};

// Clips keep their order: a clip starts at its cue, or after the clip before it (plus a fifth
// of the gap between their cues) when that one is still playing. Clips whose rate differs
// from the first clip's are measured as if resampled to it. On a clip past the end, `partial`
// (when given) receives the placements of the clips before it.
std::optional<TimelinePlan>
planTimeline(const QList<AudioBuffer>& segments, const QList<qint64>& startTimesMs,
             const QList<qint64>& endTimesMs, qint64 durationMs, qint64 paddingMs, QString* error,
             TimelinePlanFailure* failure = nullptr, QList<ClipPlacement>* partial = nullptr);

// The same plan from the clips' lengths in samples, all at sampleRate.
std::optional<TimelinePlan> planTimelineFromLengths(const QList<qint64>& lengths, int sampleRate,
                                                    const QList<qint64>& startTimesMs,
                                                    const QList<qint64>& endTimesMs,
                                                    qint64 durationMs, qint64 paddingMs,
                                                    QString* error,
                                                    TimelinePlanFailure* failure = nullptr);

} // namespace lyrane
