#pragma once

#include <QList>
#include <QString>
#include <QTime>

namespace lyrane {

// One cue of a subtitle file (WebVTT or SRT), or one part of a text to speak.
struct Cue {
    qint64 startMs = 0;
    qint64 endMs = 0;
    QString text;    // the words to speak, markup removed
    QString speaker; // the name in the cue's opening voice span (<v Anna>), empty without one

    QTime startTime() const;
    QTime endTime() const;
};

} // namespace lyrane
