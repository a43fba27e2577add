#include "runs/timeline_assembly.h"

#include "audio/clip_loading.h"
#include "audio/resampling.h"
#include "audio/streamed_timeline.h"
#include "audio/time_stretch.h"
#include "audio/timeline_plan.h"
#include "audio/timeline_render.h"
#include "cli/console.h"
#include "runs/output_naming.h"

#include <QFileInfo>
#include <QObject>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <thread>
#include <vector>

namespace lyrane {

namespace {

constexpr double kMaxSpeedUp = 1.5;
constexpr int kMaxLoadThreads = 8;

// The slot a clip may fill: up to the next processed cue, the last one up to the timeline's
// end; where that leaves nothing, its own cue.
qint64 slotLengthMs(const QList<qint64>& starts, const QList<qint64>& ends, int index,
                    qint64 durationMs) {
    const qint64 slotEnd = index + 1 < starts.size() ? starts[index + 1] : durationMs;
    const qint64 slot = slotEnd - starts[index];
    return slot > 0 ? slot : ends[index] - starts[index];
}

// Loads every clip, end silence trimmed, and hands clip i to keep(i, clip), from several
// threads at once: reading and converting the files is most of a cached run's time. The
// failure reported is the first in cue order, as with one thread; once a clip has failed no
// further one is started.
bool loadClips(const QList<AudioSegment>& segments,
               const std::function<void(qsizetype, AudioBuffer&)>& keep) {
    const qsizetype count = segments.size();
    std::vector<char> loaded(static_cast<size_t>(count), 0);
    std::vector<QString> errors(static_cast<size_t>(count));
    std::atomic<qsizetype> next{0};
    std::atomic<bool> failed{false};
    const auto work = [&] {
        AudioBuffer clip; // reused while keep() leaves it alone
        while (!failed.load(std::memory_order_relaxed)) {
            const qsizetype i = next.fetch_add(1);
            if (i >= count) {
                return;
            }
            QString error;
            if (!loadTrimmedClip(segments[i].filePath, clip, &error)) {
                errors[size_t(i)] = error;
                failed.store(true);
                return;
            }
            keep(i, clip);
            loaded[size_t(i)] = 1;
        }
    };
    const qsizetype helpers =
        std::min<qsizetype>(std::clamp(QThread::idealThreadCount(), 1, kMaxLoadThreads), count) - 1;
    std::vector<std::thread> threads;
    for (qsizetype t = 0; t < helpers; ++t) {
        threads.emplace_back(work);
    }
    work();
    for (std::thread& thread : threads) {
        thread.join();
    }
    // Indices are claimed in order, so the first clip not loaded is the first that failed.
    for (qsizetype i = 0; i < count; ++i) {
        if (!loaded[size_t(i)]) {
            printError(QObject::tr("Failed to load audio segment %1: %2\n")
                           .arg(segments[i].filePath, errors[size_t(i)]));
            return false;
        }
    }
    return true;
}

// How a planned timeline is measured and written; the clips are either all in memory or
// loaded again one at a time while the file is written.
struct TimelineSource {
    std::function<std::optional<TimelinePlan>(qint64 paddingMs, QString* error,
                                              TimelinePlanFailure* failure)>
        plan;
    std::function<qint64()> speechMs;
    std::function<bool(const TimelinePlan& plan, const QString& path, bool mp3, QString* error)>
        write;
};

// The padding an --autopad run uses: the requested padding when the clips fit without any,
// else enough for all the speech to follow the last cue, or more when late cues and
// collisions push the last clip further than that allows.
std::optional<qint64> autopadMs(const TimelineSource& source, qint64 requestedMs,
                                qint64 durationMs) {
    printError(QObject::tr("Calculating required padding automatically...\n"));
    QString error;
    qint64 paddingMs = requestedMs;
    TimelinePlanFailure failure;
    if (!source.plan(0, &error, &failure)) {
        if (failure.kind != TimelinePlanFailure::Kind::ClipPastEnd) {
            printError(QObject::tr("Failed to calculate padding: %1\n").arg(error));
            return std::nullopt;
        }
        paddingMs = std::max(paddingMs, std::max<qint64>(0, source.speechMs() - durationMs) + 500);
        paddingMs = std::max(paddingMs, failure.paddingNeededMs);
    }
    printError(QObject::tr("Using automatically calculated padding of %1 ms\n").arg(paddingMs));
    return paddingMs;
}

int writeTimeline(const TimelineSettings& settings, const QString& outputFile,
                  const QList<double>& speedUps, qint64 durationMs, const TimelineSource& source,
                  const TimelinePlanned& planned) {
    qint64 paddingMs = settings.paddingMs;
    if (settings.autopad) {
        const std::optional<qint64> padding = autopadMs(source, paddingMs, durationMs);
        if (!padding) {
            return 1;
        }
        paddingMs = *padding;
    }

    printError(QObject::tr("Mixing audio segments...\n"));
    QString error;
    const std::optional<TimelinePlan> plan = source.plan(paddingMs, &error, nullptr);
    if (!plan) {
        printError(QObject::tr("Failed to mix audio: %1\n").arg(error));
        return 1;
    }
    if (planned) {
        planned(*plan, speedUps);
    }
    for (int k = 0; k < plan->placements.size(); ++k) {
        const SegmentPlacement& placement = plan->placements[k];
        printError(QObject::tr("Segment %1: desired %2 ms, actual %3 ms - %4 ms\n")
                       .arg(k + 1)
                       .arg(placement.desiredStartMs)
                       .arg(placement.actualStartMs)
                       .arg(placement.actualEndMs));
        if (speedUps[k] > 1.0) {
            printError(
                QObject::tr("  (sped up by %1x to fit its cue)\n").arg(speedUps[k], 0, 'f', 2));
        }
        if (placement.actualStartMs > placement.desiredStartMs) {
            printError(QObject::tr("  (delayed by %1 ms to avoid collision)\n")
                           .arg(placement.actualStartMs - placement.desiredStartMs));
        }
    }

    const OutputTarget output = outputTarget(outputFile);
    if (output.mp3) {
        if (!source.write(*plan, output.path, true, &error)) {
            printError(QObject::tr("Failed to write MP3 output file: %1\n").arg(error));
            return 1;
        }
        printError(QObject::tr("Created mixed MP3 audio file: %1\n").arg(output.path));
        return 0;
    }
    if (!source.write(*plan, output.path, false, &error)) {
        printError(QObject::tr("Failed to write WAV output file: %1\n").arg(error));
        return 1;
    }
    printError(QObject::tr("Created mixed WAV audio file: %1\n").arg(output.path));
    return 0;
}

// What the first pass keeps of a clip when the timeline is streamed.
struct ClipShape {
    qint64 length = 0;
    int sampleRate = 0;
    double peak = 0.0;
};

// WAV clips that need no stretching are measured in a first pass and read again while the
// output is written, so a long narration holds one clip at a time instead of all of them
// (gigabytes of samples for a few hours). Returns nullopt, having printed nothing, when the
// clips turn out to need resampling; the in-memory path handles those.
std::optional<int> streamTimeline(const TimelineSettings& settings, const QString& outputFile,
                                  const QList<AudioSegment>& segments, const QList<qint64>& starts,
                                  const QList<qint64>& ends, qint64 durationMs,
                                  const TimelinePlanned& planned) {
    std::vector<ClipShape> shapes(static_cast<size_t>(segments.size()));
    const bool loaded = loadClips(segments, [&shapes](qsizetype i, AudioBuffer& clip) {
        ClipShape& shape = shapes[size_t(i)];
        shape.length = clip.samples.size();
        shape.sampleRate = clip.sampleRate;
        for (const double s : std::as_const(clip.samples)) {
            shape.peak = std::max(shape.peak, std::fabs(s));
        }
    });
    if (!loaded) {
        return 1;
    }
    const int rate = shapes.front().sampleRate;
    QList<qint64> lengths;
    lengths.reserve(segments.size());
    double peak = 0.0;
    for (const ClipShape& shape : shapes) {
        if (rate <= 0 || shape.sampleRate != rate) {
            return std::nullopt;
        }
        lengths.append(shape.length);
        peak = std::max(peak, shape.peak);
    }

    TimelineSource source;
    source.plan = [&](qint64 paddingMs, QString* error, TimelinePlanFailure* failure) {
        return planTimelineFromLengths(lengths, rate, starts, ends, durationMs, paddingMs, error,
                                       failure);
    };
    source.speechMs = [&] {
        qint64 speechMs = 0;
        for (const qint64 length : lengths) {
            speechMs += length * 1000 / rate;
        }
        return speechMs;
    };
    const TimelineClipLoader load = [&](qsizetype i, AudioBuffer& clip, QString* error) {
        return loadTrimmedClip(segments[i].filePath, clip, error);
    };
    source.write = [&](const TimelinePlan& plan, const QString& path, bool mp3, QString* error) {
        return mp3 ? writeStreamedTimelineMp3(plan, lengths, peak, load, path, error)
                   : writeStreamedTimelineWav(plan, lengths, peak, load, path, error);
    };
    return writeTimeline(settings, outputFile, QList<double>(segments.size(), 1.0), durationMs,
                         source, planned);
}

bool canStream(const TimelineSettings& settings, const QList<AudioSegment>& segments) {
    if (settings.autospeed || segments.isEmpty()) {
        return false;
    }
    for (const AudioSegment& segment : segments) {
        if (QFileInfo(segment.filePath).suffix().toLower() != QLatin1String("wav")) {
            return false;
        }
    }
    return true;
}

} // namespace

int assembleTimeline(const TimelineSettings& settings, const QString& outputFile,
                     const QList<VttCue>& allCues, const QList<AudioSegment>& segments,
                     const TimelinePlanned& planned) {
    qint64 durationMs = 0;
    for (const VttCue& cue : allCues) {
        durationMs = std::max(durationMs, cue.endMs);
    }

    QList<qint64> starts;
    QList<qint64> ends;
    starts.reserve(segments.size());
    ends.reserve(segments.size());
    for (const AudioSegment& segment : segments) {
        starts.append(segment.startMs);
        ends.append(segment.endMs);
    }

    if (canStream(settings, segments)) {
        if (const std::optional<int> status =
                streamTimeline(settings, outputFile, segments, starts, ends, durationMs, planned)) {
            return *status;
        }
    }

    std::vector<AudioBuffer> loaded(static_cast<size_t>(segments.size()));
    if (!loadClips(segments, [&loaded](qsizetype i, AudioBuffer& clip) {
            loaded[size_t(i)] = std::move(clip);
        })) {
        return 1;
    }
    QList<AudioBuffer> clips;
    clips.reserve(segments.size());
    for (AudioBuffer& clip : loaded) {
        clips.append(std::move(clip));
    }
    loaded.clear();

    // The timeline runs at the first clip's rate; clips cached at another rate keep their pitch.
    const int timelineRate = clips.isEmpty() ? 0 : clips.first().sampleRate;
    for (int j = 1; j < clips.size(); ++j) {
        if (timelineRate > 0 && clips[j].sampleRate != timelineRate) {
            QString error;
            std::optional<AudioBuffer> resampled = resample(clips[j], timelineRate, &error);
            if (!resampled) {
                printError(QObject::tr("Failed to load audio segment %1: %2\n")
                               .arg(segments[j].filePath, error));
                return 1;
            }
            clips[j] = std::move(*resampled);
        }
    }

    QList<double> speedUps(clips.size(), 1.0);
    if (settings.autospeed) {
        for (int j = 0; j < clips.size(); ++j) {
            AudioBuffer& clip = clips[j];
            const qint64 slotMs = slotLengthMs(starts, ends, j, durationMs);
            if (slotMs <= 0 || clip.sampleRate <= 0) {
                continue;
            }
            const qint64 slotSamples = slotMs * clip.sampleRate / 1000;
            if (slotSamples <= 0 || clip.samples.size() <= slotSamples) {
                continue;
            }
            const double factor =
                std::min(double(clip.samples.size()) / double(slotSamples), kMaxSpeedUp);
            QString error;
            std::optional<AudioBuffer> faster = speedUp(clip, factor, &error);
            if (!faster) {
                printError(QObject::tr("Failed to speed up audio segment %1: %2\n")
                               .arg(segments[j].filePath, error));
                return 1;
            }
            clip = std::move(*faster);
            speedUps[j] = factor;
        }
    }

    TimelineSource source;
    source.plan = [&](qint64 paddingMs, QString* error, TimelinePlanFailure* failure) {
        return planTimeline(clips, starts, ends, durationMs, paddingMs, error, failure);
    };
    source.speechMs = [&] {
        qint64 speechMs = 0;
        for (const AudioBuffer& clip : clips) {
            if (clip.sampleRate != 0) {
                speechMs += qint64(clip.samples.size()) * 1000 / clip.sampleRate;
            }
        }
        return speechMs;
    };
    source.write = [&](const TimelinePlan& plan, const QString& path, bool mp3, QString* error) {
        return mp3 ? writeTimelineMp3(clips, plan, path, error)
                   : writeTimelineWav(clips, plan, path, error);
    };
    return writeTimeline(settings, outputFile, speedUps, durationMs, source, planned);
}

} // namespace lyrane
