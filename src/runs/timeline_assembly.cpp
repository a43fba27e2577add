#include "runs/timeline_assembly.h"

#include "audio/encoded_loudness.h"
#include "audio/prepared_clips.h"
#include "audio/streamed_timeline.h"
#include "audio/timeline_plan.h"
#include "cli/console.h"
#include "cli/stop_signals.h"
#include "runs/output_naming.h"
#include "runs/programme_mix_run.h"

#include <QFileInfo>
#include <QObject>

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

namespace lyrane {

namespace {

constexpr double kMaxSpeedUp = 1.5;

// The slot a clip may fill: up to the next processed cue, the last one up to the timeline's
// end; where that leaves nothing, its own cue.
qint64 slotLengthMs(const QList<qint64>& starts, const QList<qint64>& ends, int index,
                    qint64 durationMs) {
    const qint64 slotEnd = index + 1 < starts.size() ? starts[index + 1] : durationMs;
    const qint64 slot = slotEnd - starts[index];
    return slot > 0 ? slot : ends[index] - starts[index];
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
    // A signal stops the writing; what the run kept is then reported, giving the status.
    StopCheck stopped;
    std::function<int()> interrupted;
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

    if (!settings.programme.programmePath.isEmpty()) {
        // A loudness target applies to the mix; the narration keeps its own level against the
        // programme, as it has without one.
        ProgrammeMixSettings mix = settings.programme;
        mix.loudnessLufs = settings.loudnessLufs;
        mix.truePeakDbtp = settings.truePeakDbtp;
        return writeNarrationOverProgramme(
            mix, outputFile, *plan,
            [&](const QString& path, QString* writeError) {
                return source.write(*plan, path, false, writeError);
            },
            source.stopped, source.interrupted);
    }

    const OutputTarget output = outputTarget(outputFile);
    if (output.mp3) {
        if (!source.write(*plan, output.path, true, &error)) {
            if (stopRequested(source.stopped)) {
                return source.interrupted();
            }
            printError(QObject::tr("Failed to write MP3 output file: %1\n").arg(error));
            return 1;
        }
        printError(QObject::tr("Created mixed MP3 audio file: %1\n").arg(output.path));
        return 0;
    }
    if (!source.write(*plan, output.path, false, &error)) {
        if (stopRequested(source.stopped)) {
            return source.interrupted();
        }
        printError(QObject::tr("Failed to write WAV output file: %1\n").arg(error));
        return 1;
    }
    printError(QObject::tr("Created mixed WAV audio file: %1\n").arg(output.path));
    return 0;
}

void printClipFailure(const QList<AudioSegment>& segments, const ClipFailure& failure) {
    if (failure.index < 0) {
        printError(QObject::tr("Failed to measure loudness: %1\n").arg(failure.message));
        return;
    }
    const QString& path = segments[failure.index].filePath;
    switch (failure.kind) {
    case ClipFailure::Kind::Stopped:
        return; // the interruption is reported instead
    case ClipFailure::Kind::Load:
    case ClipFailure::Kind::Resample:
        printError(QObject::tr("Failed to load audio segment %1: %2\n").arg(path, failure.message));
        return;
    case ClipFailure::Kind::SpeedUp:
        printError(
            QObject::tr("Failed to speed up audio segment %1: %2\n").arg(path, failure.message));
        return;
    case ClipFailure::Kind::Measure:
        printError(
            QObject::tr("Failed to prepare audio segment %1: %2\n").arg(path, failure.message));
        return;
    }
}

} // namespace

int assembleTimeline(const TimelineSettings& settings, const QString& outputFile,
                     const QList<VttCue>& allCues, const QList<AudioSegment>& segments,
                     const TimelinePlanned& planned) {
    // SIGINT and SIGTERM stop the preparation and the writing between clips and chunks, so
    // the spill file and every temporary go and an earlier output stays as it was.
    const StopScope stopping(nullptr);
    const StopCheck stopped = [] {
        return receivedStopSignal() != 0;
    };
    qint64 durationMs = 0;
    for (const VttCue& cue : allCues) {
        durationMs = std::max(durationMs, cue.endMs);
    }
    // Over a programme, the timeline lasts at least as long as the programme.
    if (!settings.programme.programmePath.isEmpty()) {
        const std::optional<qint64> programmeMs = programmeDurationForRun(settings.programme);
        if (!programmeMs) {
            return 1;
        }
        durationMs = std::max(durationMs, *programmeMs);
    }

    QList<qint64> starts;
    QList<qint64> ends;
    starts.reserve(segments.size());
    ends.reserve(segments.size());
    for (const AudioSegment& segment : segments) {
        starts.append(segment.startMs);
        ends.append(segment.endMs);
    }

    // Every clip is measured in a first pass and made again, one at a time, while the file is
    // written: memory does not grow with the narration.
    QStringList paths;
    paths.reserve(segments.size());
    for (const AudioSegment& segment : segments) {
        paths.append(segment.filePath);
    }
    ClipPreparation preparation;
    if (settings.autospeed) {
        preparation.speedUp = [&](qsizetype j, qint64 length, int rate) {
            const qint64 slotMs = slotLengthMs(starts, ends, int(j), durationMs);
            if (slotMs <= 0 || rate <= 0) {
                return 1.0;
            }
            const qint64 slotSamples = slotMs * rate / 1000;
            if (slotSamples <= 0 || length <= slotSamples) {
                return 1.0;
            }
            return std::min(double(length) / double(slotSamples), kMaxSpeedUp);
        };
    }
    const bool overProgramme = !settings.programme.programmePath.isEmpty();
    preparation.measureLoudness = settings.loudnessLufs.has_value() && !overProgramme;
    preparation.stopped = stopped;
    // The caller says what was kept, after anything it has to say first.
    const auto interrupted = [] {
        return 128 + receivedStopSignal();
    };
    ClipFailure failure;
    const std::optional<PreparedClips> clips = PreparedClips::prepare(paths, preparation, &failure);
    if (!clips) {
        if (failure.kind == ClipFailure::Kind::Stopped) {
            return interrupted();
        }
        printClipFailure(segments, failure);
        return 1;
    }

    TimelineSource source;
    source.plan = [&](qint64 paddingMs, QString* error, TimelinePlanFailure* planFailure) {
        return planTimelineFromLengths(clips->lengths(), clips->sampleRate(), starts, ends,
                                       durationMs, paddingMs, error, planFailure);
    };
    source.speechMs = [&] {
        return clips->speechMs();
    };
    const TimelineClipLoader load = [&](qsizetype i, AudioBuffer& clip, QString* error) {
        return clips->load(i, clip, error);
    };
    // A loudness target replaces the peak normalisation with one gain.
    std::optional<LoudnessGain> gain;
    if (settings.loudnessLufs && !overProgramme) {
        gain = loudnessGain(*clips->loudness(), *settings.loudnessLufs, settings.truePeakDbtp);
    }
    const OutputLevel level =
        gain ? OutputLevel::scaledBy(gain->factor) : OutputLevel::normalizedFromPeak(clips->peak());
    source.write = [&](const TimelinePlan& plan, const QString& path, bool mp3, QString* error) {
        if (mp3 && gain) {
            return writeStreamedTimelineMp3AtLoudness(plan, clips->lengths(), load, path,
                                                      *settings.loudnessLufs, settings.truePeakDbtp,
                                                      *gain, error, stopped);
        }
        return mp3 ? writeStreamedTimelineMp3(plan, clips->lengths(), level, load, path, error,
                                              stopped)
                   : writeStreamedTimelineWav(plan, clips->lengths(), level, load, path, error,
                                              stopped);
    };
    source.stopped = stopped;
    source.interrupted = interrupted;
    const int status =
        writeTimeline(settings, outputFile, clips->speedUps(), durationMs, source, planned);
    if (status == 0 && gain) {
        printError(loudnessReport(*gain, *settings.loudnessLufs, settings.truePeakDbtp));
    }
    return status;
}

} // namespace lyrane
