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

} // namespace

bool renderTimeline(const QList<qint64>& lengths, const ClipSamples& samplesOf, double peak,
                    const TimelinePlan& plan, const Pcm16Sink& sink) {
    return renderTimeline(lengths, samplesOf, OutputLevel::normalizedFromPeak(peak), plan, sink);
}

bool renderTimeline(const QList<qint64>& lengths, const ClipSamples& samplesOf,
                    const OutputLevel& level, const TimelinePlan& plan, const Pcm16Sink& sink) {
    const double peak = level.peak;
    const bool scale = !level.byGain && peak > 1.0;
    const double gain = level.gain;
    const qint64 total = qMax<qint64>(plan.totalSamples, 0);
    std::vector<qint16> chunk(static_cast<size_t>(kRenderChunk));
    qsizetype first = 0;
    for (qint64 a = 0; a < total; a += kRenderChunk) {
        const qint64 b = qMin(a + kRenderChunk, total);
        std::fill(chunk.begin(), chunk.begin() + (b - a), qint16(0));
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
            qint16* out = chunk.data() + (from - a);
            if (level.byGain) {
                for (qint64 t = 0; t < to - from; ++t) {
                    out[t] = toPcm16(in[t] * gain);
                }
            } else if (scale) {
                for (qint64 t = 0; t < to - from; ++t) {
                    out[t] = toPcm16(in[t] / peak);
                }
            } else {
                for (qint64 t = 0; t < to - from; ++t) {
                    out[t] = toPcm16(in[t]);
                }
            }
        }
        if (!sink(chunk.data(), b - a)) {
            return false;
        }
    }
    return true;
}

} // namespace lyrane
