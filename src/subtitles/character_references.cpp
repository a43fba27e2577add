#include "subtitles/character_references.h"

#include <algorithm>
#include <cstring>

namespace lyrane {

namespace {

bool isAsciiDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

bool isAsciiAlphanumeric(QChar c) {
    const char16_t u = c.unicode();
    return isAsciiDigit(c) || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z');
}

int hexDigitValue(QChar c) {
    const char16_t u = c.unicode();
    if (isAsciiDigit(c)) {
        return u - '0';
    }
    if (u >= 'a' && u <= 'f') {
        return u - 'a' + 10;
    }
    if (u >= 'A' && u <= 'F') {
        return u - 'A' + 10;
    }
    return -1;
}

// The longest name of the table is 31 letters; looking no further keeps a line full of '&'
// linear.
constexpr qsizetype longestName = 32;

// What HTML makes of the C1 code points 0x80 to 0x9F: the windows-1252 characters authors
// meant, except the five that code page leaves undefined, which stay.
constexpr char16_t c1Replacements[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// The character a numeric reference stands for, as HTML reads it.
char32_t referencedCharacter(char32_t codePoint) {
    if (codePoint == 0 || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        return QChar::ReplacementCharacter;
    }
    if (codePoint >= 0x80 && codePoint <= 0x9F) {
        return c1Replacements[codePoint - 0x80];
    }
    return codePoint;
}

void appendCodePoint(QString& out, char32_t codePoint) {
    if (QChar::requiresSurrogates(codePoint)) {
        out.append(QChar(QChar::highSurrogate(codePoint)));
        out.append(QChar(QChar::lowSurrogate(codePoint)));
    } else {
        out.append(QChar(char16_t(codePoint)));
    }
}

// "&#233;" or "&#xE9;" from `at`; the position after it, or `at` when it is not one.
qsizetype decodeNumericReference(QStringView text, qsizetype at, QString& out) {
    qsizetype pos = at + 2;
    const bool hex =
        pos < text.size() && (text[pos] == QLatin1Char('x') || text[pos] == QLatin1Char('X'));
    pos += hex ? 1 : 0;
    const qsizetype digitsStart = pos;
    char32_t value = 0;
    for (; pos < text.size(); ++pos) {
        const int digit = hex                       ? hexDigitValue(text[pos])
                          : isAsciiDigit(text[pos]) ? text[pos].unicode() - '0'
                                                    : -1;
        if (digit < 0) {
            break;
        }
        // Past the last code point the value only has to stay out of range.
        value = std::min<char32_t>(value * (hex ? 16 : 10) + char32_t(digit), 0x110000);
    }
    if (pos == digitsStart || pos == text.size() || text[pos] != QLatin1Char(';')) {
        return at;
    }
    appendCodePoint(out, referencedCharacter(value));
    return pos + 1;
}

const NamedCharacterReference* findNamedReference(QStringView name) {
    const NamedCharacterReference* begin = namedCharacterReferences;
    const NamedCharacterReference* end = begin + namedCharacterReferenceCount;
    // Names are ASCII: comparing UTF-16 units with bytes keeps the table's order.
    const auto compare = [](QStringView key, const NamedCharacterReference& entry) {
        return key.compare(QLatin1String(entry.name, qsizetype(std::strlen(entry.name))));
    };
    const NamedCharacterReference* found = std::lower_bound(
        begin, end, name, [&compare](const NamedCharacterReference& entry, QStringView key) {
            return compare(key, entry) > 0;
        });
    return found != end && compare(name, *found) == 0 ? found : nullptr;
}

} // namespace

qsizetype decodeCharacterReference(QStringView text, qsizetype at, QString& out) {
    if (at + 1 < text.size() && text[at + 1] == QLatin1Char('#')) {
        return decodeNumericReference(text, at, out);
    }
    const qsizetype nameStart = at + 1;
    qsizetype pos = nameStart;
    while (pos < text.size() && pos - nameStart < longestName && isAsciiAlphanumeric(text[pos])) {
        ++pos;
    }
    if (pos == nameStart || pos == text.size() || text[pos] != QLatin1Char(';')) {
        return at;
    }
    const NamedCharacterReference* found = findNamedReference(text.mid(nameStart, pos - nameStart));
    if (!found) {
        return at;
    }
    appendCodePoint(out, found->first);
    if (found->second != 0) {
        out.append(QChar(found->second));
    }
    return pos + 1;
}

} // namespace lyrane
