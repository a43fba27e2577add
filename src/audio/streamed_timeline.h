#pragma once

#include "audio/audio_processor.h"

#include <QList>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <optional>

namespace lyrane {

// A timeline planned from clip lengths and rendered with each clip loaded only while it is
// written, so a long narration never holds all its clips in memory. Placement and bytes equal
// AudioProcessor::planTimeline / writeTimelineWav / writeTimelineMp3 of the same clips, all at
// one rate.

std::optional<TimelinePlan> planTimelineFromLengths(const QList<qint64>& lengths, int sampleRate,
                                                    const QList<qint64>& startTimesMs,
                                                    const QList<qint64>& endTimesMs,
                                                    qint64 durationMs, qint64 paddingMs,
                                                    QString* error);

// Loads a clip as AudioProcessor::loadAudio and then trimEndSilence would, into `clip`, keeping
// its storage where it can: one buffer serves a whole timeline, and fresh memory is costly.
bool loadTrimmedClip(const AudioProcessor& audio, const QString& path, AudioBuffer& clip,
                     QString* error);

// Fills `clip` with clip `index` as planned: its length in samples, at the plan's rate. Asked
// for in clip order, each clip once, with the same buffer every time.
using TimelineClipLoader = std::function<bool(qsizetype index, AudioBuffer& clip, QString* error)>;

// `peak` is the largest sample magnitude of all clips: above 1 the mix is scaled down by it.
bool writeStreamedTimelineWav(const TimelinePlan& plan, const QList<qint64>& lengths, double peak,
                              const TimelineClipLoader& load, const QString& path, QString* error);
bool writeStreamedTimelineMp3(const TimelinePlan& plan, const QList<qint64>& lengths, double peak,
                              const TimelineClipLoader& load, const QString& path, QString* error);

} // namespace lyrane
