// Fits generated descriptions against generated dialogue and prints the time the fitting took.
// Usage: dialogue-fit-bench [DESCRIPTIONS] [DIALOGUE CUES]
#include "runs/dialogue_fit.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

using namespace lyrane;

int main(int argc, char** argv) {
    const qint64 descriptions = argc > 1 ? std::atoll(argv[1]) : 1500;
    const qint64 cues = argc > 2 ? std::atoll(argv[2]) : 3000;
    // Two hours of dialogue: lines of 1 to 4 s with pauses of 0.3 to 2.5 s between them.
    QList<TimeSpan> dialogue;
    qint64 at = 0;
    for (qint64 k = 0; k < cues; ++k) {
        const qint64 line = 1000 + (k * 7919) % 3000;
        dialogue.append({at, at + line});
        at += line + 300 + (k * 104729) % 2200;
    }
    QList<DescriptionToFit> clips;
    for (qint64 k = 0; k < descriptions; ++k) {
        clips.append({k * at / descriptions, 1500 + (k * 31) % 2500});
    }
    const auto start = std::chrono::steady_clock::now();
    const QList<TimeSpan> merged = mergedSpans(dialogue);
    const QList<DescriptionFit> fits = fitDescriptions(merged, clips, FitLimits{2000, 1.5});
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    int outcomes[4] = {0, 0, 0, 0};
    for (const DescriptionFit& fit : fits) {
        ++outcomes[int(fit.outcome)];
    }
    std::printf("%lld descriptions against %lld dialogue cues (%.1f min): %.3f ms\n", descriptions,
                cues, double(at) / 60000.0, ms);
    std::printf("at cue %d, shifted %d, sped up %d, over dialogue %d\n", outcomes[0], outcomes[1],
                outcomes[2], outcomes[3]);
    return 0;
}
