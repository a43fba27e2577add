#include "runs/timeline_review.h"

#include "synthesis/cost_estimate.h"

#include <algorithm>
#include <cmath>

namespace lyrane {

QList<CueMeasure> cueMeasures(const TimelinePlan& plan, const QList<double>& speedUps,
                              const QList<ClipFigures>& figures, const QList<Cue>& cues,
                              const QList<ClipJob>& jobs) {
    qint64 fileEndMs = 0;
    for (const Cue& cue : cues) {
        fileEndMs = std::max(fileEndMs, cue.endMs);
    }
    const qsizetype count = std::min({plan.placements.size(), jobs.size(), figures.size()});
    const auto toMs = [&plan](qint64 samples) {
        return plan.sampleRate > 0 ? samples * 1000 / plan.sampleRate : 0;
    };
    QList<CueMeasure> measures;
    measures.reserve(count);
    for (qsizetype i = 0; i < count; ++i) {
        const ClipPlacement& placement = plan.placements[i];
        const double speedUp = i < speedUps.size() ? speedUps[i] : 1.0;
        const qint64 slotEnd = i + 1 < count ? cues[i + 1].startMs : fileEndMs;
        CueMeasure measure;
        measure.delayMs = std::max<qint64>(placement.actualStartMs - placement.desiredStartMs, 0);
        measure.speedUp = speedUp;
        measure.clipMs =
            qint64(std::llround(double(placement.actualEndMs - placement.actualStartMs) * speedUp));
        measure.slotMs = slotEnd - cues[i].startMs;
        measure.characters = billableCharacters(jobs[i].request.text);
        measure.speechMs = qint64(std::llround(double(toMs(figures[i].speechSamples)) * speedUp));
        measure.longestPauseMs =
            qint64(std::llround(double(toMs(figures[i].longestPauseSamples)) * speedUp));
        measure.fullScaleSamples = figures[i].fullScaleSamples;
        measures.append(measure);
    }
    return measures;
}

QList<float> timelineEnvelope(const TimelinePlan& plan, const QList<ClipFigures>& figures) {
    if (plan.sampleRate <= 0) {
        return {};
    }
    const qint64 blockSamples =
        std::max<qint64>(1, qint64(plan.sampleRate) * kEnvelopeBlockMs / 1000);
    std::vector<double> energy(size_t((plan.totalSamples + blockSamples - 1) / blockSamples), 0.0);
    for (qsizetype i = 0; i < figures.size() && i < plan.startSamples.size(); ++i) {
        const qint64 first = plan.startSamples[i] / blockSamples;
        const QList<float>& clip = figures[i].envelope;
        for (qsizetype b = 0; b < clip.size(); ++b) {
            const qint64 at = first + b;
            if (at >= 0 && at < qint64(energy.size())) {
                energy[size_t(at)] += double(clip[b]) * double(clip[b]);
            }
        }
    }
    QList<float> envelope;
    envelope.reserve(qsizetype(energy.size()));
    for (const double e : energy) {
        envelope.append(float(std::sqrt(e)));
    }
    return envelope;
}

} // namespace lyrane
