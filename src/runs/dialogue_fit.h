#pragma once

#include <QList>
#include <QtGlobal>

#include <functional>

namespace lyrane {

// A stretch of the programme's time, [startMs, endMs).
struct TimeSpan {
    qint64 startMs = 0;
    qint64 endMs = 0;
};

// The dialogue as disjoint spans in time order: overlapping and touching cues joined, empty
// ones left out.
QList<TimeSpan> mergedSpans(QList<TimeSpan> spans);

struct DescriptionToFit {
    qint64 cueStartMs = 0;
    qint64 lengthMs = 0; // at its own pace
};

struct FitLimits {
    qint64 maxShiftMs = 2000;
    double maxSpeedUp = 1.0; // 1: never sped up
    // Set (extended description): a description that would cover dialogue pauses the
    // programme instead, at the latest point at or before the dialogue where the picture can
    // be held, which this gives for a time.
    std::function<qint64(qint64 timeMs)> holdPoint;
};

enum class FitOutcome {
    AtCue,          // clear of dialogue where it was asked
    Shifted,        // later, within the shift, into a gap (or after the description before it)
    SpedUp,         // at its cue, faster, to end before the next dialogue
    CoversDialogue, // where it was asked, over dialogue
    Paused,         // at its cue; the programme pauses at pauseAtMs while it ends
};

struct DescriptionFit {
    FitOutcome outcome = FitOutcome::AtCue;
    qint64 startMs = 0;
    qint64 lengthMs = 0;      // as it plays
    double speedUp = 1.0;     // SpedUp: above 1
    qint64 coveredMs = 0;     // CoversDialogue: the dialogue it plays over, in all
    qint64 coveredFromMs = 0; // CoversDialogue: where it first meets dialogue
    qint64 pauseAtMs = 0;     // Paused: programme time the programme stops at
    qint64 pauseMs = 0;       // Paused: for how long
};

// Places descriptions, in cue order, against merged dialogue: each at its cue when clear of
// dialogue; else at the earliest time up to maxShiftMs after its cue where it fits between
// dialogue and the descriptions before it; else sped up (within the cap) to fit the gap at its
// cue; else at its cue (or after the description before it), covering dialogue, or with a
// hold point pausing the programme from where it would. A description never overlaps the one
// before it. Each is found by a binary search and a walk over the
// dialogue its window spans.
QList<DescriptionFit> fitDescriptions(const QList<TimeSpan>& dialogue,
                                      const QList<DescriptionToFit>& descriptions,
                                      const FitLimits& limits);

// The dialogue gap that holds `timeMs`: from the end of the dialogue before it to the start of
// the next (-1 when there is none); empty (start == end == timeMs) inside dialogue.
TimeSpan gapAt(const QList<TimeSpan>& dialogue, qint64 timeMs);

} // namespace lyrane
