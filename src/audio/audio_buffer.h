#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <optional>

namespace lyrane {

// One channel of audio; full scale is -1.0 to +1.0.
struct AudioBuffer {
    QList<double> samples;
    int sampleRate = 0;
};

// Double to 16-bit: scale by 32767, clamp, truncate toward zero.
inline qint16 toPcm16(double x) {
    const double v = x * 32767.0;
    if (v > 32767.0) {
        return 32767;
    }
    if (v <= -32768.0) {
        return -32768;
    }
    return static_cast<qint16>(v);
}

inline double fromPcm16(qint16 value) {
    return value * 0.000030517578125;
}

// The samples as 16-bit little-endian PCM bytes.
QByteArray toPcm16Bytes(const AudioBuffer& buffer);
// The same as a clip is kept in the cache: the inverse of fromPcm16, so a 16-bit clip loaded and
// kept again (a part cut from it, parts joined) keeps every value, and is converted once, when
// the narration is written.
QByteArray keptPcm16Bytes(const AudioBuffer& buffer);

// 16-bit little-endian mono PCM bytes as samples.
std::optional<AudioBuffer> decodePcm16Mono(const QByteArray& data, int sampleRate, QString* error);

// Scales the buffer down so its peak is 1 when it is above 1.
void normalize(AudioBuffer& buffer);

// Drops a silent tail of 100 samples or more.
AudioBuffer trimEndSilence(const AudioBuffer& buffer);
// The length trimEndSilence keeps.
qsizetype trimmedLength(const QList<double>& samples);
// The same of 16-bit values, each read as value / 32768.
qsizetype trimmedLength(const qint16* values, qsizetype count);

// Largest sample magnitude over all buffers.
double peakOf(const QList<AudioBuffer>& buffers);

} // namespace lyrane
