#include "audio/audio_buffer.h"
#include "audio/audio_error.h"

#include <QObject>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace lyrane {

using audio_detail::setError;

QByteArray toPcm16Bytes(const AudioBuffer& buffer) {
    QByteArray bytes(buffer.samples.size() * 2, Qt::Uninitialized);
    char* out = bytes.data();
    for (const double sample : buffer.samples) {
        qToLittleEndian(toPcm16(sample), out);
        out += 2;
    }
    return bytes;
}

QByteArray keptPcm16Bytes(const AudioBuffer& buffer) {
    QByteArray bytes(buffer.samples.size() * 2, Qt::Uninitialized);
    char* out = bytes.data();
    for (const double sample : buffer.samples) {
        const double scaled = std::clamp(std::round(sample * 32768.0), -32768.0, 32767.0);
        qToLittleEndian(static_cast<qint16>(scaled), out);
        out += 2;
    }
    return bytes;
}

std::optional<AudioBuffer> decodePcm16Mono(const QByteArray& data, int sampleRate, QString* error) {
    if (sampleRate < 1) {
        setError(error, QObject::tr("invalid PCM sample rate: %1").arg(sampleRate));
        return std::nullopt;
    }
    if (data.size() % 2 != 0) {
        setError(error, QObject::tr("raw PCM data length must be an even number of bytes"));
        return std::nullopt;
    }
    AudioBuffer buffer;
    buffer.sampleRate = sampleRate;
    const qsizetype count = data.size() / 2;
    buffer.samples.resize(count);
    const uchar* in = reinterpret_cast<const uchar*>(data.constData());
    double* out = buffer.samples.data();
    for (qsizetype i = 0; i < count; ++i) {
        out[i] = fromPcm16(qFromLittleEndian<qint16>(in + 2 * i));
    }
    return buffer;
}

void normalize(AudioBuffer& buffer) {
    double peak = 0.0;
    for (const double s : std::as_const(buffer.samples)) {
        peak = std::max(peak, std::fabs(s));
    }
    if (peak > 1.0) {
        for (double& s : buffer.samples) {
            s /= peak;
        }
    }
}

namespace {

constexpr double kTrimmedSilence = 0.001;
constexpr qsizetype kShortestTrimmedTail = 100;
// The largest 16-bit magnitude that reads as silence: compared in integers, the same values.
constexpr int kTrimmedSilencePcm16 = int(kTrimmedSilence * 32768.0);
static_assert(kTrimmedSilencePcm16 * 0.000030517578125 <= kTrimmedSilence &&
              (kTrimmedSilencePcm16 + 1) * 0.000030517578125 > kTrimmedSilence);

// The length kept of `count` values, `silent` telling a value of the silence.
template <typename Value, typename Silent>
qsizetype trimmedLengthOf(const Value* values, qsizetype count, const Silent& silent) {
    qsizetype i = count - 1;
    while (i >= 0 && silent(values[i])) {
        --i;
    }
    if (i < 0) {
        return 0;
    }
    if ((count - 1) - i < kShortestTrimmedTail) {
        return count;
    }
    return i + 1;
}

} // namespace

qsizetype trimmedLength(const QList<double>& samples) {
    return trimmedLengthOf(samples.constData(), samples.size(),
                           [](double s) { return std::fabs(s) <= kTrimmedSilence; });
}

qsizetype trimmedLength(const qint16* values, qsizetype count) {
    return trimmedLengthOf(values, count,
                           [](qint16 v) { return std::abs(int(v)) <= kTrimmedSilencePcm16; });
}

AudioBuffer trimEndSilence(const AudioBuffer& buffer) {
    const qsizetype keep = trimmedLength(buffer.samples);
    if (keep == buffer.samples.size()) {
        return buffer;
    }
    AudioBuffer trimmed;
    trimmed.sampleRate = buffer.sampleRate;
    if (keep > 0) {
        trimmed.samples = buffer.samples.first(keep);
    }
    return trimmed;
}

double peakOf(const QList<AudioBuffer>& buffers) {
    double peak = 0.0;
    for (const AudioBuffer& buffer : buffers) {
        for (const double s : buffer.samples) {
            peak = std::max(peak, std::fabs(s));
        }
    }
    return peak;
}

} // namespace lyrane
