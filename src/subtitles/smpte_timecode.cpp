#include "subtitles/smpte_timecode.h"

#include <QObject>
#include <QStringList>

namespace lyrane {

namespace {

__extension__ typedef __int128 Wide;

struct NamedRate {
    const char* name;
    qint64 numerator;
    qint64 denominator;
};

constexpr NamedRate namedRates[] = {
    {"23.976", 24000, 1001}, {"24", 24, 1}, {"25", 25, 1},          {"29.97", 30000, 1001},
    {"30", 30, 1},           {"50", 50, 1}, {"59.94", 60000, 1001}, {"60", 60, 1},
};

// More hours than any programme has; keeps every frame count far inside 64 bits.
constexpr qint64 maxHours = 999999;

bool isAsciiDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// Reads `count` digits (or, with count 0, one to nine) at `pos`.
std::optional<qint64> digitsAt(QStringView text, qsizetype& pos, int count) {
    const qsizetype start = pos;
    const qsizetype limit = count > 0 ? count : 9;
    qint64 value = 0;
    while (pos < text.size() && pos - start < limit && isAsciiDigit(text[pos])) {
        value = value * 10 + (text[pos].unicode() - '0');
        ++pos;
    }
    const qsizetype read = pos - start;
    if (read == 0 || (count > 0 && read != count)) {
        return std::nullopt;
    }
    return value;
}

void setError(QString* error, const QString& message) {
    if (error) {
        *error = message;
    }
}

} // namespace

qint64 FrameRate::framesPerTimecodeSecond() const {
    return denominator > 0 ? (numerator + denominator - 1) / denominator : 0;
}

bool FrameRate::hasDropFrame() const {
    return denominator == 1001 && (numerator == 30000 || numerator == 60000);
}

QString FrameRate::toString() const {
    for (const NamedRate& named : namedRates) {
        if (named.numerator * denominator == numerator * named.denominator) {
            return QLatin1String(named.name);
        }
    }
    return denominator == 1 ? QString::number(numerator)
                            : QString::number(double(numerator) / double(denominator), 'g', 6);
}

std::optional<FrameRate> parseFrameRate(QStringView value) {
    const QStringView trimmed = value.trimmed();
    for (const NamedRate& named : namedRates) {
        if (trimmed == QLatin1String(named.name)) {
            return FrameRate{named.numerator, named.denominator};
        }
    }
    return std::nullopt;
}

QString knownFrameRates() {
    QStringList names;
    for (const NamedRate& named : namedRates) {
        names << QLatin1String(named.name);
    }
    return names.join(QLatin1String(", "));
}

qint64 SmpteTimecode::toMicroseconds() const {
    if (rate.numerator <= 0 || rate.denominator <= 0) {
        return 0;
    }
    const Wide scaled = Wide(frame) * 1000000 * rate.denominator;
    return qint64((2 * scaled + rate.numerator) / (2 * Wide(rate.numerator)));
}

bool looksLikeTimecode(QStringView text) {
    qsizetype pos = 0;
    const auto at = [&](QLatin1Char c) {
        return pos < text.size() && text[pos] == c;
    };
    if (!digitsAt(text, pos, 0) || !at(QLatin1Char(':'))) {
        return false;
    }
    ++pos;
    if (!digitsAt(text, pos, 2) || !at(QLatin1Char(':'))) {
        return false;
    }
    ++pos;
    if (!digitsAt(text, pos, 2) || !(at(QLatin1Char(':')) || at(QLatin1Char(';')))) {
        return false;
    }
    ++pos;
    return digitsAt(text, pos, 2) && pos == text.size();
}

std::optional<SmpteTimecode> readTimecode(QStringView text, const FrameRate& rate, QString* error) {
    text = text.trimmed();
    if (!looksLikeTimecode(text)) {
        setError(error, QObject::tr("\"%1\" is no timecode (hh:mm:ss:ff, or hh:mm:ss;ff for "
                                    "drop-frame)")
                            .arg(text));
        return std::nullopt;
    }
    qsizetype pos = 0;
    const qint64 hours = *digitsAt(text, pos, 0);
    ++pos;
    const qint64 minutes = *digitsAt(text, pos, 2);
    ++pos;
    const qint64 seconds = *digitsAt(text, pos, 2);
    const bool dropFrame = text[pos] == QLatin1Char(';');
    ++pos;
    const qint64 frames = *digitsAt(text, pos, 2);

    const qint64 perSecond = rate.framesPerTimecodeSecond();
    if (hours > maxHours || minutes > 59 || seconds > 59) {
        setError(error, QObject::tr("the timecode %1 is out of range (minutes and seconds go to "
                                    "59)")
                            .arg(text));
        return std::nullopt;
    }
    if (frames >= perSecond) {
        setError(error, QObject::tr("the timecode %1 has frame %2, but at %3 fps frames go from "
                                    "00 to %4")
                            .arg(text)
                            .arg(frames)
                            .arg(rate.toString())
                            .arg(perSecond - 1));
        return std::nullopt;
    }
    const qint64 totalMinutes = hours * 60 + minutes;
    qint64 frame = (totalMinutes * 60 + seconds) * perSecond + frames;
    if (dropFrame) {
        if (!rate.hasDropFrame()) {
            setError(error, QObject::tr("the timecode %1 is drop-frame (\";\"), but %2 fps has "
                                        "no drop-frame timecode")
                                .arg(text, rate.toString()));
            return std::nullopt;
        }
        // Two frame numbers a minute at 29.97, four at 59.94, except each tenth minute.
        const qint64 dropped = perSecond / 15;
        if (seconds == 0 && minutes % 10 != 0 && frames < dropped) {
            setError(error, QObject::tr("the timecode %1 names a frame that drop-frame timecode "
                                        "skips (frame numbers 00 to %2 do not exist at the "
                                        "start of a minute that is not a tenth)")
                                .arg(text)
                                .arg(dropped - 1, 2, 10, QLatin1Char('0')));
            return std::nullopt;
        }
        frame -= dropped * (totalMinutes - totalMinutes / 10);
    }
    return SmpteTimecode{frame, rate};
}

qint64 roundedMilliseconds(qint64 microseconds) {
    return microseconds >= 0 ? (microseconds + 500) / 1000 : -((-microseconds + 500) / 1000);
}

} // namespace lyrane
