#include "runs/timeline_assembly.h"

#include "audio/clip_loading.h"
#include "audio/encoded_loudness.h"
#include "audio/extended_programme.h"
#include "audio/loudness.h"
#include "audio/mp3_codec.h"
#include "audio/prepared_clips.h"
#include "audio/streamed_timeline.h"
#include "audio/timeline_plan.h"
#include "audio/timeline_update.h"
#include "audio/wav_file.h"
#include "runs/console.h"
#include "runs/dialogue_track.h"
#include "runs/narration_output.h"
#include "runs/programme_mix_run.h"
#include "runs/stop_signals.h"
#include "runs/time_map.h"

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
    // A signal stops the writing; what the run kept is then reported.
    StopCheck stopped;
};

// The padding an --autopad run uses: the requested padding when the clips fit without any,
// else enough for all the speech to follow the last cue, or more when late cues and
// collisions push the last clip further than that allows.
std::optional<qint64> autopadMs(const TimelineSource& source, qint64 requestedMs, qint64 durationMs,
                                QString* failureLine) {
    printError(QObject::tr("Calculating required padding automatically...\n"));
    QString error;
    qint64 paddingMs = requestedMs;
    TimelinePlanFailure failure;
    if (!source.plan(0, &error, &failure)) {
        if (failure.kind != TimelinePlanFailure::Kind::ClipPastEnd) {
            *failureLine =
                printFailure(QObject::tr("Failed to calculate padding: %1\n").arg(error));
            return std::nullopt;
        }
        paddingMs = std::max(paddingMs, std::max<qint64>(0, source.speechMs() - durationMs) + 500);
        paddingMs = std::max(paddingMs, failure.paddingNeededMs);
    }
    printError(QObject::tr("Using automatically calculated padding of %1 ms\n").arg(paddingMs));
    return paddingMs;
}

NarrationOutcome writeTimeline(const TimelineSettings& settings, const QString& outputFile,
                               const ProgressWording& wording, const QList<double>& speedUps,
                               const QList<ClipFigures>& figures, qint64 durationMs,
                               const TimelineSource& source, const TimelinePlanned& planned,
                               const std::optional<LoudnessGain>& gain) {
    qint64 paddingMs = settings.paddingMs;
    if (settings.autopad) {
        QString failure;
        const std::optional<qint64> padding = autopadMs(source, paddingMs, durationMs, &failure);
        if (!padding) {
            return NarrationOutcome::failed(failure);
        }
        paddingMs = *padding;
    }

    printError(QObject::tr("Mixing audio segments...\n"));
    QString error;
    const std::optional<TimelinePlan> plan = source.plan(paddingMs, &error, nullptr);
    if (!plan) {
        return NarrationOutcome::failed(
            printFailure(QObject::tr("Failed to mix audio: %1\n").arg(error)));
    }
    for (int k = 0; k < plan->placements.size(); ++k) {
        const ClipPlacement& placement = plan->placements[k];
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
    if (planned) {
        planned(*plan, speedUps, figures);
    }
    return writeNarrationOutput(
        settings, &*plan, outputFile, wording,
        [&](const QString& path, bool mp3, QString* writeError) {
            return source.write(*plan, path, mp3, writeError);
        },
        source.stopped, gain);
}

// The line that says why a clip could not be prepared.
QString clipFailureLine(const QList<TimelineClip>& segments, const ClipFailure& failure) {
    if (failure.index < 0) {
        return QObject::tr("Failed to measure loudness: %1\n").arg(failure.message);
    }
    const QString& path = segments[failure.index].filePath;
    switch (failure.kind) {
    case ClipFailure::Kind::Stopped:
        break;
    case ClipFailure::Kind::Load:
    case ClipFailure::Kind::Resample:
        return QObject::tr("Failed to load audio segment %1: %2\n").arg(path, failure.message);
    case ClipFailure::Kind::SpeedUp:
        return QObject::tr("Failed to speed up audio segment %1: %2\n").arg(path, failure.message);
    case ClipFailure::Kind::Measure:
        return QObject::tr("Failed to prepare audio segment %1: %2\n").arg(path, failure.message);
    }
    return QString();
}

// Fits the prepared clips between the dialogue: their starts, and each one's time over
// dialogue. Clips the fit speeds up are prepared again at that speed. With --extended the
// programme pauses instead of a clip covering dialogue: `pauses` (one per point) and each
// clip's start on the extended timeline, later by the pauses before it (`shifts`). A refusal
// by --strict-fit (after every clip over dialogue is said) is the outcome to end with.
std::optional<NarrationOutcome>
fitToDialogue(const TimelineSettings& settings, const QList<TimeSpan>& dialogue,
              const QStringList& paths, ClipPreparation& preparation,
              std::optional<PreparedClips>& clips, ClipFailure* failure, QList<qint64>* starts,
              QList<qint64>* coversDialogueMs, QList<ProgrammePause>* pauses,
              QList<qint64>* shifts) {
    const qint64 rate = clips->sampleRate();
    QList<DescriptionToFit> toFit;
    toFit.reserve(starts->size());
    for (qsizetype k = 0; k < starts->size(); ++k) {
        // Rounded up, so that clips placed end to end in ms do not overlap in samples.
        const qint64 length = rate > 0 ? (clips->lengths()[k] * 1000 + rate - 1) / rate : 0;
        toFit.append({(*starts)[k], length});
    }
    FitLimits limits{settings.maxShiftMs, settings.autospeed ? kMaxSpeedUp : 1.0, {}};
    HoldPoints holds;
    if (settings.extended) {
        QString error;
        if (!holds.open(settings.programme.programmePath, &error)) {
            return NarrationOutcome::failed(
                printFailure(QObject::tr("Failed to open the programme: %1\n").arg(error)));
        }
        limits.holdPoint = [&holds](qint64 timeMs) {
            return holds.atOrBefore(timeMs);
        };
    }
    const QList<DescriptionFit> fits = fitDescriptions(dialogue, toFit, limits);
    bool spedUp = false;
    qint64 paused = 0;
    for (qsizetype k = 0; k < fits.size(); ++k) {
        const DescriptionFit& fit = fits[k];
        (*starts)[k] = fit.startMs + paused;
        shifts->append(paused);
        coversDialogueMs->append(fit.coveredMs);
        spedUp = spedUp || fit.outcome == FitOutcome::SpedUp;
        if (fit.outcome == FitOutcome::Paused) {
            if (!pauses->isEmpty() && pauses->last().atMs == fit.pauseAtMs) {
                pauses->last().lengthMs += fit.pauseMs;
            } else {
                pauses->append({fit.pauseAtMs, fit.pauseMs});
            }
            paused += fit.pauseMs;
        }
    }
    const int covering = reportDialogueCover(fits);
    if (settings.strictFit && covering > 0) {
        NarrationOutcome refused = NarrationOutcome::failed(printFailure(
            QObject::tr("--strict-fit: %n description(s) cover dialogue; nothing written\n",
                        nullptr, covering)));
        refused.coversDialogueMs = *coversDialogueMs;
        return refused;
    }
    if (spedUp) {
        preparation.speedUp = [fits](qsizetype j, qint64, int) {
            return fits[j].speedUp;
        };
        clips = PreparedClips::prepare(paths, preparation, failure);
    }
    return std::nullopt;
}

} // namespace

