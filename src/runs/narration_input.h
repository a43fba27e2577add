#pragma once

#include "runs/dialogue_fit.h"
#include "runs/narration_progress.h"
#include "runs/sentence_groups.h"
#include "subtitles/cue.h"

#include <QList>
#include <QString>

#include <optional>

namespace lyrane {

// How clips are laid out: at their cues' times (a subtitle file, onto a timeline that lasts
// as long as the file) or one after the other (a text, or its parts).
enum class CueLayout { CueTimes, BackToBack };

// One thing to narrate: its cues, how they are laid out and how its progress is worded.
struct NarrationInput {
    CueLayout layout = CueLayout::CueTimes;
    const ProgressWording* wording = &subtitleWording();
    QList<Cue> cues;         // the whole file: the last cue's end fixes the timeline's length
    int count = 0;           // cues narrated, from the first
    QString leadingContext;  // sent as the text before the first cue
    QString trailingContext; // and after the last cue of the file
    QString input;           // names the file in the report of a batch
    QString outputFile;
    QList<SentenceGroup> groups; // --join-sentences: each narrated cue's group; else empty
    std::optional<QList<TimeSpan>> dialogue; // --dialogue, merged
};

} // namespace lyrane
