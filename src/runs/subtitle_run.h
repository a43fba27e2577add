#pragma once

#include "runs/narration.h"
#include "runs/run_configuration.h"
#include "subtitles/cue.h"

#include <optional>

namespace lyrane {

// Reads a subtitle file or script for a run, its times read as `reading` says, each cue's
// speaker named, its notices said on `console`; nothing, with the failure in `failure`, when it
// cannot be used.
std::optional<QList<Cue>> openSubtitleFile(const QString& path, const QString& encoding,
                                           const SubtitleReadingOptions& reading,
                                           SpeakerLabels labels, Console& console,
                                           NarrationOutcome* failure);

// How many of a file's cues a run narrates: the first --limit, or all.
int narratedCueCount(const RunConfiguration& config, qsizetype cues);

// A subtitle file as the pipeline takes it: its cues at their times, the first --limit of them
// narrated into `outputFile`. `input` names the file in a batch's report.
std::optional<NarrationInput> subtitleInput(const RunConfiguration& config, const QString& path,
                                            const QString& outputFile, const QString& input,
                                            Console& console, NarrationOutcome* failure);

// A dry run's plan: names and takes from the local cache alone, without the key, the mirror or
// the network (a voice given by the name of an account voice is not looked up, so its clips
// count as new).
std::optional<NarrationPlan> planDryRun(NarrationSession& session, const NarrationInput& input,
                                        NarrationOutcome* failure);
// Says what a dry run's plan costs and records its cues in the session's report.
void sayDryRunCost(NarrationSession& session, const NarrationPlan& plan);

// One subtitle file of the session as the pipeline takes it, its dialogue read and its takes
// checked; nothing, with the failure in `failure`, when it cannot be narrated.
std::optional<NarrationInput>
prepareSubtitleNarration(NarrationSession& session, const QString& path, const QString& outputFile,
                         const QString& input, NarrationOutcome* failure);

// Narrates (or with --dry-run, lists) one subtitle file of the session; the outcome is said.
NarrationOutcome narrateSubtitleFile(NarrationSession& session, const QString& path,
                                     const QString& outputFile, const QString& input,
                                     CostGate& gate);

// --vtt: parse, list (--dry-run) or narrate one subtitle file. Returns the exit status.
int runSubtitleFile(const RunConfiguration& config, RunContext context);

} // namespace lyrane
