#include "runs/dialogue_fit.h"

#include <algorithm>
#include <cmath>

namespace lyrane {

namespace {

// The first dialogue span that ends after `timeMs`.
qsizetype firstEndingAfter(const QList<TimeSpan>& dialogue, qint64 timeMs) {
    const auto it =
        std::upper_bound(dialogue.cbegin(), dialogue.cend(), timeMs,
                         [](qint64 time, const TimeSpan& span) { return time < span.endMs; });
    return it - dialogue.cbegin();
}

// How much of [start, end) is dialogue, and where it first is.
void measureCover(const QList<TimeSpan>& dialogue, qint64 start, qint64 end, DescriptionFit* fit) {
    fit->coveredMs = 0;
    for (qsizetype k = firstEndingAfter(dialogue, start);
         k < dialogue.size() && dialogue[k].startMs < end; ++k) {
        const qint64 from = std::max(start, dialogue[k].startMs);
        if (fit->coveredMs == 0) {
            fit->coveredFromMs = from;
        }
        fit->coveredMs += std::min(end, dialogue[k].endMs) - from;
    }
}

DescriptionFit fitOne(const QList<TimeSpan>& dialogue, const DescriptionToFit& description,
                      qint64 earliest, const FitLimits& limits) {
    DescriptionFit fit;
    fit.lengthMs = description.lengthMs;
    if (description.lengthMs <= 0) {
        fit.startMs = earliest;
        fit.outcome = earliest == description.cueStartMs ? FitOutcome::AtCue : FitOutcome::Shifted;
        return fit;
    }
    const qint64 latest = description.cueStartMs + limits.maxShiftMs;
    // Walk from gap to gap until the description fits in one or the shift runs out.
    qint64 start = earliest;
    for (qsizetype k = firstEndingAfter(dialogue, start); start <= latest; ++k) {
        if (k >= dialogue.size() || dialogue[k].startMs >= start + description.lengthMs) {
            fit.outcome = start == description.cueStartMs ? FitOutcome::AtCue : FitOutcome::Shifted;
            fit.startMs = start;
            return fit;
        }
        start = std::max(start, dialogue[k].endMs);
    }
    fit.startMs = earliest;
    const TimeSpan gap = gapAt(dialogue, earliest);
    if (limits.maxSpeedUp > 1.0 && gap.endMs >= 0 && gap.endMs > earliest) {
        const qint64 room = gap.endMs - earliest;
        const double speedUp = double(description.lengthMs) / double(room);
        if (speedUp <= limits.maxSpeedUp) {
            fit.outcome = FitOutcome::SpedUp;
            fit.speedUp = speedUp;
            fit.lengthMs = room;
            return fit;
        }
    }
    measureCover(dialogue, earliest, earliest + description.lengthMs, &fit);
    if (!limits.holdPoint) {
        fit.outcome = FitOutcome::CoversDialogue;
        return fit;
    }
    // Inside dialogue it waits for the dialogue's end when the shift allows, so that the
    // programme stops in a gap rather than mid-line.
    const qsizetype k = firstEndingAfter(dialogue, earliest);
    if (k < dialogue.size() && dialogue[k].startMs <= earliest && dialogue[k].endMs <= latest) {
        fit.startMs = dialogue[k].endMs;
        measureCover(dialogue, fit.startMs, fit.startMs + description.lengthMs, &fit);
    }
    fit.outcome = FitOutcome::Paused;
    fit.pauseAtMs = std::min(limits.holdPoint(fit.coveredFromMs), fit.coveredFromMs);
    fit.pauseMs = fit.startMs + description.lengthMs - fit.pauseAtMs;
    fit.coveredMs = 0;
    return fit;
}

} // namespace

QList<TimeSpan> mergedSpans(QList<TimeSpan> spans) {
    std::sort(spans.begin(), spans.end(),
              [](const TimeSpan& a, const TimeSpan& b) { return a.startMs < b.startMs; });
    QList<TimeSpan> merged;
    for (const TimeSpan& span : std::as_const(spans)) {
        if (span.endMs <= span.startMs) {
            continue;
        }
        if (!merged.isEmpty() && span.startMs <= merged.last().endMs) {
            merged.last().endMs = std::max(merged.last().endMs, span.endMs);
        } else {
            merged.append(span);
        }
    }
    return merged;
}

QList<DescriptionFit> fitDescriptions(const QList<TimeSpan>& dialogue,
                                      const QList<DescriptionToFit>& descriptions,
                                      const FitLimits& limits) {
    QList<DescriptionFit> fits;
    fits.reserve(descriptions.size());
    qint64 previousEnd = 0;
    for (const DescriptionToFit& description : descriptions) {
        const qint64 earliest = std::max(description.cueStartMs, previousEnd);
        fits.append(fitOne(dialogue, description, earliest, limits));
        // A paused programme goes on where it stopped, as the description ends.
        previousEnd = fits.last().outcome == FitOutcome::Paused
                          ? fits.last().pauseAtMs
                          : fits.last().startMs + fits.last().lengthMs;
    }
    return fits;
}

TimeSpan gapAt(const QList<TimeSpan>& dialogue, qint64 timeMs) {
    const qsizetype k = firstEndingAfter(dialogue, timeMs);
    if (k < dialogue.size() && dialogue[k].startMs <= timeMs) {
        return {timeMs, timeMs};
    }
    return {k > 0 ? dialogue[k - 1].endMs : 0, k < dialogue.size() ? dialogue[k].startMs : -1};
}

} // namespace lyrane
