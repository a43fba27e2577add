#include "audio/ducking_envelope.h"

#include <algorithm>
#include <cmath>

namespace lyrane {

namespace {

// 0 at 0, 1 at 1, zero slope at both ends.
double smoothStep(double x) {
    return 0.5 - 0.5 * std::cos(M_PI * std::clamp(x, 0.0, 1.0));
}

double gainInRegion(const DuckRegion& region, double duckGain, qint64 sample) {
    if (sample < region.rampDownStart || sample >= region.rampUpEnd) {
        return 1.0;
    }
    if (sample < region.holdStart) {
        const double length = double(region.holdStart - region.rampDownStart);
        const double depth = smoothStep(double(sample - region.rampDownStart) / length);
        return 1.0 + (duckGain - 1.0) * depth;
    }
    if (sample < region.holdEnd) {
        return duckGain;
    }
    const double length = double(region.rampUpEnd - region.holdEnd);
    const double rise = smoothStep(double(sample - region.holdEnd) / length);
    return duckGain + (1.0 - duckGain) * rise;
}

} // namespace

QList<DuckRegion> planDuckRegions(QList<SampleSpan> clips, qint64 attack, qint64 release) {
    attack = std::max<qint64>(0, attack);
    release = std::max<qint64>(0, release);
    clips.erase(std::remove_if(clips.begin(), clips.end(),
                               [](const SampleSpan& clip) { return clip.end <= clip.start; }),
                clips.end());
    std::sort(clips.begin(), clips.end(), [](const SampleSpan& a, const SampleSpan& b) {
        return a.start < b.start || (a.start == b.start && a.end < b.end);
    });

    QList<DuckRegion> regions;
    for (const SampleSpan& clip : std::as_const(clips)) {
        if (!regions.isEmpty()) {
            DuckRegion& last = regions.last();
            // A gap shorter than a release plus the next attack never reaches full level;
            // clips that touch or overlap share their hold whatever the ramps.
            if (clip.start <= last.holdEnd || clip.start - last.holdEnd < attack + release) {
                last.holdEnd = std::max(last.holdEnd, clip.end);
                last.rampUpEnd = last.holdEnd + release;
                continue;
            }
        }
        regions.append(DuckRegion{clip.start - attack, clip.start, clip.end, clip.end + release});
    }
    return regions;
}

double duckGainFromDb(double db) {
    return std::pow(10.0, -db / 20.0);
}

DuckingEnvelope::DuckingEnvelope(QList<DuckRegion> regions, double duckGain)
    : regions(std::move(regions)), duckGain(duckGain) {}

double DuckingEnvelope::gainAt(qint64 sample) const {
    const auto after = std::upper_bound(
        regions.cbegin(), regions.cend(), sample,
        [](qint64 value, const DuckRegion& region) { return value < region.rampDownStart; });
    if (after == regions.cbegin()) {
        return 1.0;
    }
    return gainInRegion(*(after - 1), duckGain, sample);
}

void DuckingEnvelope::fill(qint64 start, double* gains, qint64 count) {
    if (cursor > 0 && cursor <= regions.size() && start < regions[cursor - 1].rampUpEnd) {
        cursor = 0; // asked to go back: search from the beginning again
    }
    for (qint64 i = 0; i < count; ++i) {
        const qint64 sample = start + i;
        while (cursor < regions.size() && regions[cursor].rampUpEnd <= sample) {
            ++cursor;
        }
        if (cursor == regions.size() || sample < regions[cursor].rampDownStart) {
            // Nothing ducked until the next region (or ever): a run of full gain.
            const qint64 until = cursor == regions.size()
                                     ? start + count
                                     : std::min(start + count, regions[cursor].rampDownStart);
            std::fill(gains + i, gains + (until - start), 1.0);
            i = until - start - 1;
            continue;
        }
        gains[i] = gainInRegion(regions[cursor], duckGain, sample);
    }
}

} // namespace lyrane
