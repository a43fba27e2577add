#include "audio/clip_figures.h"

#include <algorithm>
#include <cmath>

namespace lyrane {

namespace {

constexpr double kSilence = 0.01;         // -40 dBFS
constexpr qint32 kFullScalePcm16 = 32766; // 16-bit full scale, less a step of dither
constexpr double kFullScale = kFullScalePcm16 / 32768.0;
constexpr double kPcm16Step = 1.0 / 32768.0;
constexpr double kPcm16Square = kPcm16Step * kPcm16Step;

// Samples taken side by side: independent lanes the compiler keeps in vector registers. A
// fixed count, so that it vectorises even where it would not add a scalar tail loop.
constexpr int kLanes = 8;

// What a stretch of samples inside one window adds to that window.
struct Stretch {
    double peak = 0.0;
    qint64 fullScale = 0;
};

// A 16-bit clip's squares are whole multiples of 2^-30 and a block's sum stays far below
// 2^53 of them, so summing them in integers, in any order, gives the very double the samples
// summed one by one give.
Stretch measurePcm16Stretch(const qint16* values, qint64 count, double& energy) {
    qint32 peak[kLanes] = {};
    qint32 fullScale[kLanes] = {};
    quint64 squares[kLanes / 2] = {};
    qint64 i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        quint32 square[kLanes];
        for (int k = 0; k < kLanes; ++k) {
            const qint32 value = values[i + k];
            const qint32 magnitude = value < 0 ? -value : value;
            peak[k] = peak[k] < magnitude ? magnitude : peak[k];
            fullScale[k] += magnitude >= kFullScalePcm16 ? 1 : 0;
            square[k] = quint32(value * value);
        }
        // Two squares of at most 2^30 each still fit 32 bits.
        for (int k = 0; k < kLanes / 2; ++k) {
            squares[k] += square[k] + square[k + kLanes / 2];
        }
    }
    qint32 largest = 0;
    qint64 full = 0;
    quint64 sum = 0;
    for (int k = 0; k < kLanes; ++k) {
        largest = std::max(largest, peak[k]);
        full += fullScale[k];
    }
    for (int k = 0; k < kLanes / 2; ++k) {
        sum += squares[k];
    }
    for (; i < count; ++i) {
        const qint32 value = values[i];
        const qint32 magnitude = value < 0 ? -value : value;
        largest = std::max(largest, magnitude);
        full += magnitude >= kFullScalePcm16 ? 1 : 0;
        sum += quint64(quint32(value * value));
    }
    energy += double(sum) * kPcm16Square;
    return {double(largest) * kPcm16Step, full};
}

Stretch measureStretch(const double* samples, qint64 count, double& energy) {
    double peak[kLanes] = {};
    qint64 fullScale[kLanes] = {};
    qint64 i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        for (int k = 0; k < kLanes; ++k) {
            const double magnitude = std::fabs(samples[i + k]);
            peak[k] = peak[k] < magnitude ? magnitude : peak[k];
            fullScale[k] += magnitude >= kFullScale ? 1 : 0;
        }
    }
    Stretch stretch;
    for (int k = 0; k < kLanes; ++k) {
        stretch.peak = std::max(stretch.peak, peak[k]);
        stretch.fullScale += fullScale[k];
    }
    for (; i < count; ++i) {
        const double magnitude = std::fabs(samples[i]);
        stretch.peak = std::max(stretch.peak, magnitude);
        stretch.fullScale += magnitude >= kFullScale ? 1 : 0;
    }
    // One by one, in order: these squares round, and the envelope keeps its last bit.
    for (qint64 j = 0; j < count; ++j) {
        energy += samples[j] * samples[j];
    }
    return stretch;
}

// Walks `count` samples in 10 ms windows and envelope blocks, which need not line up:
// `measure(from, to, energy)` measures samples [from, to), inside one window and one block,
// adding their squares to the block's `energy`.
template <typename Measure>
ClipFigures measureWindows(qint64 count, int rate, const Measure& measure) {
    ClipFigures figures;
    const qint64 window = std::max(1, rate / 100);
    const qint64 block = std::max(1, rate * kEnvelopeBlockMs / 1000);
    figures.envelope.reserve((count + block - 1) / block);
    qint64 firstSound = -1;
    qint64 lastSoundEnd = -1;
    qint64 silentSince = -1; // start of the current silence after some sound
    qint64 blockStart = 0;
    qint64 blockEnd = std::min(count, block);
    double blockEnergy = 0.0;
    for (qint64 start = 0; start < count; start += window) {
        const qint64 end = std::min(count, start + window);
        Stretch inWindow;
        for (qint64 from = start; from < end;) {
            const qint64 to = std::min(end, blockEnd);
            const Stretch stretch = measure(from, to, blockEnergy);
            inWindow.peak = std::max(inWindow.peak, stretch.peak);
            inWindow.fullScale += stretch.fullScale;
            if (to == blockEnd) {
                figures.envelope.append(
                    float(std::sqrt(blockEnergy / double(blockEnd - blockStart))));
                blockEnergy = 0.0;
                blockStart = blockEnd;
                blockEnd = std::min(count, blockEnd + block);
            }
            from = to;
        }
        figures.peak = std::max(figures.peak, inWindow.peak);
        figures.fullScaleSamples += inWindow.fullScale;
        if (inWindow.peak < kSilence) {
            if (firstSound >= 0 && silentSince < 0) {
                silentSince = start;
            }
            continue;
        }
        if (firstSound < 0) {
            firstSound = start;
        } else if (silentSince >= 0) {
            figures.longestPauseSamples =
                std::max(figures.longestPauseSamples, start - silentSince);
        }
        silentSince = -1;
        lastSoundEnd = end;
    }
    figures.speechSamples = firstSound >= 0 ? lastSoundEnd - firstSound : 0;
    return figures;
}

} // namespace

ClipFigures measureClip(const QList<double>& samples, int rate) {
    const double* s = samples.constData();
    return measureWindows(samples.size(), rate, [s](qint64 from, qint64 to, double& energy) {
        return measureStretch(s + from, to - from, energy);
    });
}

ClipFigures measurePcm16Clip(const qint16* values, qint64 count, int rate) {
    return measureWindows(count, rate, [values](qint64 from, qint64 to, double& energy) {
        return measurePcm16Stretch(values + from, to - from, energy);
    });
}

} // namespace lyrane
