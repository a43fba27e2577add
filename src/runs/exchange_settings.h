#pragma once

#include "subtitles/subtitle_reading_options.h"

#include <QString>

namespace lyrane {

// The audio description exchange formats: how timecoded scripts are read, and the DAPT script
// and stems a subtitle run writes besides its output.
struct ExchangeSettings {
    SubtitleReadingOptions reading; // --frame-rate and --timecode-origin
    QString daptFile;               // --dapt-out; empty: none
    bool embedClips = false;        // --dapt-embed: the clips' bytes go into the DAPT script
    QString stemsDirectory;         // --stems; empty: none
};

} // namespace lyrane
