#pragma once

#include <QList>
#include <QtGlobal>

namespace lyrane {

// Where a narration clip sounds on the mix timeline, in samples: [start, end).
struct SampleSpan {
    qint64 start = 0;
    qint64 end = 0;
};

// One stretch of the timeline where the programme is lowered: the gain falls over
// [rampDownStart, holdStart), stays down over [holdStart, holdEnd) and returns over
// [holdEnd, rampUpEnd).
struct DuckRegion {
    qint64 rampDownStart = 0;
    qint64 holdStart = 0;
    qint64 holdEnd = 0;
    qint64 rampUpEnd = 0;
};

// The regions for a set of clips: each clip is reached `attack` samples before it starts and
// released over `release` samples after it ends; clips closer together than attack + release
// share one region, so the programme stays down between them. Empty clips are ignored.
QList<DuckRegion> planDuckRegions(QList<SampleSpan> clips, qint64 attack, qint64 release);

// Linear gain of `db` decibels of attenuation (10 -> 0.316...).
double duckGainFromDb(double db);

// Gain of the programme at each sample: 1 outside the regions, `duckGain` inside, joined by
// raised-cosine ramps whose slope is zero at both ends, so the level never steps.
class DuckingEnvelope {
public:
    DuckingEnvelope(QList<DuckRegion> regions, double duckGain);

    double gainAt(qint64 sample) const;
    // gains[i] = gainAt(start + i); fastest when called with increasing `start`.
    void fill(qint64 start, double* gains, qint64 count);

private:
    QList<DuckRegion> regions;
    double duckGain = 1.0;
    qsizetype cursor = 0; // first region that may still matter for the next fill()
};

} // namespace lyrane
