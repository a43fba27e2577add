#pragma once

#include "audio/programme_mix.h"

#include <QString>
#include <QtGlobal>

#include <optional>

namespace lyrane {

// How the clips of a subtitle run are laid onto one timeline.
struct TimelineSettings {
    qint64 paddingMs = 0; // silence added after the last cue
    bool autopad = false; // pad as much as the clips need
    bool autospeed = false;
    std::optional<double> loudnessLufs; // unset: peak normalisation only
    double truePeakDbtp = -1.0;         // ceiling under a loudness target
    ProgrammeMixSettings programme;     // --mix-with; an empty path: narration alone

    // Audio description.
    QString loudnessPreset; // --loudness-preset, as given; empty: none
    QString dialogueFile;   // --dialogue: descriptions are fitted between its cues
    qint64 maxShiftMs = 2000;
    bool strictFit = false; // a description over dialogue fails the run
    bool extended = false;  // the programme pauses for a description that cannot fit
    QString timeMapFile;    // --time-map: the pauses, as JSON
};

} // namespace lyrane
