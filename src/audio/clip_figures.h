#pragma once

#include <QList>
#include <QtGlobal>

namespace lyrane {

// What the first pass of a timeline learns of one prepared clip besides its length: enough to
// tell a clip that looks wrong without decoding it again.
struct ClipFigures {
    double peak = 0.0;              // largest sample magnitude
    qint64 fullScaleSamples = 0;    // samples at full scale: the answer was clipped
    qint64 speechSamples = 0;       // from the first sound to the last
    qint64 longestPauseSamples = 0; // the longest silence between the first and the last sound
    QList<float> envelope;          // RMS of each kEnvelopeBlockMs, from the clip's start
};

constexpr int kEnvelopeBlockMs = 100;

// Measures a clip at `rate` in 10 ms windows: a window whose peak stays under -40 dBFS is
// silence.
ClipFigures measureClip(const QList<double>& samples, int rate);
// The same figures, equal to the last bit, of a clip held as 16-bit values (each sample
// value / 32768), measured in integers without making its samples.
ClipFigures measurePcm16Clip(const qint16* values, qint64 count, int rate);

} // namespace lyrane
