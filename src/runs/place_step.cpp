#include "runs/place_step.h"

#include "audio/clip_loading.h"
#include "audio/extended_programme.h"
#include "runs/dialogue_track.h"
#include "runs/programme_mix_run.h"
#include "runs/timeline_review.h"
#include "runs/word_timing.h"

#include <QObject>

#include <algorithm>
#include <functional>

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

using PlanFromPadding = std::function<std::optional<TimelinePlan>(qint64 paddingMs, QString* error,
                                                                  TimelinePlanFailure* failure)>;

// The padding an --autopad run uses: the requested padding when the clips fit without any,
// else enough for all the speech to follow the last cue, or more when late cues and
// collisions push the last clip further than that allows.
std::optional<qint64> autopadMs(const PlanFromPadding& plan, qint64 speechMs, qint64 requestedMs,
                                qint64 durationMs, Console& console, NarrationOutcome* failure) {
    console.error(QObject::tr("Calculating required padding automatically...\n"));
    QString error;
    qint64 paddingMs = requestedMs;
    TimelinePlanFailure planFailure;
    if (!plan(0, &error, &planFailure)) {
        if (planFailure.kind != TimelinePlanFailure::Kind::ClipPastEnd) {
            *failure = NarrationOutcome::failedWith(
                RunFailure::Kind::Timeline,
                QObject::tr("Failed to calculate padding: %1\n").arg(error));
            return std::nullopt;
        }
        paddingMs = std::max(paddingMs, std::max<qint64>(0, speechMs - durationMs) + 500);
        paddingMs = std::max(paddingMs, planFailure.paddingNeededMs);
    }
    console.error(QObject::tr("Using automatically calculated padding of %1 ms\n").arg(paddingMs));
    return paddingMs;
}

