#pragma once

#include <QtGlobal>

namespace lyrane {

// How the clips of a subtitle run are laid onto one timeline.
struct TimelineSettings {
    qint64 paddingMs = 0; // silence added after the last cue
    bool autopad = false; // pad as much as the clips need
    bool autospeed = false;
};

} // namespace lyrane
