#pragma once

#include "subtitles/smpte_timecode.h"

#include <QString>
#include <QStringView>
#include <QXmlStreamAttributes>
#include <QtGlobal>

#include <optional>

namespace lyrane {

// The parameters of a TTML document that time expressions depend on (ttp:frameRate,
// ttp:frameRateMultiplier, ttp:subFrameRate, ttp:tickRate), as TTML defaults them.
struct TtmlTimeParameters {
    bool frameRateGiven = false; // by ttp:frameRate, or by the user for a document without
    qint64 frameRate = 30;
    qint64 multiplierNumerator = 1;
    qint64 multiplierDenominator = 1;
    qint64 subFrameRate = 1;
    // Ticks a second, as a fraction: without ttp:tickRate but with a frame rate, a tick is a
    // sub-frame, and 29.97 fps has no whole number of them a second.
    qint64 tickRate = 1;
    qint64 tickRateDivisor = 1;

    // The effective frame rate as a fraction in lowest terms: 30000/1001 for 30 * 1000/1001.
    FrameRate exactFrameRate() const;
};

// The time parameters on a tt element. Without a ttp:frameRate, `fallback` (the frame rate
// the user gave) stands in for it, else TTML's 30; without a ttp:tickRate, a tick is a
// sub-frame when there is a frame rate, else a second. Fails with a phrase naming the
// attribute that cannot be read.
std::optional<TtmlTimeParameters> readTtmlTimeParameters(const QXmlStreamAttributes& root,
                                                         const std::optional<FrameRate>& fallback,
                                                         QString* error);

// Reads a TTML time expression in the media time base, to the nearest microsecond: a clock
// time "hh:mm:ss", "hh:mm:ss.fff" or "hh:mm:ss:ff[.sub]" (frames at the effective frame
// rate), or an offset "5.1s", "200ms", "1.5h", "2m", "25f", "100t". Fails with a phrase naming
// the expression in `error`.
std::optional<qint64> readTtmlTime(QStringView text, const TtmlTimeParameters& parameters,
                                   QString* error);

// Microseconds as a clock time with milliseconds, "hh:mm:ss.mmm" (to the nearest millisecond).
QString ttmlClockTime(qint64 microseconds);

} // namespace lyrane