// The line that says why a clip could not be prepared.
QString clipFailureLine(const QStringList& paths, const ClipFailure& failure) {
    if (failure.index < 0) {
        return QObject::tr("Failed to measure loudness: %1\n").arg(failure.message);
    }
    const QString& path = paths[failure.index];
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

// Fits the prepared clips between the dialogue: their starts, and each record's time over
// dialogue. Clips the fit speeds up are prepared again at that speed. With --extended the
// programme pauses instead of a clip covering dialogue: `pauses` (one per point) and each
// clip's start on the extended timeline, later by the pauses before it (`shifts`). A refusal
// by --strict-fit (after every clip over dialogue is said) is the outcome to end with.
std::optional<NarrationOutcome>
fitToDialogue(const TimelineSettings& settings, const QList<TimeSpan>& dialogue,
              const QStringList& paths, ClipPreparation& preparation,
              std::optional<PreparedClips>& clips, ClipFailure* failure, QList<qint64>* starts,
              QList<CueRecord>* records, QList<ProgrammePause>* pauses, QList<qint64>* shifts,
              Console& console) {
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
            return NarrationOutcome::failedWith(
                RunFailure::Kind::Services,
                QObject::tr("Failed to open the programme: %1\n").arg(error));
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
        if (k < records->size()) {
            (*records)[k].coversDialogueMs = fit.coveredMs;
        }
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
    const int covering = sayDialogueCover(console, fits);
    if (settings.strictFit && covering > 0) {
        return NarrationOutcome::failedWith(
            RunFailure::Kind::Timeline,
            QObject::tr("--strict-fit: %n description(s) cover dialogue; nothing written\n",
                        nullptr, covering));
    }
    if (spedUp) {
        preparation.speedUp = [fits](qsizetype j, qint64, int) {
            return fits[j].speedUp;
        };
        clips = PreparedClips::prepare(paths, preparation, failure);
    }
    return std::nullopt;
}

// Where the clips landed, each record's placement, speech and flags, then the Flagged line.
void recordPlacements(NarrationPlan& plan, const PlaceSettings& settings,
                      const PlacedTimeline& timeline, const QList<double>& speedUps,
                      const QList<ClipFigures>& figures, Console& console) {
    const TimelinePlan& placed = timeline.plan;
    QList<ClipJob> jobs;
    jobs.reserve(plan.cues.size());
    for (const CueRecord& cue : std::as_const(plan.cues)) {
        jobs.append(cue.placed);
    }
    // The speech's bounds come from the alignments beside the clips.
    QList<std::optional<ReportSpeech>> speech;
    if (settings.readsSpeech) {
        speech = timelineSpeech(jobs, placed.placements, speedUps, settings.listWords);
    }
    QList<CueMeasure> measures = cueMeasures(placed, speedUps, figures, plan.input->cues, jobs);
    for (qsizetype k = 0; k < measures.size() && k < speech.size(); ++k) {
        measures[k].missingCharacters = speech[k] ? speech[k]->missingCharacters : 0;
    }
    const QList<QList<CueFlag>> flags = flagCues(measures);
    for (qsizetype k = 0; k < plan.cues.size() && k < placed.placements.size(); ++k) {
        CueRecord& cue = plan.cues[k];
        cue.placement = placed.placements[k];
        cue.speedUp = k < speedUps.size() ? speedUps[k] : 1.0;
        cue.flags = k < flags.size() ? flags[k] : QList<CueFlag>();
        if (k < speech.size()) {
            cue.speech = speech[k];
        }
    }
    // Said after where the clips landed, before the output is named.
    const QString flagged = flaggedLine(flags, settings.reviewFile);
    if (!flagged.isEmpty()) {
        console.error(flagged);
    }
}

NarrationOutcome placeAtCueTimes(NarrationPlan& plan, const PlaceSettings& settings,
                                 PlacedTimeline* timeline, RunContext context) {
    const TimelineSettings& timelineSettings = settings.timeline;
    const QList<Cue>& allCues = plan.input->cues;
    const QList<TimeSpan>* dialogue = plan.input->dialogue ? &*plan.input->dialogue : nullptr;
    Console& console = context.console;
    const StopCheck stopped = context.stop.check();
    qint64 durationMs = 0;
    for (const Cue& cue : allCues) {
        durationMs = std::max(durationMs, cue.endMs);
    }
    // Over a programme, the timeline lasts at least as long as the programme.
    if (!timelineSettings.programme.programmePath.isEmpty()) {
        NarrationOutcome failure;
        const std::optional<qint64> length = programmeDurationForRun(
            timelineSettings.programme, timelineSettings.extended, &failure);
        if (!length) {
            return failure;
        }
        timeline->programmeMs = *length;
        durationMs = std::max(durationMs, *length);
    }

    QList<qint64> starts;
    QList<qint64> ends;
    QStringList paths;
    for (const CueRecord& cue : std::as_const(plan.cues)) {
        starts.append(allCues[cue.index].startMs);
        ends.append(allCues[cue.index].endMs);
        paths.append(cue.placed.path);
    }
    const QList<qint64> cueStarts = starts;

    // Every clip is measured in a first pass and made again, one at a time, while the file is
    // written: memory does not grow with the narration.
    ClipPreparation preparation;
    if (timelineSettings.autospeed && !dialogue) {
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
    const bool overProgramme = !timelineSettings.programme.programmePath.isEmpty();
    preparation.measureLoudness = timelineSettings.loudnessLufs.has_value() && !overProgramme;
    preparation.stopped = stopped;
    ClipFailure failure;
    std::optional<PreparedClips> clips = PreparedClips::prepare(paths, preparation, &failure);
    timeline->settings = timelineSettings;
    QList<qint64> shifts(paths.size(), 0);
    if (clips && dialogue) {
        shifts.clear();
        const std::optional<NarrationOutcome> refused =
            fitToDialogue(timelineSettings, *dialogue, paths, preparation, clips, &failure, &starts,
                          &plan.cues, &timeline->settings.programme.pauses, &shifts, console);
        if (refused) {
            return *refused;
        }
        // On the extended timeline every time after a pause is later by it.
        for (qsizetype k = 0; k < ends.size() && k < shifts.size(); ++k) {
            ends[k] += shifts[k];
        }
        for (const ProgrammePause& pause : std::as_const(timeline->settings.programme.pauses)) {
            durationMs += pause.lengthMs;
        }
    }
    if (!clips) {
        if (failure.kind == ClipFailure::Kind::Stopped) {
            return NarrationOutcome::stoppedBy(context.stop.signal());
        }
        return NarrationOutcome::failedWith(RunFailure::Kind::Timeline,
                                            clipFailureLine(paths, failure));
    }

    const PlanFromPadding planFor = [&](qint64 paddingMs, QString* error,
                                        TimelinePlanFailure* planFailure) {
        std::optional<TimelinePlan> placed =
            planTimelineFromLengths(clips->lengths(), clips->sampleRate(), starts, ends, durationMs,
                                    paddingMs, error, planFailure);
        // A clip moved to clear dialogue is reported against its cue, as if delayed.
        for (qsizetype k = 0; placed && k < placed->placements.size(); ++k) {
            placed->placements[k].desiredStartMs = cueStarts[k] + shifts.value(k);
        }
        return placed;
    };
    qint64 paddingMs = timelineSettings.paddingMs;
    if (timelineSettings.autopad) {
        NarrationOutcome padFailure;
        const std::optional<qint64> padding =
            autopadMs(planFor, clips->speechMs(), paddingMs, durationMs, console, &padFailure);
        if (!padding) {
            return padFailure;
        }
        paddingMs = *padding;
    }

    console.error(QObject::tr("Mixing audio segments...\n"));
    QString error;
    const std::optional<TimelinePlan> placed = planFor(paddingMs, &error, nullptr);
    if (!placed) {
        return NarrationOutcome::failedWith(RunFailure::Kind::Timeline,
                                            QObject::tr("Failed to mix audio: %1\n").arg(error));
    }
    const QList<double>& speedUps = clips->speedUps();
    for (int k = 0; k < placed->placements.size(); ++k) {
        const ClipPlacement& placement = placed->placements[k];
        console.error(QObject::tr("Segment %1: desired %2 ms, actual %3 ms - %4 ms\n")
                          .arg(k + 1)
                          .arg(placement.desiredStartMs)
                          .arg(placement.actualStartMs)
                          .arg(placement.actualEndMs));
        if (speedUps[k] > 1.0) {
            console.error(
                QObject::tr("  (sped up by %1x to fit its cue)\n").arg(speedUps[k], 0, 'f', 2));
        }
        if (placement.actualStartMs > placement.desiredStartMs) {
            console.error(QObject::tr("  (delayed by %1 ms to avoid collision)\n")
                              .arg(placement.actualStartMs - placement.desiredStartMs));
        }
    }
    timeline->plan = *placed;
    timeline->lengthMs =
        placed->sampleRate > 0 ? placed->totalSamples * 1000 / placed->sampleRate : 0;
    recordPlacements(plan, settings, *timeline, speedUps, clips->figures(), console);
    if (settings.measureEnvelope) {
        timeline->envelope = timelineEnvelope(*placed, clips->figures());
    }
    // A loudness target replaces the peak normalisation with one gain.
    if (timelineSettings.loudnessLufs && !overProgramme) {
        timeline->gain = loudnessGain(*clips->loudness(), *timelineSettings.loudnessLufs,
                                      timelineSettings.truePeakDbtp);
    }
    timeline->level = timeline->gain ? OutputLevel::scaledBy(timeline->gain->factor)
                                     : OutputLevel::normalizedFromPeak(clips->peak());
    timeline->clips = std::move(clips);
    timeline->clipPaths = paths;
    return {};
}

NarrationOutcome placeBackToBack(NarrationPlan& plan, const PlaceSettings& settings,
                                 PlacedTimeline* timeline) {
    AudioBuffer& joined = timeline->joined;
    qint64 startMs = 0;
    for (CueRecord& cue : plan.cues) {
        const QString& path = cue.placed.path;
        QString error;
        const std::optional<AudioBuffer> clip = loadAudio(path, &error);
        if (!clip) {
            return NarrationOutcome::failedWith(
                RunFailure::Kind::Timeline,
                QObject::tr("Failed to load audio segment: %1\n").arg(error));
        }
        if (joined.sampleRate == 0) {
            joined.sampleRate = clip->sampleRate;
        } else if (clip->sampleRate != joined.sampleRate) {
            return NarrationOutcome::failedWith(
                RunFailure::Kind::Timeline,
                QObject::tr("Failed to load audio segment: %1 is at %2 Hz, the text's other "
                            "parts at %3 Hz\n")
                    .arg(path)
                    .arg(clip->sampleRate)
                    .arg(joined.sampleRate));
        }
        joined.samples.append(clip->samples);
        const qint64 lengthMs =
            clip->sampleRate > 0 ? qint64(clip->samples.size()) * 1000 / clip->sampleRate : 0;
        cue.placement = ClipPlacement{startMs, startMs, startMs + lengthMs};
        if (settings.readsSpeech) {
            cue.speech = cueSpeech(cue.placed, {startMs, startMs + lengthMs, 1.0});
            if (cue.speech) {
                cue.speech->listWords = settings.listWords;
            }
        }
        startMs += lengthMs;
    }
    timeline->lengthMs = startMs;
    const TimelineSettings& timelineSettings = settings.timeline;
    if (timelineSettings.loudnessLufs) {
        QString error;
        timeline->gain = applyLoudnessTarget(joined, *timelineSettings.loudnessLufs,
                                             timelineSettings.truePeakDbtp, &error);
        if (!timeline->gain) {
            return NarrationOutcome::failedWith(
                RunFailure::Kind::Timeline,
                QObject::tr("Failed to measure loudness: %1\n").arg(error));
        }
    }
    return {};
}

} // namespace

NarrationOutcome placeClips(NarrationPlan& plan, const PlaceSettings& settings,
                            PlacedTimeline* timeline, RunContext context) {
    timeline->layout = plan.input->layout;
    timeline->settings = settings.timeline;
    if (plan.input->layout == CueLayout::BackToBack) {
        return placeBackToBack(plan, settings, timeline);
    }
    // A stop ends the preparation between clips, so the spill file and every temporary go.
    const std::unique_ptr<StopWatch> watch = context.stop.watch({});
    return placeAtCueTimes(plan, settings, timeline, context);
}

} // namespace lyrane
