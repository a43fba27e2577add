#pragma once

// The whole-timeline reference the streamed writers are compared with: every clip held in
// memory, mixed by adding, normalized, and written in one go.

#include "audio/audio_error.h"
#include "audio/mp3_codec.h"
#include "audio/resampling.h"
#include "audio/timeline_plan.h"
#include "audio/timeline_render.h"
#include "audio/wav_file.h"

#include <QObject>

#include <optional>

namespace lyrane {

using audio_detail::setError;

// Clips at the timeline's rate: same-rate clips are shared, others resampled.
inline std::optional<QList<AudioBuffer>> conformRates(const QList<AudioBuffer>& segments, int rate,
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

inline bool renderClips(const QList<AudioBuffer>& clips, const TimelinePlan& plan,
                        const Pcm16Sink& sink) {
    QList<qint64> lengths;
    lengths.reserve(clips.size());
    for (const AudioBuffer& clip : clips) {
        lengths.append(clip.samples.size());
    }
    return renderTimeline(
        lengths, [&clips](qsizetype j) { return clips.at(j).samples.constData(); }, peakOf(clips),
        plan, sink);
}

inline bool checkPlan(const QList<AudioBuffer>& segments, const TimelinePlan& plan,
                      QString* error) {
    if (plan.sampleRate <= 0 || plan.startSamples.size() != segments.size()) {
        setError(error, QObject::tr("timeline plan does not match the segments"));
        return false;
    }
    return true;
}

inline std::optional<AudioBuffer> mixSegments(const QList<AudioBuffer>& segments,
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

// The planned timeline written to a file from clips held in memory; the bytes equal writeWav /
// encodeMp3 of the mixSegments result.
inline bool writeTimelineWav(const QList<AudioBuffer>& segments, const TimelinePlan& plan,
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

inline bool writeTimelineMp3(const QList<AudioBuffer>& segments, const TimelinePlan& plan,
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
        [&](const Pcm16Sink& encode) { return renderClips(*clips, plan, encode); }, error);
}

} // namespace lyrane
