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

// Clips at the timeline's rate: same-rate clips are shared, others resampled.
std::optional<QList<AudioBuffer>> conformRates(const QList<AudioBuffer>& segments, int rate,
                                               QString* error) {
    QList<AudioBuffer> result;
    result.reserve(segments.size());
    for (const AudioBuffer& clip : segments) {
        if (clip.sampleRate == rate || clip.samples.isEmpty()) {
            result.append(clip);
            continue;
        }
        auto converted = resample(clip, rate, error);
        if (!converted) {
            return std::nullopt;
        }
        result.append(std::move(*converted));
    }
    return result;
}

bool renderClips(const QList<AudioBuffer>& clips, const TimelinePlan& plan, const Pcm16Sink& sink) {
    QList<qint64> lengths;
    lengths.reserve(clips.size());
    for (const AudioBuffer& clip : clips) {
        lengths.append(clip.samples.size());
    }
    return renderTimeline(
        lengths, [&clips](qsizetype j) { return clips.at(j).samples.constData(); }, peakOf(clips),
        plan, sink);
}

bool checkPlan(const QList<AudioBuffer>& segments, const TimelinePlan& plan, QString* error) {
    if (plan.sampleRate <= 0 || plan.startSamples.size() != segments.size()) {
        setError(error, QObject::tr("timeline plan does not match the segments"));
        return false;
    }
    return true;
}

} // namespace

std::optional<AudioBuffer> mixSegments(const QList<AudioBuffer>& segments,
                                       const QList<qint64>& startTimesMs,
                                       const QList<qint64>& endTimesMs, qint64 durationMs,
                                       qint64 paddingMs, QList<ClipPlacement>* placements,
                                       QString* error) {
    const std::optional<TimelinePlan> plan = planTimeline(
        segments, startTimesMs, endTimesMs, durationMs, paddingMs, error, nullptr, placements);
    if (!plan) {
        return std::nullopt;
    }
    const auto clips = conformRates(segments, plan->sampleRate, error);
    if (!clips) {
        return std::nullopt;
    }
    AudioBuffer output;
    output.sampleRate = plan->sampleRate;
    output.samples.fill(0.0, qMax<qint64>(plan->totalSamples, 0));
    double* out = output.samples.data();
    for (qsizetype i = 0; i < clips->size(); ++i) {
        const QList<double>& samples = clips->at(i).samples;
        double* target = out + plan->startSamples.at(i);
        for (qsizetype k = 0; k < samples.size(); ++k) {
            target[k] += samples.at(k);
        }
    }
    if (placements) {
        placements->append(plan->placements);
    }
    normalize(output);
    return output;
}

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

bool writeTimelineWav(const QList<AudioBuffer>& segments, const TimelinePlan& plan,
                      const QString& path, QString* error) {
    if (!checkPlan(segments, plan, error)) {
        return false;
    }
    const auto clips = conformRates(segments, plan.sampleRate, error);
    if (!clips) {
        return false;
    }
    return writeWavFile(
        qMax<qint64>(plan.totalSamples, 0), plan.sampleRate, path,
        [&](const Pcm16Sink& write) { return renderClips(*clips, plan, write); }, error);
}

bool writeTimelineMp3(const QList<AudioBuffer>& segments, const TimelinePlan& plan,
                      const QString& path, QString* error) {
    if (!checkPlan(segments, plan, error)) {
        return false;
    }
    const auto clips = conformRates(segments, plan.sampleRate, error);
    if (!clips) {
        return false;
    }
    return writeMp3File(
        plan.sampleRate, kMp3BitRate, path,
        [&](Mp3Encoder& encoder, const PacketSink& sink) {
            return renderClips(*clips, plan, [&](const qint16* samples, qint64 count) {
                return encoder.write(samples, count, sink);
            });
        },
        error);
}

} // namespace lyrane
