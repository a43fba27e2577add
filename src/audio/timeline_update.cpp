#include "audio/timeline_update.h"

#include "audio/audio_error.h"
#include "audio/mp3_span_patch.h"
#include "audio/patch_journal.h"
#include "audio/wav_file.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QtEndian>

#include <algorithm>
#include <functional>
#include <vector>

#include <rubberband/RubberBandStretcher.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswresample/swresample.h>
}

namespace lyrane {

using audio_detail::setError;

namespace {

// The libraries that remake clips (decoding, resampling, stretching): another version may make
// other samples of the same clip.
QString clipToolVersions() {
    return QStringLiteral("avcodec %1 swresample %2 rubberband %3")
        .arg(avcodec_version())
        .arg(swresample_version())
        .arg(QLatin1String(RUBBERBAND_VERSION));
}

// The clips of `clips` left once every one that `others` also holds is taken away (as many
// times as it holds it).
QList<PlacedClip> unmatched(const QList<PlacedClip>& clips, const QList<PlacedClip>& others) {
    QHash<PlacedClip, int> available;
    for (const PlacedClip& clip : others) {
        ++available[clip];
    }
    QList<PlacedClip> left;
    for (const PlacedClip& clip : clips) {
        const auto found = available.find(clip);
        if (found != available.end() && *found > 0) {
            --*found;
        } else {
            left.append(clip);
        }
    }
    return left;
}

enum class PatchOutcome {
    Patched,
    WriteWhole, // the file is as it was, or left to a full write to make whole
    Failed,     // a clip failed or a stop came: the file is as it was
};

// Renders the spans into a journal and applies it.
PatchOutcome patchWav(const TimelinePlan& plan, const StreamedClipSet& clips,
                      const OutputLevel& level, const QString& path, const RenderRecord& record,
                      const QList<SampleSpan>& spans, QString* error, const StopCheck& stopped) {
    QByteArray header;
    if (!makeWavHeader(record.settings.totalSamples, plan.sampleRate, &header, nullptr)) {
        return PatchOutcome::WriteWhole; // which says why it cannot be written
    }
    PatchJournal journal(path);
    QString journalError;
    if (!journal.begin(&journalError)) {
        return PatchOutcome::WriteWhole;
    }
    const qint64 dataStart = header.size();
    std::vector<qint16> swapped;
    bool journalFailed = false;
    const PlacedPcm16Sink sink = [&](qint64 at, const qint16* samples, qint64 count) {
        const char* bytes = reinterpret_cast<const char*>(samples);
        if constexpr (Q_BYTE_ORDER == Q_BIG_ENDIAN) {
            swapped.resize(static_cast<size_t>(count));
            qToLittleEndian<qint16>(samples, count, swapped.data());
            bytes = reinterpret_cast<const char*>(swapped.data());
        }
        journalFailed = !journal.add(dataStart + 2 * at, bytes, 2 * count, &journalError);
        return !journalFailed;
    };
    if (!renderStreamedTimelineSpans(plan, clips.lengths, level, clips.load, spans, sink, error,
                                     stopped)) {
        return journalFailed && !stopRequested(stopped) ? PatchOutcome::WriteWhole
                                                        : PatchOutcome::Failed;
    }
    const qint64 fileSize = dataStart + 2 * record.settings.totalSamples;
    return journal.apply(fileSize, renderRecordBytes(record), &journalError)
               ? PatchOutcome::Patched
               : PatchOutcome::WriteWhole;
}

// Encodes the frames around the spans again and applies them through a journal.
PatchOutcome patchMp3(const TimelinePlan& plan, const StreamedClipSet& clips,
                      const OutputLevel& level, const QString& path, const RenderRecord& record,
                      const QList<SampleSpan>& spans, int threads, QString* error,
                      const StopCheck& stopped) {
    Mp3PatchOptions options;
    options.sampleRate = plan.sampleRate;
    options.threads = threads;
    QList<Mp3SampleSpan> changed;
    for (const SampleSpan& span : spans) {
        changed.append({span.start, span.end});
    }
    const Mp3SpanPatches made = patchMp3Spans(
        path, record.settings.totalSamples, changed,
        streamedTimelineRanges(plan, clips.lengths, level, clips.load, stopped), options);
    switch (made.outcome) {
    case Mp3SpanPatches::Outcome::WholeFile:
        return PatchOutcome::WriteWhole;
    case Mp3SpanPatches::Outcome::Failed:
        setError(error, made.reason);
        return PatchOutcome::Failed;
    case Mp3SpanPatches::Outcome::Patched:
        break;
    }
    PatchJournal journal(path);
    QString journalError;
    if (!journal.begin(&journalError)) {
        return PatchOutcome::WriteWhole;
    }
    for (const Mp3BytePatch& patch : made.patches) {
        if (!journal.add(patch.offset, patch.bytes.constData(), patch.bytes.size(),
                         &journalError)) {
            return PatchOutcome::WriteWhole;
        }
    }
    return journal.apply(QFileInfo(path).size(), renderRecordBytes(record), &journalError)
               ? PatchOutcome::Patched
               : PatchOutcome::WriteWhole;
}

using SpanPatcher =
    std::function<PatchOutcome(const RenderRecord& record, const QList<SampleSpan>& spans)>;

// Brings the output at `path` up to date: patched through `patch` where its record allows,
// else written whole by `writeWhole`; its record written after it either way.
bool updateStreamedTimeline(const TimelinePlan& plan, const StreamedClipSet& clips,
                            const OutputLevel& level, const QString& path, const QString& format,
                            const SpanPatcher& patch, const std::function<bool()>& writeWhole,
                            TimelineUpdate* update) {
    *update = TimelineUpdate();
    QString replayError;
    // A journal that could not be applied leaves the file unknown: it is written whole.
    const JournalReplay replay = replayPatchJournal(path, &replayError);
    const std::optional<RenderRecord> record = timelineRenderRecord(plan, clips, level, format);
    const std::optional<QByteArray> body =
        record && replay != JournalReplay::Failed ? readOutputRecord(path) : std::nullopt;
    const std::optional<RenderRecord> before = body ? parseRenderRecord(*body) : std::nullopt;
    if (before && before->settings == record->settings && patchableInPlace(path)) {
        const QList<SampleSpan> spans = changedSpans(before->clips, record->clips);
        const qsizetype rewritten = unmatched(record->clips, before->clips).size();
        qint64 changed = 0;
        for (const SampleSpan& span : spans) {
            changed += span.end - span.start;
        }
        // Past half the file, the journal's second copy costs more than writing it whole; a
        // plan that keeps none of the earlier clips is a new output.
        if (changed * 2 <= record->settings.totalSamples && rewritten < record->clips.size()) {
            switch (patch(*record, spans)) {
            case PatchOutcome::Patched:
                update->patched = true;
                update->clipsRewritten = rewritten;
                update->samplesRewritten = changed;
                return true;
            case PatchOutcome::Failed:
                return false;
            case PatchOutcome::WriteWhole:
                break;
            }
        }
    }
    if (!writeWhole()) {
        return false;
    }
    // A journal left now names the file replaced: it goes.
    QFile::remove(patchJournalPath(path));
    if (!record || !writeOutputRecord(path, renderRecordBytes(*record), nullptr)) {
        removeOutputRecord(path);
    }
    return true;
}

} // namespace

QList<SampleSpan> changedSpans(const QList<PlacedClip>& before, const QList<PlacedClip>& after) {
    QList<SampleSpan> spans;
    for (const QList<PlacedClip>& changed : {unmatched(before, after), unmatched(after, before)}) {
        for (const PlacedClip& clip : changed) {
            if (clip.length > 0) {
                spans.append({clip.startSample, clip.startSample + clip.length});
            }
        }
    }
    std::sort(spans.begin(), spans.end(),
              [](const SampleSpan& a, const SampleSpan& b) { return a.start < b.start; });
    QList<SampleSpan> merged;
    for (const SampleSpan& span : std::as_const(spans)) {
        if (!merged.isEmpty() && span.start <= merged.last().end) {
            merged.last().end = std::max(merged.last().end, span.end);
        } else {
            merged.append(span);
        }
    }
    return merged;
}

std::optional<RenderRecord> timelineRenderRecord(const TimelinePlan& plan,
                                                 const StreamedClipSet& clips,
                                                 const OutputLevel& level, const QString& format) {
    RenderRecord record;
    record.settings.format = format;
    record.settings.sampleRate = plan.sampleRate;
    record.settings.totalSamples = qMax<qint64>(plan.totalSamples, 0);
    record.settings.level = outputLevelText(level);
    record.settings.tools = clipToolVersions();
    const qsizetype count = plan.startSamples.size();
    if (clips.lengths.size() != count || clips.paths.size() != count ||
        clips.speedUps.size() != count) {
        return std::nullopt;
    }
    record.clips.reserve(count);
    for (qsizetype i = 0; i < count; ++i) {
        const std::optional<PlacedClip> clip =
            placedClip(clips.paths[i], plan.startSamples[i], clips.lengths[i], clips.speedUps[i]);
        if (!clip) {
            return std::nullopt;
        }
        record.clips.append(*clip);
    }
    return record;
}

QString mp3RenderFormat() {
    const Mp3ChunkPlan plan;
    return QStringLiteral("mp3 libmp3lame cbr %1 mono chunks %2 %3 %4 %5")
        .arg(kMp3BitRate)
        .arg(plan.chunkFrames)
        .arg(plan.warmUpFrames)
        .arg(plan.seamReach)
        .arg(plan.lookaheadFrames);
}

bool updateStreamedTimelineWav(const TimelinePlan& plan, const StreamedClipSet& clips,
                               const OutputLevel& level, const QString& path,
                               TimelineUpdate* update, QString* error, const StopCheck& stopped) {
    return updateStreamedTimeline(
        plan, clips, level, path, QLatin1String(kWavRenderFormat),
        [&](const RenderRecord& record, const QList<SampleSpan>& spans) {
            return patchWav(plan, clips, level, path, record, spans, error, stopped);
        },
        [&] {
            return writeStreamedTimelineWav(plan, clips.lengths, level, clips.load, path, error,
                                            stopped);
        },
        update);
}

bool updateStreamedTimelineMp3(const TimelinePlan& plan, const StreamedClipSet& clips,
                               const OutputLevel& level, const QString& path,
                               TimelineUpdate* update, QString* error, const StopCheck& stopped,
                               int threads) {
    return updateStreamedTimeline(
        plan, clips, level, path, mp3RenderFormat(),
        [&](const RenderRecord& record, const QList<SampleSpan>& spans) {
            return patchMp3(plan, clips, level, path, record, spans, threads, error, stopped);
        },
        [&] {
            return writeStreamedTimelineMp3(plan, clips.lengths, level, clips.load, path, error,
                                            stopped, threads);
        },
        update);
}

} // namespace lyrane
