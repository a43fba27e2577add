#include "audio/timeline_render.h"
#include "audio/audio_error.h"
#include "audio/mp3_codec.h"
#include "audio/resampling.h"

#include <QObject>

#include <algorithm>
#include <cstring>
#include <vector>

namespace lyrane {

using audio_detail::setError;

namespace {

constexpr qint64 kRenderChunk = 1 << 16;

// Renders `spans` chunk by chunk, each output sample `convert`ed from its clip sample at the
// level; `sink` learns where each chunk belongs.
template <typename Sample, typename Convert, typename Sink>
bool renderSpans(const QList<qint64>& lengths, const ClipSamples& samplesOf,
                 const OutputLevel& level, const TimelinePlan& plan, const QList<SampleSpan>& spans,
                 Convert convert, const Sink& sink) {
    const double peak = level.peak;
    const bool scale = !level.byGain && peak > 1.0;
    const double gain = level.gain;
    std::vector<Sample> chunk(static_cast<size_t>(kRenderChunk));
    qsizetype first = 0;
    for (const SampleSpan& span : spans) {
        for (qint64 a = span.start; a < span.end; a += kRenderChunk) {
            const qint64 b = qMin(a + kRenderChunk, span.end);
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
            if (!sink(a, chunk.data(), b - a)) {
                return false;
            }
        }
    }
    return true;
}

QList<SampleSpan> wholeTimeline(const TimelinePlan& plan) {
    return {{0, qMax<qint64>(plan.totalSamples, 0)}};
}

} // namespace

bool renderTimeline(const QList<qint64>& lengths, const ClipSamples& samplesOf, double peak,
                    const TimelinePlan& plan, const Pcm16Sink& sink) {
    return renderTimeline(lengths, samplesOf, OutputLevel::normalizedFromPeak(peak), plan, sink);
}

bool renderTimeline(const QList<qint64>& lengths, const ClipSamples& samplesOf,
                    const OutputLevel& level, const TimelinePlan& plan, const Pcm16Sink& sink) {
    return renderSpans<qint16>(
        lengths, samplesOf, level, plan, wholeTimeline(plan), toPcm16,
        [&sink](qint64, const qint16* samples, qint64 count) { return sink(samples, count); });
}

bool renderTimelineSamples(const QList<qint64>& lengths, const ClipSamples& samplesOf,
                           const OutputLevel& level, const TimelinePlan& plan,
                           const SampleSink& sink) {
    return renderSpans<double>(
        lengths, samplesOf, level, plan, wholeTimeline(plan), [](double x) { return x; },
        [&sink](qint64, const double* samples, qint64 count) { return sink(samples, count); });
}

bool renderTimelineSpans(const QList<qint64>& lengths, const ClipSamples& samplesOf,
                         const OutputLevel& level, const TimelinePlan& plan,
                         const QList<SampleSpan>& spans, const PlacedPcm16Sink& sink) {
    return renderSpans<qint16>(lengths, samplesOf, level, plan, spans, toPcm16, sink);
}

QString outputLevelText(const OutputLevel& level) {
    const auto bits = [](double value) {
        quint64 pattern = 0;
        std::memcpy(&pattern, &value, sizeof pattern);
        return QString::number(pattern, 16);
    };
    if (level.byGain) {
        return QStringLiteral("gain ") + bits(level.gain);
    }
    return level.peak > 1.0 ? QStringLiteral("peak ") + bits(level.peak) : QStringLiteral("unity");
}

} // namespace lyrane
