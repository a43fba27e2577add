#pragma once

#include "subtitles/smpte_timecode.h"

#include <optional>

namespace lyrane {

// How times in scripts are read, as --frame-rate and --timecode-origin give them.
struct SubtitleReadingOptions {
    // The rate of timecodes in script tables, and of frames in a DAPT script that names no
    // ttp:frameRate. Unset: a timecode in a script table is an error.
    std::optional<FrameRate> frameRate;
    // The timecode of the programme's first frame, subtracted from every time read: a table's
    // times, and a DAPT script's times placed by its daptm:daptOriginTimecode.
    std::optional<SmpteTimecode> timecodeOrigin;
};

} // namespace lyrane
