#pragma once

#include "subtitles/cue.h"

#include <QList>
#include <QStringList>
#include <QStringView>

namespace lyrane {

// Video sites write automatic captions as rolling cues: each cue shows the previous line again
// above the new one (spelled out word by word with inline timestamps and <c> spans), and a
// cue of about 10 ms repeats the finished line between them.

// A cheap look at the raw text: could it be written in that style at all?
bool mayHoldRollingCaptions(QStringView content);

// True when the cues show the style: some cue of at most a few tens of milliseconds only
// repeats lines that the cue before it showed.
bool isRollingCaptionStyle(const QList<Cue>& cues, const QList<QStringList>& cueLines);

// Keeps each spoken line once, in the cue where it first appears; cues left without a new line
// (the short repeats) are dropped.
QList<Cue> collapseRollingCaptions(const QList<Cue>& cues, const QList<QStringList>& cueLines);

} // namespace lyrane
