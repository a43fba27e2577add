#include "synthesis/timed_answer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>

#include <cstring>

namespace lyrane {

namespace {

const QLatin1String kAudio("audio_base64");

// Where the audio's base64 lies in the body: [start, end) within the quotes.
struct AudioSpan {
    qsizetype start = 0;
    qsizetype end = 0;
};

// Walks the members of the body's top-level object, skipping values, to find the audio
// member's string without building a JSON string of megabytes (Qt's reader turns it into
// UTF-16, twice the size, and back). Nullopt, and the whole body is read by QJsonDocument
// instead, for anything unusual: escapes in the audio, a member named twice, a body that does
// not walk cleanly. The rest of the body is still read strictly by QJsonDocument.
class AudioFinder {
public:
    explicit AudioFinder(const QByteArray& body) : data(body.constData()), size(body.size()) {}

    std::optional<AudioSpan> find() {
        skipSpace();
        if (!take('{')) {
            return std::nullopt;
        }
        std::optional<AudioSpan> found;
        skipSpace();
        if (take('}')) {
            return std::nullopt;
        }
        for (;;) {
            skipSpace();
            const qsizetype keyStart = at + 1;
            if (peek() != '"' || !skipString()) {
                return std::nullopt;
            }
            const bool isAudio =
                at - 1 - keyStart == kAudio.size() &&
                std::memcmp(data + keyStart, kAudio.data(), size_t(kAudio.size())) == 0;
            skipSpace();
            if (!take(':')) {
                return std::nullopt;
            }
            skipSpace();
            if (isAudio) {
                if (found || peek() != '"') {
                    return std::nullopt;
                }
                const qsizetype start = at + 1;
                const void* quote = std::memchr(data + start, '"', size_t(size - start));
                if (!quote) {
                    return std::nullopt;
                }
                const qsizetype end = static_cast<const char*>(quote) - data;
                if (std::memchr(data + start, '\\', size_t(end - start))) {
                    return std::nullopt;
                }
                found = AudioSpan{start, end};
                at = end + 1;
            } else if (!skipValue()) {
                return std::nullopt;
            }
            skipSpace();
            if (take('}')) {
                return found;
            }
            if (!take(',')) {
                return std::nullopt;
            }
        }
    }

private:
    char peek() const { return at < size ? data[at] : '\0'; }
    bool take(char c) {
        if (peek() != c) {
            return false;
        }
        ++at;
        return true;
    }
    void skipSpace() {
        while (at < size &&
               (data[at] == ' ' || data[at] == '\t' || data[at] == '\n' || data[at] == '\r')) {
            ++at;
        }
    }
    // From an opening quote to past its closing quote.
    bool skipString() {
        for (++at; at < size; ++at) {
            if (data[at] == '\\') {
                ++at;
            } else if (data[at] == '"') {
                ++at;
                return true;
            }
        }
        return false;
    }
    // Any value; its syntax is checked by QJsonDocument afterwards.
    bool skipValue() {
        int depth = 0;
        while (at < size) {
            const char c = data[at];
            if (c == '"') {
                if (!skipString()) {
                    return false;
                }
            } else if (c == '{' || c == '[') {
                ++depth;
                ++at;
            } else if (c == '}' || c == ']') {
                if (depth == 0) {
                    return true;
                }
                --depth;
                ++at;
            } else if (c == ',' && depth == 0) {
                return true;
            } else {
                ++at;
            }
        }
        return false;
    }

    const char* data;
    qsizetype size;
    qsizetype at = 0;
};

} // namespace

std::optional<TimedAnswer> parseTimedAnswer(const QByteArray& body, QString* error) {
    const auto fail = [error](const QString& message) -> std::optional<TimedAnswer> {
        if (error) {
            *error = message;
        }
        return std::nullopt;
    };
    // The rest of the body, with the audio's string left empty, is read as JSON.
    const std::optional<AudioSpan> span = AudioFinder(body).find();
    const QByteArray rest = span ? body.left(span->start) + body.mid(span->end) : body;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(rest, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        return fail(QObject::tr("the timed answer is not JSON: %1 at byte %2")
                        .arg(parseError.errorString())
                        .arg(parseError.offset));
    }
    if (!document.isObject()) {
        return fail(QObject::tr("the timed answer is not a JSON object"));
    }
    const QJsonObject object = document.object();
    const QJsonValue audio = object.value(kAudio);
    if (!audio.isString()) {
        return fail(QObject::tr("the timed answer has no audio_base64"));
    }
    const QByteArray encoded =
        span ? QByteArray::fromRawData(body.constData() + span->start, span->end - span->start)
             : audio.toString().toLatin1();
    // Anything outside the alphabet, in a JSON string too, is refused.
    const QByteArray::FromBase64Result decoded =
        QByteArray::fromBase64Encoding(encoded, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || (!span && audio.toString().toLatin1() != audio.toString().toUtf8())) {
        return fail(QObject::tr("the timed answer's audio_base64 is not valid base64"));
    }
    const QJsonValue alignment = object.value(QLatin1String("alignment"));
    if (!alignment.isObject()) {
        return fail(QObject::tr("the timed answer has no alignment"));
    }
    QString reason;
    std::optional<WordAlignment> checked = alignmentFromJson(alignment.toObject(), &reason);
    if (!checked) {
        return fail(reason);
    }
    return TimedAnswer{*decoded, std::move(*checked)};
}

} // namespace lyrane
