#pragma once

// Helpers shared by the audio_processor_*.cpp units; not part of the library's interface.

#include <QString>
#include <QtGlobal>

#include <cstdint>
#include <functional>
#include <memory>

namespace lyrane::detail {

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

// Receives each encoded packet in order; returns false to abort the encoding.
using PacketSink = std::function<bool(const uint8_t* data, int size)>;

// MP3 encoder core: samples go in in any chunking, frames are cut at the encoder's frame
// size, so the packets depend only on the sample sequence.
class Mp3Encoder {
public:
    Mp3Encoder();
    ~Mp3Encoder();
    Mp3Encoder(const Mp3Encoder&) = delete;
    Mp3Encoder& operator=(const Mp3Encoder&) = delete;

    bool open(int sampleRate, int bitRate, QString* error);
    // false once the sink has refused a packet.
    bool write(const qint16* samples, qint64 count, const PacketSink& sink);
    // Pads the last partial frame with silence and flushes the encoder.
    bool finish(const PacketSink& sink);

private:
    struct State;
    std::unique_ptr<State> d;
};

// Writes an MP3 file through a caller-supplied producer that feeds the encoder.
// Handles creating, checking every write and the close, and removing a partial file.
bool writeMp3File(int sampleRate, int bitRate, const QString& path,
                  const std::function<bool(Mp3Encoder&, const PacketSink&)>& produce,
                  QString* error);

// Builds the 44-byte header; false if the data would not fit 32-bit sizes.
bool makeWavHeader(qint64 sampleCount, int sampleRate, QByteArray* header, QString* error);

// Streams a WAV file: producer appends 16-bit samples through the given writer.
bool writeWavFile(
    qint64 sampleCount, int sampleRate, const QString& path,
    const std::function<bool(const std::function<bool(const qint16*, qint64)>&)>& produce,
    QString* error);

// Number of samples resample() yields for a buffer of inputCount samples.
qint64 resampledLength(qint64 inputCount, int inputRate, int outputRate);

} // namespace lyrane::detail
