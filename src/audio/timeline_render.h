#pragma once

#include "audio/audio_buffer.h"
#include "audio/broadcast_wav.h"
#include "audio/ducking_envelope.h"
#include "audio/timeline_plan.h"
#include "audio/wav_file.h"

#include <QList>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <optional>

namespace lyrane {

// How the mix is brought to the output's level: divided by its peak when that is above full
// scale (as normalize does), or multiplied by one gain, as a loudness target asks.
struct OutputLevel {
    double peak = 0.0;
    double gain = 1.0;
    bool byGain = false;

    static OutputLevel normalizedFromPeak(double peak) { return {peak, 1.0, false}; }
    static OutputLevel scaledBy(double gain) { return {0.0, gain, true}; }
};

// One sample brought to the output's level, as the timeline's render brings each.
inline double atOutputLevel(const OutputLevel& level, double sample) {
    if (level.byGain) {
        return sample * level.gain;
    }
    return level.peak > 1.0 ? sample / level.peak : sample;
}

// Exactly how the level scales the samples: levels that scale them alike read the same.
QString outputLevelText(const OutputLevel& level);

// Receives 16-bit samples that belong at output sample `at`; returns false to stop.
using PlacedPcm16Sink = std::function<bool(qint64 at, const qint16* samples, qint64 count)>;

// Gives clip j's samples (its planned length of them), or null to stop. The renderer asks for
// the clips in order, the same one for several chunks in a row.
using ClipSamples = std::function<const double*(qsizetype j)>;

// Renders the planned timeline as 16-bit chunks, equal sample for sample to the clips added
// up and normalized. Clips never overlap, so each output sample is one clip sample or 0 and
// the peak of the mix is the largest clip peak (`peak`: above 1 the mix is scaled down by it).
bool renderTimeline(const QList<qint64>& lengths, const ClipSamples& samplesOf, double peak,
                    const TimelinePlan& plan, const Pcm16Sink& sink);
bool renderTimeline(const QList<qint64>& lengths, const ClipSamples& samplesOf,
                    const OutputLevel& level, const TimelinePlan& plan, const Pcm16Sink& sink);
// The same render before the conversion to 16 bits: each output sample the clip sample at the
// output's level, for formats of more resolution.
bool renderTimelineSamples(const QList<qint64>& lengths, const ClipSamples& samplesOf,
                           const OutputLevel& level, const TimelinePlan& plan,
                           const SampleSink& sink);
// Renders only `spans` (in order, apart, within the timeline), each sample as the whole
// timeline renders it; the clips are asked for in order.
bool renderTimelineSpans(const QList<qint64>& lengths, const ClipSamples& samplesOf,
                         const OutputLevel& level, const TimelinePlan& plan,
                         const QList<SampleSpan>& spans, const PlacedPcm16Sink& sink);

} // namespace lyrane
