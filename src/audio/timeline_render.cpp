#include "audio/timeline_render.h"
#include "audio/audio_error.h"
#include "audio/mp3_codec.h"
#include "audio/resampling.h"

#include <QObject>

#include <algorithm>
#include <vector>

namespace lyrane {

using audio_detail::setError;

namespace {

constexpr qint64 kRenderChunk = 1 << 16;

// Renders chunk by chunk, each output sample `convert`ed from its clip sample at the level.
template <typename Sample, typename Convert>
bool renderChunks(const QList<qint64>& lengths, const ClipSamples& samplesOf,
                  const OutputLevel& level, const TimelinePlan& plan, Convert convert,
                  const std::function<bool(const Sample*, qint64)>& sink) {
    const double peak = level.peak;
    const bool scale = !level.byGain && peak > 1.0;
    const double gain = level.gain;
    const qint64 total = qMax<qint64>(plan.totalSamples, 0);
    std::vector<Sample> chunk(static_cast<size_t>(kRenderChunk));
    qsizetype first = 0;
    for (qint64 a = 0; a < total; a += kRenderChunk) {
        const qint64 b = qMin(a + kRenderChunk, total);
        std::fill(chunk.begin(), chunk.begin() + (b - a), Sample(0));
        for (qsizetype j = first; j < lengths.size(); ++j) {
            const qint64 start = plan.startSamples.at(j);
            if (start >= b) {
                break;
            }
            const qint64 end = start + lengths.at(j);
            if (end <= a) {
                if (j == first) {
                    ++first;
                }
                continue;
            }
            const qint64 from = qMax(start, a);
            const qint64 to = qMin(end, b);
            if (to <= from) {
                continue;
            }
            const double* clip = samplesOf(j);
            if (!clip) {
                return false;
            }
            const double* in = clip + (from - start);
            Sample* out = chunk.data() + (from - a);
            if (level.byGain) {
                for (qint64 t = 0; t < to - from; ++t) {
                    out[t] = convert(in[t] * gain);
                }
            } else if (scale) {
                for (qint64 t = 0; t < to - from; ++t) {
                    out[t] = convert(in[t] / peak);
                }
            } else {
                for (qint64 t = 0; t < to - from; ++t) {
                    out[t] = convert(in[t]);
                }
            }
        }
        if (!sink(chunk.data(), b - a)) {
            return false;
        }
    }
    return true;
}

} // namespace

bool renderTimeline(const QList<qint64>& lengths, const ClipSamples& samplesOf, double peak,
                    const TimelinePlan& plan, const Pcm16Sink& sink) {
    return renderTimeline(lengths, samplesOf, OutputLevel::normalizedFromPeak(peak), plan, sink);
}

bool renderTimeline(const QList<qint64>& lengths, const ClipSamples& samplesOf,
                    const OutputLevel& level, const TimelinePlan& plan, const Pcm16Sink& sink) {
    return renderChunks<qint16>(lengths, samplesOf, level, plan, toPcm16, sink);
}

bool renderTimelineSamples(const QList<qint64>& lengths, const ClipSamples& samplesOf,
                           const OutputLevel& level, const TimelinePlan& plan,
                           const SampleSink& sink) {
    return renderChunks<double>(
        lengths, samplesOf, level, plan, [](double x) { return x; }, sink);
}

} // namespace lyrane
