#include "subtitles/cue.h"

namespace lyrane {

QTime Cue::startTime() const {
    return QTime(0, 0).addMSecs(static_cast<int>(startMs));
}

QTime Cue::endTime() const {
    return QTime(0, 0).addMSecs(static_cast<int>(endMs));
}

} // namespace lyrane
