#pragma once

#include "audio/encoded_loudness.h"
#include "audio/ffmpeg_handles.h"
#include "audio/output_kind.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <vector>

namespace lyrane {

class ProgrammeInput;
struct ProgrammeMixSettings;

// The rate an encoder takes nearest to `wanted`, and the sample format the mix is stored in for
// it (AV_SAMPLE_FMT_NONE: none the mix can write).
int encoderRate(const AVCodec* codec, int wanted);
AVSampleFormat encoderFormat(const AVCodec* codec);

// The file the mix goes to: its container, the map from the programme's streams to its own,
// the mix's encoder, and the last packet of each video stream, held back so the picture can
// be stretched to the end of the sound.
class MixedOutput {
public:
    MixedOutput(const ProgrammeMixSettings& settings, const QString& outputPath,
                MixedOutputKind kind);

    // Lays out the streams, video first, then the mix (at the programme's mix rate where the
    // encoder takes it, else the nearest it does: `mixRate`, and its channels), then the untouched
    // programme sound, then the rest; `skipped` names the programme's streams the container cannot
    // hold.
    bool create(const ProgrammeInput& input, int* mixRate, QStringList* skipped, QString* error);
    // Opens `writePath` and writes the header.
    bool start(const QString& writePath, QString* error);

    AVCodecContext* encoder() const { return mixEncoder.get(); }
    int frameSamples() const { return samplesPerFrame; }

    // Copies one packet of the programme to its stream, if it has one here.
    bool copy(AVPacket* packet, QString* error);
    // Encodes one frame of the mix (null: the encoder's end) and writes what it makes; `meter`,
    // if set, decodes every packet to measure it.
    bool encode(const AVFrame* frame, EncodedPacketMeter* meter, QString* error);
    // Writes the held video packets, each stretched to `mixedSamples` when `stretch` and the
    // picture ends earlier, then the trailer, and closes the file.
    bool finish(qint64 mixedSamples, bool stretch, QString* error);
    void close() { output.reset(); }

    QString writeFailure(int code) const;

private:
    bool addCopiedStream(int inputIndex, QString* error);
    bool addMixedStream(int& mixRate, QString* error);
    bool write(AVPacket* packet, QString* error);

    const ProgrammeMixSettings& settings;
    const QString outputPath;
    const MixedOutputKind kind;
    const ProgrammeInput* programme = nullptr;

    ffmpeg::OutputFile output;
    ffmpeg::Codec mixEncoder;
    int samplesPerFrame = 4096; // encoders that take any size (PCM)
    std::vector<int> streamMap; // programme stream -> output stream, -1: not carried
    int mixedStream = -1;
    int keptStream = -1;
    std::vector<ffmpeg::Packet> heldVideo; // per output stream: its latest packet, one late
    std::vector<qint64> videoEnd; // per output stream: latest pts + duration, its time base
    ffmpeg::Packet encoded = ffmpeg::Packet(av_packet_alloc());
};

} // namespace lyrane
