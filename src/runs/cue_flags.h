#pragma once

#include <QList>
#include <QString>

namespace lyrane {

// Why a cue's clip may have come out wrong.
enum class CueFlagKind {
    PushedLater,    // value: ms later than its cue
    SpedUp,         // value: the factor
    LongerThanSlot, // value: ms over the slot, at its own pace
    FastSpeech,     // value: characters a second (a skipped or cut-off line)
    SlowSpeech,     // value: characters a second (a drawl)
    PauseInside,    // value: ms of the longest silence inside the speech
    FullScale,      // value: samples at full scale
    CutShort,       // value: characters of the text missing from the alignment
};

struct CueFlag {
    CueFlagKind kind = CueFlagKind::PushedLater;
    double value = 0.0;
};

// What the timeline pass measured of one cue's clip.
struct CueMeasure {
    qint64 delayMs = 0;
    double speedUp = 1.0;
    qint64 clipMs = 0; // at its own pace
    qint64 slotMs = 0; // up to the next cue's start
    qint64 characters = 0;
    qint64 speechMs = 0; // first sound to last, at its own pace
    qint64 longestPauseMs = 0;
    qint64 fullScaleSamples = 0;
    qint64 missingCharacters = 0; // from the alignment, when the clip has one
};

// Each cue's flags: pushed later by more than half a second, sped up, longer than its slot,
// a speech rate more than 40% from the run's median, a silence of more than a second inside
// the speech, samples at full scale, an alignment that stops before the end of the text.
QList<QList<CueFlag>> flagCues(const QList<CueMeasure>& cues);

// "pushed_later", "sped_up", ...: the report's names.
QString cueFlagName(CueFlagKind kind);
// "pushed later by 820 ms", "sped up 1.31x", ...: for people.
QString describeCueFlag(const CueFlag& flag);

// "Flagged: 3 of 40 cues (2 pushed later, 1 sped up); see --review\n" (`reviewFile` named
// instead when there is one); empty when no cue is flagged.
QString flaggedLine(const QList<QList<CueFlag>>& flags, const QString& reviewFile);

} // namespace lyrane
