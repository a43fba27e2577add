#pragma once

#include "audio/broadcast_wav.h"
#include "audio/stop_check.h"
#include "audio/streamed_timeline.h"
#include "audio/timeline_plan.h"
#include "audio/timeline_render.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QtGlobal>

namespace lyrane {

// One clip's stem: its file is named by `number` ("0001.wav"), and its bext description holds
// `description` (the cue's number and text).
struct StemClip {
    int number = 0;
    QString description;
};

// The narration as the output timeline holds it, for its stems.
struct StemsSource {
    TimelinePlan plan;       // where each clip starts, in samples at plan.sampleRate
    QList<qint64> lengths;   // each clip's length at plan.sampleRate
    OutputLevel level;       // the narration's level in the output
    TimelineClipLoader load; // clip j as placed (trimmed, sped up), at plan.sampleRate
    QList<StemClip> clips;   // one per clip, in the plan's order
    // Added to every bext TimeReference, in 48 kHz samples: the programme's first frame as
    // samples since midnight (its timecode origin), so a workstation places each file at its
    // timecode. 0: the timeline's start is 00:00:00:00.
    quint64 timeReferenceOrigin = 0;
    QDateTime origination = QDateTime::currentDateTime();
};

// The name of the file holding the narration alone over the whole timeline.
extern const char* const kVoiceOverStemName;

// The name of the file of the clip numbered `number`: "0001.wav".
QString stemFileName(int number);

// Writes the stems a mixer drops into a workstation: one Broadcast WAV file per clip and
// voice-over.wav, the narration alone over the whole timeline, all 48 kHz 24-bit mono. Each
// clip is resampled to 48 kHz once (its filter in single precision) and goes to both its own
// file, whose bext TimeReference is its start on the timeline in 48 kHz samples, and the
// voice-over; the clips are read, resampled and written to their files on a thread of their
// own, a few ahead of the voice-over, so memory holds a few clips whatever the length. The files
// are written into a temporary folder beside `directory` that is renamed to it once whole; a folder
// already there is replaced only when it holds nothing but stems (an earlier run's), never a folder
// with other files. A failure or a stop leaves `directory` as it was.
bool writeStemsFolder(const StemsSource& source, const QString& directory, QString* error,
                      const StopCheck& stopped = StopCheck());

} // namespace lyrane
