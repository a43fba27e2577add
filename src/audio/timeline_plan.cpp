#include "audio/timeline_plan.h"
#include "audio/audio_error.h"
#include "audio/resampling.h"

#include <QObject>

#include <algorithm>
#include <functional>

namespace lyrane {

using audio_detail::setError;

namespace {

// Fills plan clip by clip, so on failure it holds the placements of the clips that fitted.
// lengthAt(i) is clip i's length in samples at rate r. Placement does not depend on the
// output's length, so after a clip past the end the rest are still placed to learn how much
// padding all of them need.
bool planLengths(qsizetype count, qint64 r, const std::function<qint64(qsizetype)>& lengthAt,
                 const QList<qint64>& startTimesMs, const QList<qint64>& endTimesMs,
                 qint64 durationMs, qint64 paddingMs, TimelinePlan& plan, QString* error,
                 TimelinePlanFailure* failure) {
    plan.sampleRate = static_cast<int>(r);
    plan.totalSamples = ((durationMs + paddingMs) * r) / 1000;
    const qint64 total = plan.totalSamples;
    plan.startSamples.reserve(count);
    plan.placements.reserve(count);
    qint64 cursor = 0;
    bool fits = true;
    qint64 samplesNeeded = 0; // the output length with which every clip fits
    for (qsizetype i = 0; i < count; ++i) {
        const qint64 len = lengthAt(i);
        const qint64 desired = (startTimesMs.at(i) * r) / 1000;
        qint64 pos = desired;
        if (desired < cursor) {
            if (i > 0) {
                const qint64 gap = startTimesMs.at(i) - endTimesMs.at(i - 1);
                if (gap > 0) {
                    cursor += (gap * r) / 5000;
                }
            }
            pos = cursor;
        }
        const qint64 end = pos + len;
        cursor = end;
        samplesNeeded = std::max(samplesNeeded, std::max(pos + 1, end));
        if (!fits) {
            continue;
        }
        const qint64 extra = ((pos + len - total) * 1000) / r + 500;
        if (pos >= total) {
            setError(error, QObject::tr("segment %1 would exceed output duration. Need "
                                        "approximately %2 ms of additional padding. Current "
                                        "padding: %3 ms, Total needed: %4 ms")
                                .arg(i + 1)
                                .arg(extra)
                                .arg(paddingMs)
                                .arg(paddingMs + extra));
            fits = false;
            continue;
        }
        if (end > total) {
            setError(error, QObject::tr("segment %1 exceeds output duration while mixing. Need "
                                        "approximately %2 ms of additional padding. Current "
                                        "padding: %3 ms, Total needed: %4 ms")
                                .arg(i + 1)
                                .arg(extra)
                                .arg(paddingMs)
                                .arg(paddingMs + extra));
            fits = false;
            continue;
        }
        plan.startSamples.append(pos);
        plan.placements.append({startTimesMs.at(i), (pos * 1000) / r, (end * 1000) / r});
    }
    if (!fits && failure) {
        // floor((durationMs + padding) * r / 1000) >= samplesNeeded
        const qint64 msNeeded = (samplesNeeded * 1000 + r - 1) / r;
        failure->kind = TimelinePlanFailure::Kind::ClipPastEnd;
        failure->paddingNeededMs = std::max<qint64>(0, msNeeded - durationMs);
    }
    return fits;
}

bool checkPlanInput(qsizetype count, qint64 firstRate, const QList<qint64>& startTimesMs,
                    const QList<qint64>& endTimesMs, QString* error, TimelinePlanFailure* failure) {
    if (failure) {
        *failure = TimelinePlanFailure{};
    }
    if (startTimesMs.size() != count || endTimesMs.size() != count) {
        setError(error, QObject::tr("segment count mismatch"));
        return false;
    }
    if (count == 0) {
        setError(error, QObject::tr("no segments to mix"));
        return false;
    }
    if (firstRate <= 0) {
        setError(error, QObject::tr("invalid sample rate of the first segment: %1").arg(firstRate));
        return false;
    }
    return true;
}

} // namespace

std::optional<TimelinePlan>
planTimeline(const QList<AudioBuffer>& segments, const QList<qint64>& startTimesMs,
             const QList<qint64>& endTimesMs, qint64 durationMs, qint64 paddingMs, QString* error,
             TimelinePlanFailure* failure, QList<ClipPlacement>* partial) {
    const qint64 r = segments.isEmpty() ? 0 : segments.first().sampleRate;
    if (!checkPlanInput(segments.size(), r, startTimesMs, endTimesMs, error, failure)) {
        return std::nullopt;
    }
    const auto lengthAt = [&segments, r](qsizetype i) -> qint64 {
        const AudioBuffer& clip = segments.at(i);
        return clip.samples.isEmpty()
                   ? 0
                   : resampledLength(clip.samples.size(), clip.sampleRate, int(r));
    };
    TimelinePlan plan;
    if (!planLengths(segments.size(), r, lengthAt, startTimesMs, endTimesMs, durationMs, paddingMs,
                     plan, error, failure)) {
        if (partial) {
            partial->append(plan.placements);
        }
        return std::nullopt;
    }
    return plan;
}

std::optional<TimelinePlan> planTimelineFromLengths(const QList<qint64>& lengths, int sampleRate,
                                                    const QList<qint64>& startTimesMs,
                                                    const QList<qint64>& endTimesMs,
                                                    qint64 durationMs, qint64 paddingMs,
                                                    QString* error, TimelinePlanFailure* failure) {
    if (!checkPlanInput(lengths.size(), sampleRate, startTimesMs, endTimesMs, error, failure)) {
        return std::nullopt;
    }
    TimelinePlan plan;
    if (!planLengths(
            lengths.size(), sampleRate, [&lengths](qsizetype i) { return lengths.at(i); },
            startTimesMs, endTimesMs, durationMs, paddingMs, plan, error, failure)) {
        return std::nullopt;
    }
    return plan;
}

} // namespace lyrane
