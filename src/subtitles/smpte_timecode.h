#pragma once

#include <QString>
#include <QStringView>
#include <QtGlobal>

#include <optional>

namespace lyrane {

// A video frame rate as an exact fraction of frames per second: 25/1, 30000/1001 for 29.97.
struct FrameRate {
    qint64 numerator = 25;
    qint64 denominator = 1;

    // The frames a timecode counts in each of its seconds: 30 at 29.97, 24 at 23.976.
    qint64 framesPerTimecodeSecond() const;
    // Only 29.97 and 59.94 have drop-frame timecodes.
    bool hasDropFrame() const;
    // The rate as written: "29.97", "25".
    QString toString() const;
};

// "23.976", "24", "25", "29.97", "30", "50", "59.94" or "60", as --frame-rate takes them;
// nullopt for anything else.
std::optional<FrameRate> parseFrameRate(QStringView value);
// Those rates, for messages: "23.976, 24, 25, ... 60".
QString knownFrameRates();

// A position on a video's timeline, in frames counted from 00:00:00:00.
struct SmpteTimecode {
    qint64 frame = 0;
    FrameRate rate;

    // Where the frame starts, rounded to the nearest microsecond (halves up).
    qint64 toMicroseconds() const;
};

// Whether the text has a timecode's shape: hh:mm:ss:ff, or hh:mm:ss;ff for drop-frame.
bool looksLikeTimecode(QStringView text);

// Reads hh:mm:ss:ff (non-drop frame) or hh:mm:ss;ff (drop-frame: frame numbers 00 and 01, at
// 59.94 00 to 03, are skipped at the start of each minute but every tenth) at `rate`. Fails
// with a phrase for the user in `error`: a malformed timecode, minutes or seconds past 59, a
// frame number at or past the rate, a frame number drop-frame skips, or a drop-frame timecode
// at a rate that has none.
std::optional<SmpteTimecode> readTimecode(QStringView text, const FrameRate& rate, QString* error);

// Microseconds to milliseconds, to the nearest (halves away from zero).
qint64 roundedMilliseconds(qint64 microseconds);

} // namespace lyrane
