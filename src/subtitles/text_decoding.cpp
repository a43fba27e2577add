#include "subtitles/text_decoding.h"

#include <QObject>
#include <QStringDecoder>

#include <cerrno>
#include <cstring>
#include <iconv.h>
#include <memory>

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

// Converts through iconv to UTF-8; a byte the encoding does not define becomes U+FFFD.
std::optional<QString> decodeWithIconv(const QByteArray& bytes, const QString& encoding,
                                       QString* error) {
    const IconvPtr converter = openToUtf8(encoding);
    if (!converter) {
        if (error) {
            *error = QObject::tr("unknown text encoding: %1").arg(encoding);
        }
        return std::nullopt;
    }
    const iconv_t handle = static_cast<iconv_t>(converter.get());
    QByteArray out(bytes.size() + bytes.size() / 2 + 16, Qt::Uninitialized);
    qsizetype used = 0;
    char* in = const_cast<char*>(bytes.constData());
    size_t inLeft = size_t(bytes.size());
    const QByteArray replacement("\xEF\xBF\xBD");
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
        // An invalid or incomplete sequence: replace one byte and go on from the next.
        if (out.size() - used < replacement.size()) {
            out.resize(out.size() * 2);
        }
        memcpy(out.data() + used, replacement.constData(), size_t(replacement.size()));
        used += replacement.size();
        ++in;
        --inLeft;
        iconv(handle, nullptr, nullptr, nullptr, nullptr);
    }
    return QString::fromUtf8(out.constData(), used);
}

} // namespace

bool isKnownTextEncoding(const QString& name) {
    if (name.trimmed().isEmpty()) {
        return false;
    }
    return QStringConverter::encodingForName(name.toLatin1().constData()).has_value() ||
           openToUtf8(name) != nullptr;
}

std::optional<QString> decodeSubtitleText(const QByteArray& bytes, const QString& encoding,
                                          QString* error) {
    std::optional<QStringConverter::Encoding> qtEncoding = byteOrderMark(bytes);
    if (!qtEncoding && encoding.isEmpty()) {
        qtEncoding = QStringConverter::Utf8;
    }
    if (!qtEncoding) {
        qtEncoding = QStringConverter::encodingForName(encoding.toLatin1().constData());
    }
    std::optional<QString> text;
    if (qtEncoding) {
        // The decoder drops the byte-order mark and replaces invalid sequences.
        QStringDecoder decoder(*qtEncoding);
        text = decoder.decode(bytes);
    } else {
        text = decodeWithIconv(bytes, encoding, error);
        if (!text) {
            return std::nullopt;
        }
    }
    if (text->contains(QChar(0))) {
        text->replace(QChar(0), QChar::ReplacementCharacter);
    }
    return text;
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
