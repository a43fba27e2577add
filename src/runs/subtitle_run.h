#pragma once

#include "runs/narration.h"
#include "runs/run_configuration.h"
#include "runs/take_choices.h"
#include "subtitles/cue.h"

#include <optional>

namespace lyrane {

// Reads a subtitle file for a run, each cue's speaker named; says why (the line in `failure`)
// when it cannot be used.
std::optional<QList<Cue>> openSubtitleFile(const QString& path, const QString& encoding,
                                           SpeakerLabels labels, QString* failure);

// How many of a file's cues a run narrates: the first --limit, or all.
int narratedCueCount(const RunConfiguration& config, qsizetype cues);

// A subtitle file as the pipeline takes it: its cues at their times, the first --limit of them
// narrated into `outputFile`. `input` names the file in a batch's report.
std::optional<NarrationInput> subtitleInput(const RunConfiguration& config, const QString& path,
                                            const QString& outputFile, const QString& input,
                                            QString* failure);

// Prices the input's cues from the local cache alone, without the key or the network
// (--dry-run), and records them in the report; a cue with an entry in `takes` is priced as
// that take.
void priceInput(NarrationSession& session, const NarrationInput& input,
                const QList<CueTake>& takes = {});

// Narrates (or with --dry-run, lists) one subtitle file of the session.
NarrationOutcome narrateSubtitleFile(NarrationSession& session, const QString& path,
                                     const QString& outputFile, const QString& input,
                                     CostGate& gate);

// --vtt: parse, list (--dry-run) or narrate one subtitle file. Returns the exit status.
int runSubtitleFile(const RunConfiguration& config);

} // namespace lyrane
