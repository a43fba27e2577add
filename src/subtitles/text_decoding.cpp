#include "subtitles/text_decoding.h"

#include <QObject>
#include <QStringDecoder>

#include <cerrno>
#include <cstring>
#include <iconv.h>
#include <memory>
#include <uchardet/uchardet.h>

namespace lyrane {

namespace {

const iconv_t noConverter = reinterpret_cast<iconv_t>(-1);

struct IconvCloser {
    void operator()(void* handle) const { iconv_close(static_cast<iconv_t>(handle)); }
};
using IconvPtr = std::unique_ptr<void, IconvCloser>;

IconvPtr openToUtf8(const QString& encoding) {
    const iconv_t handle = iconv_open("UTF-8", encoding.toLatin1().constData());
    return IconvPtr(handle == noConverter ? nullptr : handle);
}

struct DetectorCloser {
    void operator()(uchardet_t detector) const { uchardet_delete(detector); }
};

std::optional<QStringConverter::Encoding> byteOrderMark(const QByteArray& bytes) {
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        return QStringConverter::Utf8;
    }
    if (bytes.startsWith(QByteArrayView("\xFF\xFE\x00\x00", 4))) {
        return QStringConverter::Utf32LE;
    }
    if (bytes.startsWith(QByteArrayView("\x00\x00\xFE\xFF", 4))) {
        return QStringConverter::Utf32BE;
    }
    if (bytes.startsWith("\xFF\xFE")) {
        return QStringConverter::Utf16LE;
    }
    if (bytes.startsWith("\xFE\xFF")) {
        return QStringConverter::Utf16BE;
    }
    return std::nullopt;
}

// The line `prefix` ends on, counting CR LF, LF and lone CR as line ends.
int lineAtEnd(QStringView prefix) {
    int line = 1;
    for (qsizetype i = 0; i < prefix.size(); ++i) {
        if (prefix[i] == QLatin1Char('\n') ||
            (prefix[i] == QLatin1Char('\r') &&
             (i + 1 == prefix.size() || prefix[i + 1] != QLatin1Char('\n')))) {
            ++line;
        }
    }
    return line;
}

// The offset of the first byte that is not part of well-formed UTF-8 (no overlong forms, no
// surrogates, nothing past U+10FFFF, no sequence cut short), or -1.
qsizetype firstInvalidUtf8(QByteArrayView bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const qsizetype size = bytes.size();
    qsizetype i = 0;
    while (i < size) {
        // ASCII, the bulk of subtitle text, eight bytes at a time.
        for (quint64 word = 0; size - i >= 8; i += 8) {
            memcpy(&word, data + i, 8);
            if ((word & 0x8080808080808080) != 0) {
                break;
            }
        }
        if (i == size) {
            break;
        }
        const unsigned char lead = data[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        qsizetype length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return i;
        }
        if (size - i < length || data[i + 1] < low || data[i + 1] > high) {
            return i;
        }
        for (qsizetype k = 2; k < length; ++k) {
            if ((data[i + k] & 0xC0) != 0x80) {
                return i;
            }
        }
        i += length;
    }
    return -1;
}

char32_t unitAt(QByteArrayView bytes, qsizetype at, qsizetype width, bool bigEndian) {
    char32_t value = 0;
    for (qsizetype k = 0; k < width; ++k) {
        const auto byte = static_cast<unsigned char>(bytes[at + (bigEndian ? k : width - 1 - k)]);
        value = (value << 8) | byte;
    }
    return value;
}

bool isHighSurrogate(char32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool isSurrogate(char32_t unit) {
    return unit >= 0xD800 && unit <= 0xDFFF;
}

// The same for UTF-16 (width 2: no unpaired surrogate) and UTF-32 (width 4: no surrogate,
// nothing past U+10FFFF); a last unit cut short is invalid too.
qsizetype firstInvalidUtf16Or32(QByteArrayView bytes, qsizetype width, bool bigEndian) {
    const qsizetype whole = bytes.size() - bytes.size() % width;
    for (qsizetype at = 0; at < whole; at += width) {
        const char32_t unit = unitAt(bytes, at, width, bigEndian);
        if (width == 4 && (unit > 0x10FFFF || isSurrogate(unit))) {
            return at;
        }
        if (width == 2 && isSurrogate(unit)) {
            if (!isHighSurrogate(unit) || at + width >= whole ||
                !isSurrogate(unitAt(bytes, at + width, width, bigEndian)) ||
                isHighSurrogate(unitAt(bytes, at + width, width, bigEndian))) {
                return at;
            }
            at += width;
        }
    }
    return whole == bytes.size() ? -1 : whole;
}

qsizetype firstInvalidByte(QByteArrayView bytes, QStringConverter::Encoding encoding) {
    constexpr bool hostIsBig = Q_BYTE_ORDER == Q_BIG_ENDIAN;
    switch (encoding) {
    case QStringConverter::Utf16:
        return firstInvalidUtf16Or32(bytes, 2, hostIsBig);
    case QStringConverter::Utf16LE:
    case QStringConverter::Utf16BE:
        return firstInvalidUtf16Or32(bytes, 2, encoding == QStringConverter::Utf16BE);
    case QStringConverter::Utf32:
        return firstInvalidUtf16Or32(bytes, 4, hostIsBig);
    case QStringConverter::Utf32LE:
    case QStringConverter::Utf32BE:
        return firstInvalidUtf16Or32(bytes, 4, encoding == QStringConverter::Utf32BE);
    case QStringConverter::Latin1:
        return -1;
    default: // UTF-8, and the system's encoding, which Qt takes as UTF-8 on Unix
        return firstInvalidUtf8(bytes);
    }
}

// Text, or the line of the first byte that is not valid in the encoding.
struct StrictDecoding {
    std::optional<QString> text;
    int badLine = 0;
};

StrictDecoding decodeWithQt(const QByteArray& bytes, QStringConverter::Encoding encoding) {
    // The decoder drops a byte-order mark.
    QStringDecoder decoder(encoding);
    const qsizetype bad = firstInvalidByte(bytes, encoding);
    if (bad >= 0) {
        const QString valid = decoder.decode(QByteArrayView(bytes).first(bad));
        return {std::nullopt, lineAtEnd(valid)};
    }
    return {decoder.decode(bytes), 0};
}

// Converts through iconv to UTF-8, up to the first sequence the encoding does not define.
StrictDecoding decodeWithIconv(const QByteArray& bytes, const IconvPtr& converter) {
    const iconv_t handle = static_cast<iconv_t>(converter.get());
    QByteArray out(bytes.size() + bytes.size() / 2 + 16, Qt::Uninitialized);
    qsizetype used = 0;
    char* in = const_cast<char*>(bytes.constData());
    size_t inLeft = size_t(bytes.size());
    for (;;) {
        char* outPos = out.data() + used;
        size_t outLeft = size_t(out.size() - used);
        const size_t done = inLeft == 0 ? iconv(handle, nullptr, nullptr, &outPos, &outLeft)
                                        : iconv(handle, &in, &inLeft, &outPos, &outLeft);
        used = outPos - out.data();
        if (done != size_t(-1)) {
            if (inLeft == 0) {
                break;
            }
            continue;
        }
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        // An invalid or incomplete sequence.
        return {std::nullopt, lineAtEnd(QString::fromUtf8(out.constData(), used))};
    }
    return {QString::fromUtf8(out.constData(), used), 0};
}

// The encoding uchardet finds in the bytes, as iconv names it; empty when it is not sure.
QString detectedEncoding(const QByteArray& bytes) {
    const std::unique_ptr<uchardet, DetectorCloser> detector(uchardet_new());
    if (!detector ||
        uchardet_handle_data(detector.get(), bytes.constData(), size_t(bytes.size())) != 0) {
        return QString();
    }
    uchardet_data_end(detector.get());
    const QString name = QString::fromLatin1(uchardet_get_charset(detector.get())).toLower();
    // Latin-1 text with the typographic quotes or the euro sign of Windows' code page reads
    // the same in windows-1252, and correctly in the rest.
    return name == QLatin1String("iso-8859-1") ? QStringLiteral("windows-1252") : name;
}

// Whether text decoded in a guessed encoding reads like subtitles, which the detector does not
// say: no control codes, and beyond ASCII only letters, marks, digits, punctuation, spaces,
// format marks (soft hyphen, direction marks), currency signs and Latin-1's symbols (a wrong
// guess tends to give mathematical or drawing symbols).
bool readsLikeText(QStringView text) {
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x80) {
            if (u < 0x20 && u != '\t' && u != '\n' && u != '\r') {
                return false;
            }
            continue;
        }
        switch (c.category()) {
        case QChar::Other_Control:
        case QChar::Other_PrivateUse:
        case QChar::Other_NotAssigned:
            return false;
        case QChar::Symbol_Math:
        case QChar::Symbol_Modifier:
        case QChar::Symbol_Other:
            if (u > 0xFF && u != 0x2122) { // beyond Latin-1, only the trade mark sign
                return false;
            }
            break;
        default: // letters, marks, digits, punctuation, spaces, currency; surrogate halves
            break;
        }
    }
    return true;
}

