#pragma once

// Rebuilding only what changed: the byte patches that turn an MP3 file this program wrote into
// the file of a timeline of the same length in which some sample spans changed. The frames
// around each changed span are encoded again (from a few frames before, as a chunk of the
// parallel writer is) and laid into the stream between seams on both sides; every other frame
// keeps its bytes, the payload bytes that frames after a patch already use included. Frame
// sizes follow the stream's padding pattern, so a patch never moves a byte: it overwrites.

#include "audio/mp3_chunked_encoder.h"
#include "audio/mp3_codec.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <functional>

namespace lyrane {

// Samples [from, to) of the timeline.
struct Mp3SampleSpan {
    qint64 from = 0;
    qint64 to = 0;
};

struct Mp3BytePatch {
    qint64 offset = 0;
    QByteArray bytes;
};

// Fills `out` with samples [from, to) of the new timeline; false (with a reason) stops.
using Mp3SampleRenderer = std::function<bool(qint64 from, qint64 to, qint16* out, QString* error)>;

struct Mp3PatchOptions {
    int sampleRate = 0;
    int bitRate = kMp3BitRate;
    int threads = 0;   // 0: QThread::idealThreadCount()
    Mp3ChunkPlan plan; // the writer's: the frames encoded again are cut as it cut them
};

struct Mp3SpanPatches {
    enum class Outcome {
        Patched,   // `patches` turn the file into the new timeline's (none when nothing changed)
        WholeFile, // the file cannot be patched (no tag of ours, another length or layout)
        Failed,    // reading, rendering or encoding failed
    };
    Outcome outcome = Outcome::Failed;
    QList<Mp3BytePatch> patches; // in file order, never overlapping
    QString reason;              // why, unless Patched
    Mp3SeamCounts seams;         // seams made inside the patched regions and fall-backs
    int regions = 0;             // frame ranges encoded again
    qint64 framesPatched = 0;
};

// The patches for `path` (written by writeMp3File with `options`' rate and bit rate) to hold a
// timeline of `totalSamples` samples whose samples changed only within `changed`. Nothing is
// written; the caller applies the patches.
Mp3SpanPatches patchMp3Spans(const QString& path, qint64 totalSamples,
                             const QList<Mp3SampleSpan>& changed, const Mp3SampleRenderer& render,
                             const Mp3PatchOptions& options);

} // namespace lyrane
