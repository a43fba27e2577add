#pragma once

#include "audio/audio_buffer.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace lyrane {

constexpr int kMp3BitRate = 128000;

// Encodes mono 16-bit MP3; the target is replaced only once the file is whole.
bool encodeMp3(const AudioBuffer& buffer, const QString& path, QString* error);
bool encodeMp3(const AudioBuffer& buffer, const QString& path, int bitRate, QString* error);
std::optional<QByteArray> encodeMp3ToBytes(const AudioBuffer& buffer, int bitRate, QString* error);

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
    // false once the sink has refused a packet or the encoder a frame.
    bool write(const qint16* samples, qint64 count, const PacketSink& sink);
    // Pads the last partial frame with silence and flushes the encoder.
    bool finish(const PacketSink& sink);
    // Why the encoder itself failed; empty when it did not (a refusing sink is not its fault).
    QString encoderError() const;

private:
    struct State;
    std::unique_ptr<State> d;
};

// Writes an MP3 file through a caller-supplied producer that feeds the encoder.
// Handles creating, checking every write and the close, and removing a partial file.
bool writeMp3File(int sampleRate, int bitRate, const QString& path,
                  const std::function<bool(Mp3Encoder&, const PacketSink&)>& produce,
                  QString* error);

} // namespace lyrane
