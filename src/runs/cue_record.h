#pragma once

#include "audio/timeline_plan.h"
#include "runs/cue_flags.h"
#include "runs/paused_cues.h"
#include "runs/run_report.h"
#include "runs/sentence_groups.h"
#include "runs/take_choices.h"
#include "synthesis/clip_scheduler.h"

#include <QList>

#include <optional>

namespace lyrane {

// Everything a run knows of one narrated cue, so that its job, take, result, placement and
// flags travel together: made by the plan, filled in by the steps, read by the sinks.
struct CueRecord {
    // The plan.
    int index = 0;                   // in the input's cues, from 0
    SentenceGroup group;             // the cues sent in one request with this one; {index, 1} alone
    CueTake take;                    // the take it plays (a text's parts have one)
    std::optional<PausedCue> paused; // said in parts, joined with its pauses
    // The clip it plays: its take's, its joined clip when said in parts, its sentence's when
    // joined with other cues.
    ClipJob job;
    bool cachedAtPlan = false; // the plan counted its clip (or parts) as in the cache

    // The fetch.
    std::optional<ClipResult> result;
    ClipJob placed; // the clip laid out: `job`, or the cue's part of its sentence's clip

    // The place.
    std::optional<ClipPlacement> placement; // on the output's timeline
    double speedUp = 1.0;
    std::optional<qint64> coversDialogueMs; // with --dialogue: 0 when clear
    std::optional<ReportSpeech> speech;     // from the clip's alignment, when it has one
    QList<CueFlag> flags;

    qint64 number() const { return index + 1; }
};

} // namespace lyrane
