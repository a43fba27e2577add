#include "subtitles/ttml_time.h"

#include <QObject>

#include <numeric>

namespace lyrane {

namespace {

__extension__ typedef __int128 Wide;

// Far beyond any programme, and far inside 64 bits once nested times are added up.
constexpr qint64 maxMicroseconds = qint64(999999) * 3600 * 1000000;
// Fraction digits beyond these change no microsecond.
constexpr int maxFractionDigits = 9;
constexpr int maxIntegerDigits = 12;

bool isAsciiDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// An exact number of seconds.
struct Seconds {
    Wide numerator = 0;
    Wide denominator = 1;
};

struct Cursor {
    QStringView text;
    qsizetype pos = 0;

    bool at(char c) const { return pos < text.size() && text[pos] == QLatin1Char(c); }
    bool atEnd() const { return pos == text.size(); }
    // Digits at the cursor: their value and how many there were (those past `keep` are read
    // but not counted in the value).
    qsizetype digits(Wide* value, qsizetype keep = maxIntegerDigits) {
        const qsizetype start = pos;
        *value = 0;
        for (; pos < text.size() && isAsciiDigit(text[pos]); ++pos) {
            if (pos - start < keep) {
                *value = *value * 10 + (text[pos].unicode() - '0');
            }
        }
        return pos - start;
    }
};

// The digits after a decimal point, added to `value` (a whole number so far).
bool readFraction(Cursor& cursor, Seconds* value) {
    Wide fraction = 0;
    const qsizetype fractionDigits = cursor.digits(&fraction, maxFractionDigits);
    if (fractionDigits == 0) {
        return false;
    }
    for (qsizetype i = 0; i < qMin<qsizetype>(fractionDigits, maxFractionDigits); ++i) {
        value->numerator *= 10;
        value->denominator *= 10;
    }
    value->numerator += fraction;
    return true;
}

// A decimal number: "12", "5.1".
bool readDecimal(Cursor& cursor, Seconds* value) {
    Wide whole = 0;
    const qsizetype wholeDigits = cursor.digits(&whole);
    if (wholeDigits == 0 || wholeDigits > maxIntegerDigits) {
        return false;
    }
    *value = Seconds{whole, 1};
    if (cursor.at('.')) {
        ++cursor.pos;
        return readFraction(cursor, value);
    }
    return true;
}

std::optional<Seconds> readClockTime(Cursor& cursor, const TtmlTimeParameters& p) {
    Wide hours = 0;
    Wide minutes = 0;
    Wide seconds = 0;
    const qsizetype hourDigits = cursor.digits(&hours);
    if (hourDigits == 0 || hourDigits > maxIntegerDigits || !cursor.at(':')) {
        return std::nullopt;
    }
    ++cursor.pos;
    if (cursor.digits(&minutes) != 2 || minutes > 59 || !cursor.at(':')) {
        return std::nullopt;
    }
    ++cursor.pos;
    if (cursor.digits(&seconds) != 2 || seconds > 59) {
        return std::nullopt;
    }
    const Wide whole = hours * 3600 + minutes * 60 + seconds;
    if (cursor.at('.')) {
        ++cursor.pos;
        Seconds value{whole, 1};
        if (!readFraction(cursor, &value)) {
            return std::nullopt;
        }
        return value;
    }
    if (!cursor.at(':')) {
        return Seconds{whole, 1};
    }
    ++cursor.pos;
    Wide frames = 0;
    Wide subFrames = 0;
    if (cursor.digits(&frames) < 2 || frames >= p.frameRate) {
        return std::nullopt;
    }
    if (cursor.at('.')) {
        ++cursor.pos;
        if (cursor.digits(&subFrames) == 0 || subFrames >= p.subFrameRate) {
            return std::nullopt;
        }
    }
    // Frames at frameRate * multiplier, sub-frames at subFrameRate each.
    const Wide denominator = Wide(p.subFrameRate) * p.frameRate * p.multiplierNumerator;
    return Seconds{whole * denominator +
                       (frames * p.subFrameRate + subFrames) * p.multiplierDenominator,
                   denominator};
}

std::optional<Seconds> readOffsetTime(Cursor& cursor, const TtmlTimeParameters& p) {
    Seconds value;
    if (!readDecimal(cursor, &value)) {
        return std::nullopt;
    }
    const QStringView metric = cursor.text.mid(cursor.pos);
    cursor.pos = cursor.text.size();
    if (metric == QLatin1String("h")) {
        value.numerator *= 3600;
    } else if (metric == QLatin1String("m")) {
        value.numerator *= 60;
    } else if (metric == QLatin1String("ms")) {
        value.denominator *= 1000;
    } else if (metric == QLatin1String("f")) {
        value.numerator *= p.multiplierDenominator;
        value.denominator *= Wide(p.frameRate) * p.multiplierNumerator;
    } else if (metric == QLatin1String("t")) {
        value.numerator *= p.tickRateDivisor;
        value.denominator *= p.tickRate;
    } else if (metric != QLatin1String("s")) {
        return std::nullopt;
    }
    return value;
}

const QLatin1String parameterNamespace("http://www.w3.org/ns/ttml#parameter");

// A positive whole number of a ttp: attribute, or `fallback` without one.
std::optional<qint64> wholeParameter(const QXmlStreamAttributes& root, const char* name,
                                     qint64 fallback, QString* error) {
    const QStringView value = root.value(parameterNamespace, QLatin1String(name));
    if (value.isEmpty()) {
        return fallback;
    }
    bool ok = false;
    const qint64 number = value.trimmed().toLongLong(&ok);
    if (!ok || number <= 0 || number > 1000000000) {
        if (error) {
            *error = QObject::tr("ttp:%1=\"%2\" is not a positive whole number")
                         .arg(QLatin1String(name), value);
        }
        return std::nullopt;
    }
    return number;
}

} // namespace

FrameRate TtmlTimeParameters::exactFrameRate() const {
    const qint64 numerator = frameRate * multiplierNumerator;
    const qint64 divisor = std::gcd(numerator, multiplierDenominator);
    return FrameRate{numerator / divisor, multiplierDenominator / divisor};
}

std::optional<TtmlTimeParameters> readTtmlTimeParameters(const QXmlStreamAttributes& root,
                                                         const std::optional<FrameRate>& fallback,
                                                         QString* error) {
    TtmlTimeParameters p;
    const bool ownRate = root.hasAttribute(parameterNamespace, QLatin1String("frameRate"));
    p.frameRateGiven = ownRate || fallback;
    if (!ownRate && fallback) {
        p.frameRate = fallback->framesPerTimecodeSecond();
        p.multiplierNumerator = fallback->numerator;
        p.multiplierDenominator = fallback->denominator * p.frameRate;
    }
    const std::optional<qint64> frameRate = wholeParameter(root, "frameRate", p.frameRate, error);
    const std::optional<qint64> subFrameRate = wholeParameter(root, "subFrameRate", 1, error);
    if (!frameRate || !subFrameRate) {
        return std::nullopt;
    }
    p.frameRate = *frameRate;
    p.subFrameRate = *subFrameRate;
    const QStringView multiplier =
        root.value(parameterNamespace, QLatin1String("frameRateMultiplier"));
    if (!multiplier.isEmpty()) {
        const QList<QStringView> parts = multiplier.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        bool okNumerator = false;
        bool okDenominator = false;
        const qint64 numerator = parts.size() == 2 ? parts[0].toLongLong(&okNumerator) : 0;
        const qint64 denominator = parts.size() == 2 ? parts[1].toLongLong(&okDenominator) : 0;
        if (!okNumerator || !okDenominator || numerator <= 0 || denominator <= 0 ||
            numerator > 1000000 || denominator > 1000000) {
            if (error) {
                *error = QObject::tr("ttp:frameRateMultiplier=\"%1\" is not two positive whole "
                                     "numbers (\"1000 1001\")")
                             .arg(multiplier);
            }
            return std::nullopt;
        }
        p.multiplierNumerator = numerator;
        p.multiplierDenominator = denominator;
    }
    const bool ownTickRate = root.hasAttribute(parameterNamespace, QLatin1String("tickRate"));
    const std::optional<qint64> tickRate = wholeParameter(
        root, "tickRate",
        p.frameRateGiven ? p.frameRate * p.subFrameRate * p.multiplierNumerator : 1, error);
    if (!tickRate) {
        return std::nullopt;
    }
    p.tickRate = *tickRate;
    p.tickRateDivisor = ownTickRate || !p.frameRateGiven ? 1 : p.multiplierDenominator;
    return p;
}

std::optional<qint64> readTtmlTime(QStringView text, const TtmlTimeParameters& parameters,
                                   QString* error) {
    const QStringView trimmed = text.trimmed();
    Cursor cursor{trimmed};
    const std::optional<Seconds> seconds = trimmed.contains(QLatin1Char(':'))
                                               ? readClockTime(cursor, parameters)
                                               : readOffsetTime(cursor, parameters);
    if (!seconds || !cursor.atEnd() || seconds->denominator <= 0) {
        if (error) {
            *error = QObject::tr("\"%1\" is no time expression (hh:mm:ss.fff, hh:mm:ss:ff, or a "
                                 "number with h, m, s, ms, f or t)")
                         .arg(text);
        }
        return std::nullopt;
    }
    const Wide scaled = seconds->numerator * 1000000;
    const Wide micro = (2 * scaled + seconds->denominator) / (2 * seconds->denominator);
    if (micro > maxMicroseconds) {
        if (error) {
            *error = QObject::tr("the time \"%1\" is out of range").arg(text);
        }
        return std::nullopt;
    }
    return qint64(micro);
}

QString ttmlClockTime(qint64 microseconds) {
    const qint64 ms = qMax<qint64>(0, (microseconds + 500) / 1000);
    return QStringLiteral("%1:%2:%3.%4")
        .arg(ms / 3600000, 2, 10, QLatin1Char('0'))
        .arg(ms / 60000 % 60, 2, 10, QLatin1Char('0'))
        .arg(ms / 1000 % 60, 2, 10, QLatin1Char('0'))
        .arg(ms % 1000, 3, 10, QLatin1Char('0'));
}

} // namespace lyrane
