#pragma once

#include "audio/audio_buffer.h"
#include "audio/broadcast_wav.h"
#include "audio/mp3_codec.h"
#include "audio/stop_check.h"
#include "audio/timeline_plan.h"
#include "audio/timeline_render.h"

#include <QList>
#include <QString>
#include <QtGlobal>

#include <functional>

namespace lyrane {

// A timeline planned from clip lengths (planTimelineFromLengths) and rendered with each clip
// loaded only while it is written, so a long narration never holds all its clips in memory.
// Placement and bytes equal those of the whole timeline planned and written in memory from
// the same clips, all at one rate.

// Fills `clip` with clip `index` as planned: its length in samples, at the plan's rate. Asked
// for in clip order, each clip once, with the same buffer every time.
using TimelineClipLoader = std::function<bool(qsizetype index, AudioBuffer& clip, QString* error)>;

// `peak` is the largest sample magnitude of all clips: above 1 the mix is scaled down by it.
bool writeStreamedTimelineWav(const TimelinePlan& plan, const QList<qint64>& lengths, double peak,
                              const TimelineClipLoader& load, const QString& path, QString* error);
bool writeStreamedTimelineMp3(const TimelinePlan& plan, const QList<qint64>& lengths, double peak,
                              const TimelineClipLoader& load, const QString& path, QString* error);
// The same at a given output level. `stopped` is asked before each chunk: once true, the
// writing ends as a failure would, the target left as it was. The MP3 is encoded by `threads`
// encoders at once (0: one a core); its bytes are the same for any number.
bool writeStreamedTimelineWav(const TimelinePlan& plan, const QList<qint64>& lengths,
                              const OutputLevel& level, const TimelineClipLoader& load,
                              const QString& path, QString* error,
                              const StopCheck& stopped = StopCheck());
bool writeStreamedTimelineMp3(const TimelinePlan& plan, const QList<qint64>& lengths,
                              const OutputLevel& level, const TimelineClipLoader& load,
                              const QString& path, QString* error,
                              const StopCheck& stopped = StopCheck(), int threads = 0);
// The same, showing `observe` every audio frame as the file holds it, in order.
bool writeStreamedTimelineMp3(const TimelinePlan& plan, const QList<qint64>& lengths,
                              const OutputLevel& level, const TimelineClipLoader& load,
                              const QString& path, const PacketSink& observe, QString* error,
                              const StopCheck& stopped = StopCheck(), int threads = 0);
// Renders only `spans` of the timeline (see renderTimelineSpans), loading each clip they need
// once; fails as the writers do when a clip fails or `stopped` says so.
bool renderStreamedTimelineSpans(const TimelinePlan& plan, const QList<qint64>& lengths,
                                 const OutputLevel& level, const TimelineClipLoader& load,
                                 const QList<SampleSpan>& spans, const PlacedPcm16Sink& sink,
                                 QString* error, const StopCheck& stopped = StopCheck());
// Samples [from, to) of the timeline as 16-bit samples, rendered when asked for; the clip
// last loaded is kept between calls, so consecutive ranges load each clip once. Fails as the
// writers do when a clip fails or `stopped` says so. Holds references to its arguments.
using TimelineRangeRenderer =
    std::function<bool(qint64 from, qint64 to, qint16* out, QString* error)>;
TimelineRangeRenderer streamedTimelineRanges(const TimelinePlan& plan, const QList<qint64>& lengths,
                                             const OutputLevel& level,
                                             const TimelineClipLoader& load,
                                             const StopCheck& stopped = StopCheck());
// The timeline as a mono 24-bit Broadcast WAV file at the plan's rate, with `extension` as its
// bext chunk: the samples renderTimelineSamples gives, not brought down to 16 bits first.
bool writeStreamedTimelineBroadcastWav(const TimelinePlan& plan, const QList<qint64>& lengths,
                                       const OutputLevel& level, const TimelineClipLoader& load,
                                       const BroadcastExtension& extension, const QString& path,
                                       QString* error, const StopCheck& stopped = StopCheck());

} // namespace lyrane
