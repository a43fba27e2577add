#pragma once

#include <QString>
#include <QtGlobal>

#include <cstdint>
#include <functional>
#include <memory>

namespace lyrane {

// Receives each encoded packet in order; returns false to abort the encoding.
using PacketSink = std::function<bool(const uint8_t* data, int size)>;

// MP3 encoder core (FFmpeg's libmp3lame, mono): samples go in in any chunking, frames are cut
// at the encoder's frame size, so the packets depend only on the sample sequence.
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
    // Samples of delay before the first input sample in the decoded stream, as FFmpeg reports
    // it (`initial_padding`: the encoder's priming and the decoder's delay).
    int initialPadding() const;

private:
    struct State;
    std::unique_ptr<State> d;
};

} // namespace lyrane
