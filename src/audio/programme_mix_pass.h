#pragma once

#include "audio/ducking_envelope.h"
#include "audio/encoded_loudness.h"
#include "audio/loudness.h"
#include "audio/mixed_output.h"
#include "audio/narration_stream.h"
#include "audio/programme_input.h"
#include "audio/programme_mix.h"

#include <optional>
#include <vector>

namespace lyrane {

// How one pass over the programme treats the mix.
struct MixPass {
    double gain = 1.0;         // on every sample of the mix
    bool measureOnly = false;  // mix and meter the samples, write nothing
    bool meterPackets = false; // decode what the encoder makes and meter that
};

// One pass over the programme, as in a transcoder: packets read from the programme, its sound
// decoded into queues, mixed with the narration under the ducking envelope, and encoded into
// the output beside the copied streams. The mix keeps pace with the other streams, so nothing
// piles up in memory.
class ProgrammeMixPass {
public:
    ProgrammeMixPass(const ProgrammeMixSettings& settings, const NarrationSource& narration,
                     const QString& outputPath, MixedOutputKind kind, MixPass pass,
                     ProgrammeMixReport* report);

    // Mixes into `writePath`, or nowhere for a pass that only measures.
    bool run(const QString& writePath, QString* error);
    // What the pass metered: the mix's samples, or the packets written.
    std::optional<LoudnessReading> reading(QString* error);

private:
    bool runInto(const QString& writePath, QString* error);
    bool openMix(const QString& writePath, QString* error);
    bool readProgramme(QString* error);
    bool checkPicture(QString* error);
    bool decode(const AVPacket* packet, QString* error);
    bool mixAvailable(QString* error);
    bool keepPace(const AVPacket& packet, QString* error);
    bool mixUntil(qint64 end, QString* error);
    bool encodeMixed(qint64 count, QString* error);

    const ProgrammeMixSettings& settings;
    const NarrationSource& narration;
    ProgrammeMixReport* report;
    const MixedOutputKind kind;
    const MixPass pass;
    LoudnessMeter mixMeter;         // measureOnly: the mix as made, before it is clamped
    EncodedPacketMeter packetMeter; // meterPackets: the encoder's packets, decoded

    ProgrammeInput programme;
    MixedOutput output;
    NarrationStream narrationReader;
    std::optional<DuckingEnvelope> envelope;
    int mixRate = 0;
    qint64 narrationLength = 0; // at the mix rate
    qint64 timelineEnd = 0;     // the file's length at the mix rate
    qint64 mixed = 0;           // samples of the timeline mixed so far
    std::vector<double> narrationSlice;
    std::vector<double> gainSlice;
    std::vector<double> mixedSlice; // interleaved channels
    ffmpeg::Frame encodeFrame = ffmpeg::Frame(av_frame_alloc());
};

} // namespace lyrane
