#pragma once

#include "subtitles/vtt_parser.h"

#include <QList>

namespace lyrane {

// --dry-run: prints the cues (the first `limit`, all when 0) on standard output.
void printCueListing(const QList<VttCue>& cues, int limit);

} // namespace lyrane
