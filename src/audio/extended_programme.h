#pragma once

#include "audio/ffmpeg_handles.h"
#include "audio/stop_check.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace lyrane {

// A stop in the programme for extended description: at `atMs` (programme time from the file's
// start) picture and sound stop for `lengthMs`, then go on.
struct ProgrammePause {
    qint64 atMs = 0;
    qint64 lengthMs = 0;
};

// Where the programme's picture can be held: the start of a frame before which every earlier
// frame has been decoded, so the frames after it can be moved later without reordering any.
// In a stream without reordered frames that is every frame's start.
class HoldPoints {
public:
    // Fails, naming the file, when it has no video stream.
    bool open(const QString& path, QString* error);
    // The latest such point at or before `timeMs`; `timeMs` itself before the first frame.
    qint64 atOrBefore(qint64 timeMs);
    QString videoCodec() const;

private:
    QString path;
    ffmpeg::InputFile input;
    int video = -1;
};

struct ExtendedProgrammeReport {
    QString videoCodec;
    QString audioCodec;  // empty: the programme has no sound
    QStringList leftOut; // streams not carried, as "subtitle stream 2 (subrip)"
    qint64 pausedMs = 0; // the pauses that fell inside the programme, in all
};

// Writes the programme with its pauses into `outputPath` (QuickTime, or Matroska for a picture
// QuickTime cannot hold): the first video stream copied packet for packet, each frame after a pause
// moved later by it, so the frame before a pause stays on screen through it; its `audioStream`-th
// sound decoded with silence laid into each pause and encoded again (its own codec where FFmpeg
// encodes it, else AAC). Other streams are left out. Streams throughout; `stopped` ends it as a
// failure.
bool writeExtendedProgramme(const QString& programmePath, int audioStream,
                            const QList<ProgrammePause>& pauses, const QString& outputPath,
                            bool soundKept, ExtendedProgrammeReport* report,
                            const StopCheck& stopped, QString* error);

} // namespace lyrane
