#pragma once

#include "synthesis/clip_source.h"

#include <QElapsedTimer>
#include <QString>

namespace lyrane {

// One line on a terminal that is redrawn in place while clips arrive: cues done of the total,
// where they came from, characters billed so far, time taken and time left.
class StatusLine {
public:
    explicit StatusLine(int total);
    ~StatusLine();
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    // Whether standard error is a terminal: only then is a line redrawn in place.
    static bool isTerminal();

    // A clip is in the local cache, from `tier`, for `characters` billed (0 when not billed).
    void clipReady(ClipTier tier, qint64 characters);
    // Clears the line so that a whole line can be printed; the next update draws it again.
    void clear();
    // The line as it reads now, without control characters.
    QString text() const;

private:
    void draw(bool now);

    int total = 0;
    int done = 0;
    int fromCache = 0;
    int fromMirror = 0;
    int fromService = 0;
    qint64 characters = 0;
    QElapsedTimer elapsed;
    qint64 drawnAtMs = -1;
    bool shown = false;
};

} // namespace lyrane