NarrationOutcome assembleTimeline(const TimelineSettings& settings, const QString& outputFile,
                                  const ProgressWording& wording, const QList<Cue>& allCues,
                                  const QList<TimelineClip>& segments,
                                  const TimelinePlanned& planned, const QList<TimeSpan>* dialogue) {
    // SIGINT and SIGTERM stop the preparation and the writing between clips and chunks, so
    // the spill file and every temporary go and an earlier output stays as it was.
    const StopScope stopping(nullptr);
    const StopCheck stopped = [] {
        return receivedStopSignal() != 0;
    };
    qint64 durationMs = 0;
    for (const Cue& cue : allCues) {
        durationMs = std::max(durationMs, cue.endMs);
    }
    // Over a programme, the timeline lasts at least as long as the programme.
    qint64 programmeMs = 0;
    if (!settings.programme.programmePath.isEmpty()) {
        QString failure;
        const std::optional<qint64> length =
            programmeDurationForRun(settings.programme, &failure, settings.extended);
        if (!length) {
            return NarrationOutcome::failed(failure);
        }
        programmeMs = *length;
        durationMs = std::max(durationMs, programmeMs);
    }

    QList<qint64> starts;
    QList<qint64> ends;
    starts.reserve(segments.size());
    ends.reserve(segments.size());
    for (const TimelineClip& segment : segments) {
        starts.append(segment.startMs);
        ends.append(segment.endMs);
    }

    // Every clip is measured in a first pass and made again, one at a time, while the file is
    // written: memory does not grow with the narration.
    QStringList paths;
    paths.reserve(segments.size());
    for (const TimelineClip& segment : segments) {
        paths.append(segment.filePath);
    }
    ClipPreparation preparation;
    if (settings.autospeed && !dialogue) {
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
    ClipFailure failure;
    std::optional<PreparedClips> clips = PreparedClips::prepare(paths, preparation, &failure);
    QList<qint64> coversDialogueMs;
    TimelineSettings extended = settings;
    QList<qint64> shifts(segments.size(), 0);
    if (clips && dialogue) {
        shifts.clear();
        const std::optional<NarrationOutcome> refused =
            fitToDialogue(settings, *dialogue, paths, preparation, clips, &failure, &starts,
                          &coversDialogueMs, &extended.programme.pauses, &shifts);
        if (refused) {
            return *refused;
        }
        // On the extended timeline every time after a pause is later by it.
        for (qsizetype k = 0; k < ends.size() && k < shifts.size(); ++k) {
            ends[k] += shifts[k];
        }
        for (const ProgrammePause& pause : std::as_const(extended.programme.pauses)) {
            durationMs += pause.lengthMs;
        }
    }
    if (!clips) {
        if (failure.kind == ClipFailure::Kind::Stopped) {
            return NarrationOutcome::interrupted(receivedStopSignal());
        }
        return NarrationOutcome::failed(printFailure(clipFailureLine(segments, failure)));
    }

    TimelineSource source;
    source.plan = [&](qint64 paddingMs, QString* error, TimelinePlanFailure* planFailure) {
        std::optional<TimelinePlan> plan =
            planTimelineFromLengths(clips->lengths(), clips->sampleRate(), starts, ends, durationMs,
                                    paddingMs, error, planFailure);
        // A clip moved to clear dialogue is reported against its cue, as if delayed.
        for (qsizetype k = 0; plan && k < plan->placements.size(); ++k) {
            plan->placements[k].desiredStartMs = segments[k].startMs + shifts.value(k);
        }
        return plan;
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
        // A WAV output of its own is brought up to date, rewriting only what changed.
        if (!mp3 && !overProgramme) {
            WavUpdate update;
            const bool written =
                updateStreamedTimelineWav(plan, {clips->lengths(), paths, clips->speedUps(), load},
                                          level, path, &update, error, stopped);
            if (written && update.patched) {
                printError(QObject::tr("Rewrote %1 of %2 cues' spans in %3\n")
                               .arg(update.clipsRewritten)
                               .arg(plan.startSamples.size())
                               .arg(path));
            }
            return written;
        }
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
    NarrationOutcome written = writeTimeline(extended, outputFile, wording, clips->speedUps(),
                                             clips->figures(), durationMs, source, planned, gain);
    written.coversDialogueMs = coversDialogueMs;
    if (written.done() && !settings.timeMapFile.isEmpty()) {
        QString error;
        if (!writeTimeMap(settings.timeMapFile, extended.programme.pauses, programmeMs, &error)) {
            return NarrationOutcome::failed(printFailure(error + QLatin1Char('\n')));
        }
        printError(QObject::tr("Created time map: %1\n").arg(settings.timeMapFile));
    }
    return written;
}

} // namespace lyrane

namespace lyrane {

NarrationOutcome joinBackToBack(const TimelineSettings& settings, const QString& outputFile,
                                const ProgressWording& wording, const QStringList& clipPaths,
                                QList<qint64>* lengthsMs) {
    AudioBuffer joined;
    for (const QString& path : clipPaths) {
        QString error;
        const std::optional<AudioBuffer> clip = loadAudio(path, &error);
        if (!clip) {
            return NarrationOutcome::failed(
                printFailure(QObject::tr("Failed to load audio segment: %1\n").arg(error)));
        }
        if (joined.sampleRate == 0) {
            joined.sampleRate = clip->sampleRate;
        } else if (clip->sampleRate != joined.sampleRate) {
            return NarrationOutcome::failed(
                printFailure(QObject::tr("Failed to load audio segment: %1 is at %2 Hz, the "
                                         "text's other parts at %3 Hz\n")
                                 .arg(path)
                                 .arg(clip->sampleRate)
                                 .arg(joined.sampleRate)));
        }
        joined.samples.append(clip->samples);
        lengthsMs->append(
            clip->sampleRate > 0 ? qint64(clip->samples.size()) * 1000 / clip->sampleRate : 0);
    }
    std::optional<LoudnessGain> gain;
    if (settings.loudnessLufs) {
        QString error;
        gain = applyLoudnessTarget(joined, *settings.loudnessLufs, settings.truePeakDbtp, &error);
        if (!gain) {
            return NarrationOutcome::failed(
                printFailure(QObject::tr("Failed to measure loudness: %1\n").arg(error)));
        }
    }
    return writeNarrationOutput(
        settings, nullptr, outputFile, wording,
        [&](const QString& path, bool mp3, QString* error) {
            if (!mp3) {
                return writeWav(joined, path, error);
            }
            return gain ? encodeMp3AtLoudness(joined, path, *settings.loudnessLufs,
                                              settings.truePeakDbtp, *gain, error)
                        : encodeMp3(joined, path, error);
        },
        StopCheck(), gain);
}

} // namespace lyrane