// The position of the first unpaired surrogate, or -1.
qsizetype firstUnpairedSurrogate(QStringView text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            ++i;
        } else if (text[i].isSurrogate()) {
            return i;
        }
    }
    return -1;
}

} // namespace

bool isKnownTextEncoding(const QString& name) {
    if (name.trimmed().isEmpty()) {
        return false;
    }
    return QStringConverter::encodingForName(name.toLatin1().constData()).has_value() ||
           openToUtf8(name) != nullptr;
}

std::optional<DecodedText> decodeSubtitleText(const QByteArray& bytes, const QString& encoding,
                                              DecodingFailure* failure, QString* error) {
    const auto fail = [&](DecodingFailure kind, const QString& message) {
        if (failure) {
            *failure = kind;
        }
        if (error) {
            *error = message;
        }
        return std::nullopt;
    };

    DecodedText decoded;
    StrictDecoding strict;
    const std::optional<QStringConverter::Encoding> bom = byteOrderMark(bytes);
    if (bom) {
        strict = decodeWithQt(bytes, *bom);
        if (!strict.text) {
            return fail(DecodingFailure::InvalidText,
                        QObject::tr("line %1 is not valid %2, the encoding its byte-order mark "
                                    "names")
                            .arg(strict.badLine)
                            .arg(QString::fromLatin1(QStringConverter::nameForEncoding(*bom))));
        }
    } else if (!encoding.isEmpty()) {
        const std::optional<QStringConverter::Encoding> qtEncoding =
            QStringConverter::encodingForName(encoding.toLatin1().constData());
        if (qtEncoding) {
            strict = decodeWithQt(bytes, *qtEncoding);
        } else if (const IconvPtr converter = openToUtf8(encoding)) {
            strict = decodeWithIconv(bytes, converter);
        } else {
            return fail(DecodingFailure::UnknownEncoding,
                        QObject::tr("unknown text encoding: %1").arg(encoding));
        }
        if (!strict.text) {
            return fail(DecodingFailure::InvalidText,
                        QObject::tr("line %1 is not valid %2, the encoding --encoding names")
                            .arg(strict.badLine)
                            .arg(encoding));
        }
    } else {
        strict = decodeWithQt(bytes, QStringConverter::Utf8);
        if (!strict.text) {
            const int badLine = strict.badLine;
            const QString found = detectedEncoding(bytes);
            const IconvPtr converter =
                found.isEmpty() || found == QLatin1String("utf-8") ? nullptr : openToUtf8(found);
            if (converter) {
                strict = decodeWithIconv(bytes, converter);
            }
            if (!strict.text || !readsLikeText(*strict.text)) {
                return fail(DecodingFailure::Undetected,
                            QObject::tr("line %1 is not UTF-8 and the file's encoding could not "
                                        "be detected; name it with --encoding")
                                .arg(badLine));
            }
            decoded.detectedEncoding = found;
        }
    }

    decoded.text = std::move(*strict.text);
    const qsizetype surrogate = firstUnpairedSurrogate(decoded.text);
    if (surrogate >= 0) {
        return fail(DecodingFailure::InvalidText,
                    QObject::tr("line %1 holds a character that is not valid Unicode")
                        .arg(lineAtEnd(QStringView(decoded.text).left(surrogate))));
    }
    if (decoded.text.contains(QChar(0))) {
        decoded.text.replace(QChar(0), QChar::ReplacementCharacter);
    }
    return decoded;
}

void normalizeLineEnds(QString& text) {
    if (!text.contains(QLatin1Char('\r'))) {
        return;
    }
    QChar* data = text.data();
    const qsizetype size = text.size();
    qsizetype out = 0;
    for (qsizetype i = 0; i < size; ++i) {
        if (data[i] == QLatin1Char('\r')) {
            data[out++] = QLatin1Char('\n');
            if (i + 1 < size && data[i + 1] == QLatin1Char('\n')) {
                ++i;
            }
        } else {
            data[out++] = data[i];
        }
    }
    text.truncate(out);
}

} // namespace lyrane
