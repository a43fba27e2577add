#pragma once

#include <QString>
#include <QStringView>
#include <QtGlobal>

#include <optional>

namespace lyrane {

// The parameters of a TTML document that time expressions depend on (ttp:frameRate,
// ttp:frameRateMultiplier, ttp:subFrameRate, ttp:tickRate), as TTML defaults them.
struct TtmlTimeParameters {
    qint64 frameRate = 30;
    qint64 multiplierNumerator = 1;
    qint64 multiplierDenominator = 1;
    qint64 subFrameRate = 1;
    // Ticks a second, as a fraction: without ttp:tickRate but with a frame rate, a tick is a
    // sub-frame, and 29.97 fps has no whole number of them a second.
    qint64 tickRate = 1;
    qint64 tickRateDivisor = 1;
};

// Reads a TTML time expression in the media time base, to the nearest microsecond: a clock
// time "hh:mm:ss", "hh:mm:ss.fff" or "hh:mm:ss:ff[.sub]" (frames at the effective frame
// rate), or an offset "5.1s", "200ms", "1.5h", "2m", "25f", "100t". Fails with a phrase naming
// the expression in `error`.
std::optional<qint64> readTtmlTime(QStringView text, const TtmlTimeParameters& parameters,
                                   QString* error);

// Microseconds as a clock time with milliseconds, "hh:mm:ss.mmm" (to the nearest millisecond).
QString ttmlClockTime(qint64 microseconds);

} // namespace lyrane
