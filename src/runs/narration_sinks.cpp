#include "runs/narration_sinks.h"

#include "audio/encoded_loudness.h"
#include "audio/mp3_codec.h"
#include "audio/streamed_timeline.h"
#include "audio/timeline_update.h"
#include "audio/wav_file.h"
#include "runs/narration_output.h"
#include "runs/output_naming.h"
#include "runs/programme_mix_run.h"
#include "runs/review_page.h"
#include "runs/run_accounting.h"
#include "runs/time_map.h"
#include "runs/word_timing.h"
#include "subtitles/caption_writer.h"
#include "subtitles/pauses.h"

#include <QFileInfo>
#include <QObject>

#include <algorithm>

namespace lyrane {

namespace {

// The writer of a timeline laid at cue times: its clips made again one at a time.
NarrationWriter cueTimesWriter(const PlacedTimeline& timeline, std::optional<LoudnessGain>& gain,
                               RunContext context) {
    return [&timeline, &gain, context](const QString& path, bool mp3, QString* error) {
        const PreparedClips& clips = *timeline.clips;
        const TimelineClipLoader load = [&clips](qsizetype i, AudioBuffer& clip, QString* why) {
            return clips.load(i, clip, why);
        };
        const TimelineSettings& settings = timeline.settings;
        const StopCheck stopped = context.stop.check();
        // An output of its own is brought up to date, rewriting only what changed; an MP3
        // brought to a loudness is measured whole.
        if (settings.programme.programmePath.isEmpty() && !(mp3 && gain)) {
            const StreamedClipSet clipSet{clips.lengths(), timeline.clipPaths, clips.speedUps(),
                                          load};
            TimelineUpdate update;
            const bool written =
                mp3 ? updateStreamedTimelineMp3(timeline.plan, clipSet, timeline.level, path,
                                                &update, error, stopped)
                    : updateStreamedTimelineWav(timeline.plan, clipSet, timeline.level, path,
                                                &update, error, stopped);
            if (written && update.patched) {
                context.console.error(QObject::tr("Rewrote %1 of %2 cues' spans in %3\n")
                                          .arg(update.clipsRewritten)
                                          .arg(timeline.plan.startSamples.size())
                                          .arg(path));
            }
            return written;
        }
        if (mp3 && gain) {
            return writeStreamedTimelineMp3AtLoudness(timeline.plan, clips.lengths(), load, path,
                                                      *settings.loudnessLufs, settings.truePeakDbtp,
                                                      *gain, error, stopped);
        }
        return mp3 ? writeStreamedTimelineMp3(timeline.plan, clips.lengths(), timeline.level, load,
                                              path, error, stopped)
                   : writeStreamedTimelineWav(timeline.plan, clips.lengths(), timeline.level, load,
                                              path, error, stopped);
    };
}

// The writer of clips played one after the other, held in memory.
NarrationWriter backToBackWriter(const PlacedTimeline& timeline,
                                 std::optional<LoudnessGain>& gain) {
    return [&timeline, &gain](const QString& path, bool mp3, QString* error) {
        const TimelineSettings& settings = timeline.settings;
        if (!mp3) {
            return writeWav(timeline.joined, path, error);
        }
        return gain ? encodeMp3AtLoudness(timeline.joined, path, *settings.loudnessLufs,
                                          settings.truePeakDbtp, *gain, error)
                    : encodeMp3(timeline.joined, path, error);
    };
}

} // namespace

NarrationOutcome AudioSink::write(const NarrationPlan& plan, const PlacedTimeline& timeline,
                                  RunContext context) {
    const NarrationInput& input = *plan.input;
    // A stop ends the writing between chunks, so every temporary goes and an earlier output
    // stays as it was.
    const std::unique_ptr<StopWatch> watch = context.stop.watch({});
    std::optional<LoudnessGain> gain = timeline.gain;
    const bool atCueTimes = timeline.layout == CueLayout::CueTimes;
    const NarrationWriter writer =
        atCueTimes ? cueTimesWriter(timeline, gain, context) : backToBackWriter(timeline, gain);
    NarrationOutcome written =
        writeNarrationOutput(timeline.settings, atCueTimes ? &timeline.plan : nullptr, outputFile,
                             *input.wording, writer, gain, context);
    if (!written.done()) {
        return written;
    }
    // Over a programme the output keeps a video or .m4a name.
    const QString path = atCueTimes && !timeline.settings.programme.programmePath.isEmpty()
                             ? mixedOutputPath(outputFile)
                             : outputTarget(outputFile).path;
    report.outputs.append({input.input, path, timeline.lengthMs,
                           reportLoudness(timeline.settings, written.loudness)});
    return written;
}

NarrationOutcome TimeMapSink::write(const NarrationPlan&, const PlacedTimeline& timeline,
                                    RunContext context) {
    QString error;
    if (!writeTimeMap(path, timeline.settings.programme.pauses, timeline.programmeMs, &error)) {
        return NarrationOutcome::failedWith(RunFailure::Kind::Output, error + QLatin1Char('\n'));
    }
    context.console.error(QObject::tr("Created time map: %1\n").arg(path));
    return {};
}

NarrationOutcome CaptionsSink::write(const NarrationPlan& plan, const PlacedTimeline&,
                                     RunContext context) {
    QList<CaptionCue> captions;
    captions.reserve(plan.cues.size());
    for (const CueRecord& record : plan.cues) {
        if (!record.placement) {
            break;
        }
        const ClipPlacement& placement = *record.placement;
        const Cue& cue = plan.input->cues[record.index];
        // The cue's end moves as far as its clip's start did, the programme's pauses before it
        // included.
        captions.append(retimedCaption(
            {cue.startMs, cue.endMs, withoutPauses(cue.text), cue.speaker, {}},
            {placement.actualStartMs, placement.actualEndMs,
             std::max<qint64>(placement.desiredStartMs - cue.startMs, 0) +
                 std::max<qint64>(placement.actualStartMs - placement.desiredStartMs, 0)}));
        if (withWords && record.speech) {
            captions.last().words = captionWords(*record.speech);
        }
    }
    QString error;
    if (!writeCaptions(path, captions, &error)) {
        return NarrationOutcome::failedWith(RunFailure::Kind::Output, error + QLatin1Char('\n'));
    }
    context.console.error(QObject::tr("Created captions: %1\n").arg(path));
    return {};
}

NarrationOutcome ReviewSink::write(const NarrationPlan&, const PlacedTimeline& timeline,
                                   RunContext context) {
    ReviewPageInput page;
    page.report = &report;
    page.envelope = timeline.envelope;
    page.lengthMs = timeline.lengthMs;
    page.command = commandFromDirectory(command, QFileInfo(path).absolutePath());
    QString error;
    if (!writeReviewPage(path, page, &error)) {
        return NarrationOutcome::failedWith(RunFailure::Kind::Output, error + QLatin1Char('\n'));
    }
    context.console.error(QObject::tr("Created review page: %1\n").arg(path));
    return {};
}

void recordNarration(RunReport* report, const NarrationPlan& plan, const Billing& billing,
                     bool cueEntries, bool dryRun) {
    const NarrationInput& input = *plan.input;
    for (const CueRecord& record : plan.cues) {
        if (!cueEntries) {
            break;
        }
        const Cue& cue = input.cues[record.index];
        ReportCue entry =
            reportCue(record.job, record.result ? &*record.result : nullptr, input.input,
                      record.number(), cue.startMs, cue.endMs, cue.speaker);
        recordJoined(&entry, input.groups, record.index);
        entry.writtenText = cue.text;
        entry.take = record.take.take;
        entry.takes = record.take.takes;
        if (dryRun && record.cachedAtPlan) {
            // As the estimate counted it; the page's player finds it there.
            entry.source = ClipOrigin::Cache;
            entry.clipFile = record.job.path;
        }
        if (record.placement && input.layout == CueLayout::BackToBack) {
            entry.startMs = record.placement->actualStartMs;
            entry.endMs = record.placement->actualEndMs;
            entry.clipLengthMs = entry.endMs - entry.startMs;
        } else if (record.placement) {
            entry.placement = reportPlacement(*record.placement, cue.endMs, record.speedUp);
            entry.clipLengthMs = entry.placement->actualEndMs - entry.placement->actualStartMs;
            entry.flags = record.flags;
        }
        entry.coversDialogueMs = record.coversDialogueMs;
        entry.speech = record.speech;
        report->cues.append(entry);
    }
    report->totals.cues += plan.cues.size();
    report->totals.creditsEstimated += plan.estimate.credits;
    report->totals.newClips += billing.newClips;
    report->totals.charactersBilled += billing.characters;
    report->totals.charactersBilledEstimated =
        report->totals.charactersBilledEstimated || billing.estimated;
}

} // namespace lyrane
