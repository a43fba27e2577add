#pragma once

#include "cli/options.h"
#include "subtitles/vtt_parser.h"
#include "synthesis/segment_generation.h"

namespace lyrane {

// --vtt: parse, list (--dry-run) or narrate one subtitle file. Returns the exit status.
int runSubtitleFile(const Config& config);

// --batch: narrate each listed subtitle file in turn, output next to its input.
int runBatch(const Config& config);

// Lays the generated clips onto one timeline and writes the output file (or stops after the
// clips with --no-padding). `allCues` is the whole file: it fixes the timeline length.
int assembleTimeline(const Config& config, const QList<VttCue>& allCues,
                     const QList<AudioSegment>& segments);

// The batch output for one input: beside it, named after it, .mp3 or .wav after `--output`.
QString batchOutputPath(const QString& inputFile, const QString& outputOption);

} // namespace lyrane
