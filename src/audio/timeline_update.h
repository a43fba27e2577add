#pragma once

#include "audio/render_record.h"
#include "audio/stop_check.h"
#include "audio/streamed_timeline.h"
#include "audio/timeline_plan.h"
#include "audio/timeline_render.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace lyrane {

// A streamed timeline's clips: each one's length as prepared, its file in the cache and its
// speed-up (what decides its samples), and how to load it.
struct StreamedClipSet {
    QList<qint64> lengths;
    QStringList paths;
    QList<double> speedUps;
    TimelineClipLoader load;
};

// How an output was brought up to date.
struct TimelineUpdate {
    bool patched = false;         // rewritten in place; else written whole
    qsizetype clipsRewritten = 0; // the plan's clips whose spans were rewritten
    qint64 samplesRewritten = 0;
};

// Where a timeline of clips `after` differs from one of clips `before`: the extent of every
// clip of either that is not the same clip at the same place in the other, merged, in order.
// Clips of one timeline never overlap, so everything outside these spans is alike.
QList<SampleSpan> changedSpans(const QList<PlacedClip>& before, const QList<PlacedClip>& after);

// The form of the WAV outputs updateStreamedTimelineWav writes, as its records name it.
constexpr char kWavRenderFormat[] = "wav pcm_s16le mono";
// The same for MP3 outputs: the encoder's settings and the chunk grid its frames were cut on.
QString mp3RenderFormat();

// The record of a rendering of `plan` at `level` into `format` (the output's form and encoder
// settings, kWavRenderFormat for WAV); nothing when a clip's file is gone.
std::optional<RenderRecord> timelineRenderRecord(const TimelinePlan& plan,
                                                 const StreamedClipSet& clips,
                                                 const OutputLevel& level, const QString& format);

// Brings the WAV file at `path` to the bytes writeStreamedTimelineWav writes. First finishes
// any journal a killed run left beside it. Where the file holds an earlier rendering whose
// record has the same settings (format, rate, length, level, libraries), only the spans that
// changed are rendered and patched in place through a PatchJournal, when they are at most half
// the file and some clip is kept; else, and for a file that is no regular file with one name,
// the file is written whole. Either way its record is written after it. A stop or a failure before
// the journal is sealed leaves the file as it was.
bool updateStreamedTimelineWav(const TimelinePlan& plan, const StreamedClipSet& clips,
                               const OutputLevel& level, const QString& path,
                               TimelineUpdate* update, QString* error,
                               const StopCheck& stopped = StopCheck());

// The same for an MP3 file of writeStreamedTimelineMp3's: the frames around the changed spans
// are encoded again and laid between the frames kept (patchMp3Spans), so the file is a valid
// stream of the new timeline, though not the very bytes a full write would give. `threads` as
// for the writer.
bool updateStreamedTimelineMp3(const TimelinePlan& plan, const StreamedClipSet& clips,
                               const OutputLevel& level, const QString& path,
                               TimelineUpdate* update, QString* error,
                               const StopCheck& stopped = StopCheck(), int threads = 0);

} // namespace lyrane
