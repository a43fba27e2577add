#pragma once

// Speech-like audio of known content and independent meters for MP3 streams: FFmpeg and
// LAME's decoder run as programs, and a walk over the frames as the standard lays them out.

#include "audio/audio_buffer.h"
#include "audio/mp3_frame.h"

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>

#include <cmath>
#include <optional>
#include <random>
#include <vector>

namespace lyrane::test {

// Voiced syllables (a gliding pitch with harmonics, breath noise), some unvoiced, pauses.
inline AudioBuffer speechLike(double seconds, int rate, unsigned seed = 7) {
    AudioBuffer buffer;
    buffer.sampleRate = rate;
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0, 1);
    const qsizetype count = qsizetype(seconds * rate);
    buffer.samples.resize(count);
    double breath = 0;
    for (qsizetype i = 0; i < count; ++i) {
        const double t = double(i) / rate;
        const int syllable = int(t / 0.37);
        const bool spoken = std::fmod(t, 4.8) < 3.6 && syllable % 7 != 6;
        const double level = spoken ? 0.5 * (0.6 + 0.4 * std::sin(2 * M_PI * 3.1 * t)) : 0.0;
        breath = 0.7 * breath + 0.3 * noise(random);
        const double pitch = 140 + 30 * std::sin(2 * M_PI * 0.5 * t) + 10 * (syllable % 3);
        // sin(h x) by the recurrence sin(h x) = 2 cos(x) sin((h - 1) x) - sin((h - 2) x):
        // two calls to the library a sample instead of eleven.
        double voiced = 0;
        if (syllable % 5 != 4) {
            const double x = 2 * M_PI * pitch * t;
            const double twoCos = 2 * std::cos(x);
            double before = 0;
            double current = std::sin(x);
            for (int h = 1; h < 12; ++h) {
                voiced += current / h;
                const double next = twoCos * current - before;
                before = current;
                current = next;
            }
        }
        buffer.samples[i] = level * (0.35 * voiced + 0.25 * breath);
    }
    return buffer;
}

inline std::vector<qint16> pcm16(const AudioBuffer& buffer) {
    std::vector<qint16> samples;
    for (const double sample : buffer.samples) {
        samples.push_back(toPcm16(sample));
    }
    return samples;
}

struct Decoded {
    std::vector<qint16> samples;
    QByteArray messages; // what the decoder printed on its error stream
};

// `program` decoding `path` to 16-bit samples on its standard output.
inline std::optional<Decoded> decodeWith(const QString& program, const QStringList& arguments,
                                         int headerBytes) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(120000) || process.exitCode() != 0) {
        return std::nullopt;
    }
    const QByteArray out = process.readAllStandardOutput().mid(headerBytes);
    Decoded decoded;
    decoded.samples.resize(size_t(out.size() / 2));
    std::memcpy(decoded.samples.data(), out.constData(), decoded.samples.size() * 2);
    decoded.messages = process.readAllStandardError();
    return decoded;
}

inline std::optional<Decoded> ffmpegDecode(const QString& path) {
    return decodeWith(QStringLiteral("ffmpeg"),
                      {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-i"), path,
                       QStringLiteral("-f"), QStringLiteral("s16le"), QStringLiteral("-")},
                      0);
}

inline std::optional<Decoded> lameDecode(const QString& path) {
    return decodeWith(
        QStringLiteral("lame"),
        {QStringLiteral("--quiet"), QStringLiteral("--decode"), path, QStringLiteral("-")}, 44);
}

inline bool writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline QByteArray readBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Walks the frames after the first (the Info frame): every one a Layer III frame of the
// first's layout whose main data lies in the payload bytes before its end, and none of it in
// the Info frame. Empty when the stream holds; else what broke.
inline QString checkFrameChain(const QByteArray& stream) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(stream.constData());
    const auto info = parseMp3FrameHeader(bytes, stream.size());
    if (!info) {
        return QStringLiteral("no first frame");
    }
    qint64 at = info->frameBytes();
    qint64 payloadBefore = 0;
    qint64 previousEnd = 0; // of the main data before
    for (int index = 0; at < stream.size(); ++index) {
        const auto header = parseMp3FrameHeader(bytes + at, stream.size() - at);
        if (!header || at + header->frameBytes() > stream.size() ||
            header->headBytes() != info->headBytes() || header->bitRate != info->bitRate) {
            return QStringLiteral("frame %1 does not parse").arg(index);
        }
        const Mp3SideInfo side = readMp3SideInfo(bytes + at, *header);
        const qint64 start = payloadBefore - side.mainDataBegin;
        if (side.mainDataBegin > header->maxMainDataBegin() || start < previousEnd ||
            start + side.mainDataBytes() > payloadBefore + header->payloadBytes()) {
            return QStringLiteral("frame %1's main data lies outside its place").arg(index);
        }
        previousEnd = start + side.mainDataBytes();
        payloadBefore += header->payloadBytes();
        at += header->frameBytes();
    }
    return QString();
}

// Root mean square of a - b over [from, to), in 16-bit steps.
inline double rmsDifference(const std::vector<qint16>& a, const std::vector<qint16>& b, size_t from,
                            size_t to) {
    double sum = 0;
    for (size_t k = from; k < to; ++k) {
        const double d = double(a[k]) - double(b[k]);
        sum += d * d;
    }
    return to > from ? std::sqrt(sum / double(to - from)) : 0.0;
}

} // namespace lyrane::test
