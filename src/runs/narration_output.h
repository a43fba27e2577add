#pragma once

#include "audio/loudness.h"
#include "audio/stop_check.h"
#include "runs/narration_outcome.h"
#include "runs/narration_progress.h"
#include "runs/run_context.h"
#include "runs/run_report.h"
#include "runs/timeline_settings.h"

#include <QString>

#include <functional>
#include <optional>

namespace lyrane {

struct TimelinePlan;

// Writes the narration to `path`, as MP3 or WAV; false with the reason in `error`.
using NarrationWriter = std::function<bool(const QString& path, bool mp3, QString* error)>;

// The one output step of every run: the narration mixed over the --mix-with programme (when
// there is one and the narration has a timeline plan), else written as MP3 or WAV after the
// output's name. Says what it made in the input's words, then the loudness reached under
// `gain` (which the writer may correct). A stop leaves no partial file and is Interrupted.
NarrationOutcome writeNarrationOutput(const TimelineSettings& settings, const TimelinePlan* plan,
                                      const QString& outputFile, const ProgressWording& wording,
                                      const NarrationWriter& write,
                                      const std::optional<LoudnessGain>& gain, RunContext context);

// What the report says of an output written under a loudness target; nothing without one.
std::optional<ReportLoudness> reportLoudness(const TimelineSettings& settings,
                                             const std::optional<LoudnessGain>& gain);

} // namespace lyrane
