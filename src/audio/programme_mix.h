#pragma once

#include "audio/ducking_envelope.h"
#include "audio/extended_programme.h"
#include "audio/loudness.h"
#include "audio/output_kind.h"
#include "audio/stop_check.h"

#include <QList>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <optional>

namespace lyrane {

// What the mix needs to know of the programme before the narration is planned.
struct ProgrammeInfo {
    qint64 durationMs = 0; // the file's length; the narration's timeline lasts as long
    int audioStreamCount = 0;
    int videoStreamCount = 0;
};

// Opens the file and reads its length and streams; fails with a message naming the file.
std::optional<ProgrammeInfo> probeProgramme(const QString& path, QString* error);

struct ProgrammeMixSettings {
    QString programmePath;
    int audioStream = 0;  // among the programme's audio streams, from 0
    double duckDb = 10.0; // 0: the programme keeps its level
    int duckAttackMs = 150;
    int duckReleaseMs = 400;
    bool keepOriginalAudio = false; // video containers: the programme's audio as a second track
    QString audioLanguage;          // ISO 639-2 of the mixed track; empty: none set
    QString audioTitle = QStringLiteral("Narration");
    // The mixed track is audio description: flagged so players offer it as such, and with
    // keepOriginalAudio placed after the programme's own track, which stays the default.
    bool described = false;
    // Set: one gain on the whole mix brings it to this integrated loudness, the true peak
    // kept under the ceiling; the narration keeps its level against the programme.
    std::optional<double> loudnessLufs;
    double truePeakDbtp = -1.0;
    // Extended description: the programme is first written with these pauses (see
    // writeExtendedProgramme) and the narration mixed over that.
    QList<ProgrammePause> pauses;
};

// The narration, mono, in time order from the programme's start, at its level against the
// programme (a loudness target then scales the whole mix).
struct NarrationSource {
    int sampleRate = 0;
    qint64 totalSamples = 0;
    QList<SampleSpan> clips; // where speech sounds, in narration samples: ducking follows it
    // Fills up to `max` samples and returns how many, 0 at the end, -1 on failure (`error` set
    // by the callee through the last argument).
    std::function<qint64(double* out, qint64 max, QString* error)> read;
    // Asked between packets and frames of the mix: once true, the mix ends as a failure
    // would, leaving no partial file.
    StopCheck stopped;
    // Starts the narration again from its first sample: a loudness target mixes it more than
    // once (measured, then written).
    std::function<bool(QString* error)> rewind;
};

struct ProgrammeMixReport {
    qint64 extendedByMs = 0; // how far the narration runs past the programme's end
    bool hasProgrammeAudio = false;
    bool hasProgrammeVideo = false;       // a video output: the programme has pictures to show
    QStringList skippedStreams;           // programme streams the output container cannot carry
    std::optional<LoudnessGain> loudness; // with a loudness target: the gain and the mix's figures
};

// Decodes the programme's audio, ducks it under the narration, mixes the two and writes
// `outputPath` (kind by extension), copying the programme's video and other streams into
// video containers. Streams throughout; the output appears whole under its name or not at all.
// With a loudness target the mix is made twice, measured and then written at one gain (a
// third time when a lossy codec moved its level; see writeStreamedTimelineMp3AtLoudness).
bool mixNarrationOverProgramme(const ProgrammeMixSettings& settings,
                               const NarrationSource& narration, const QString& outputPath,
                               ProgrammeMixReport* report, QString* error);

} // namespace lyrane
