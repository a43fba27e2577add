#include "audio/clip_figures.h"

#include <algorithm>
#include <cmath>

namespace lyrane {

namespace {

constexpr double kSilence = 0.01;                // -40 dBFS
constexpr double kFullScale = 32766.0 / 32768.0; // 16-bit full scale, less a step of dither

} // namespace

ClipFigures measureClip(const QList<double>& samples, int rate) {
    ClipFigures figures;
    const qsizetype window = std::max(1, rate / 100);
    qsizetype firstSound = -1;
    qsizetype lastSoundEnd = -1;
    qsizetype silentSince = -1; // start of the current silence after some sound
    const qsizetype block = std::max(1, rate * kEnvelopeBlockMs / 1000);
    figures.envelope.reserve((samples.size() + block - 1) / block);
    double blockEnergy = 0.0;
    for (qsizetype start = 0; start < samples.size(); start += window) {
        const qsizetype end = std::min(samples.size(), start + window);
        double windowPeak = 0.0;
        for (qsizetype i = start; i < end; ++i) {
            const double magnitude = std::fabs(samples[i]);
            windowPeak = std::max(windowPeak, magnitude);
            figures.fullScaleSamples += magnitude >= kFullScale ? 1 : 0;
            blockEnergy += samples[i] * samples[i];
            if ((i + 1) % block == 0 || i + 1 == samples.size()) {
                const qsizetype length = i % block + 1;
                figures.envelope.append(float(std::sqrt(blockEnergy / double(length))));
                blockEnergy = 0.0;
            }
        }
        figures.peak = std::max(figures.peak, windowPeak);
        if (windowPeak < kSilence) {
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

} // namespace lyrane
