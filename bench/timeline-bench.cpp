// Renders a generated long narration timeline to WAV and MP3 through the streamed
// path and prints wall time and peak RSS for each step.
// Built and run by bench/timeline-bench.sh.
#include "audio/audio_buffer.h"
#include "audio/clip_loading.h"
#include "audio/mp3_codec.h"
#include "audio/resampling.h"
#include "audio/time_stretch.h"
#include "audio/timeline_plan.h"
#include "audio/timeline_reference.h"
#include "audio/timeline_render.h"
#include "audio/wav_file.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>

#include <sys/resource.h>

#include <cmath>
#include <cstdio>

using namespace lyrane;

namespace {

long peakRssMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

void report(const char* step, const QElapsedTimer& timer) {
    std::printf("%-28s %8.2f s   peak RSS %6ld MiB\n", step, timer.elapsed() / 1000.0,
                peakRssMiB());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: timeline-bench OUTPUT_DIR [CLIPS] [--mix]\n");
        return 2;
    }
    const QString dir = args.at(1);
    const int clipCount = args.size() > 2 ? args.at(2).toInt() : 1500;
    const bool compareMix = args.contains(QStringLiteral("--mix"));
    constexpr int rate = 44100;
    constexpr qint64 cueSpacingMs = 4800; // 1500 cues span two hours

    QElapsedTimer timer;
    timer.start();
    QList<AudioBuffer> clips;
    QList<qint64> starts;
    QList<qint64> ends;
    clips.reserve(clipCount);
    for (int i = 0; i < clipCount; ++i) {
        // Speech-length clips, some running past their cue so the pause rule is exercised.
        const double seconds = 3.0 + (i % 7) * 0.3;
        const double frequency = 180.0 + (i % 11) * 20.0;
        AudioBuffer clip;
        clip.sampleRate = rate;
        const qsizetype n = qsizetype(seconds * rate);
        clip.samples.resize(n);
        const double step = 2.0 * M_PI * frequency / rate;
        for (qsizetype k = 0; k < n; ++k) {
            clip.samples[k] = 0.6 * std::sin(step * double(k)) * (1.0 - double(k) / double(n));
        }
        clips.append(std::move(clip));
        starts.append(i * cueSpacingMs);
        ends.append(i * cueSpacingMs + 3500);
    }
    const qint64 durationMs = ends.last() + 2000;
    report("generate clips", timer);

    QString error;
    timer.restart();
    const auto plan = planTimeline(clips, starts, ends, durationMs, 0, &error);
    if (!plan) {
        std::fprintf(stderr, "plan failed: %s\n", qPrintable(error));
        return 1;
    }
    report("planTimeline", timer);
    std::printf("timeline: %d clips, %.1f min, %lld samples\n", clipCount,
                plan->totalSamples / double(rate) / 60.0,
                static_cast<long long>(plan->totalSamples));

    const QString wav = dir + QStringLiteral("/timeline.wav");
    timer.restart();
    if (!writeTimelineWav(clips, *plan, wav, &error)) {
        std::fprintf(stderr, "WAV failed: %s\n", qPrintable(error));
        return 1;
    }
    report("writeTimelineWav", timer);

    const QString mp3 = dir + QStringLiteral("/timeline.mp3");
    timer.restart();
    if (!writeTimelineMp3(clips, *plan, mp3, &error)) {
        std::fprintf(stderr, "MP3 failed: %s\n", qPrintable(error));
        return 1;
    }
    report("writeTimelineMp3", timer);
    std::printf("files: %s (%lld bytes), %s (%lld bytes)\n", qPrintable(wav),
                static_cast<long long>(QFileInfo(wav).size()), qPrintable(mp3),
                static_cast<long long>(QFileInfo(mp3).size()));

    if (compareMix) {
        timer.restart();
        const auto mix = mixSegments(clips, starts, ends, durationMs, 0, nullptr, &error);
        if (!mix || !writeWav(*mix, dir + QStringLiteral("/mixed.wav"), &error)) {
            std::fprintf(stderr, "mix failed: %s\n", qPrintable(error));
            return 1;
        }
        report("mixSegments + writeWav", timer);
    }
    return 0;
}
