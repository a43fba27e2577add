#pragma once

#include "audio/loudness.h"
#include "audio/streamed_timeline.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

struct AVCodecContext;

namespace lyrane {

// Loudness of encoded packets as a player hears them: decoded as they are written and metered.
// A lossy codec moves the level of what it encodes by a few tenths of a dB.
class EncodedPacketMeter {
public:
    EncodedPacketMeter();
    ~EncodedPacketMeter();
    EncodedPacketMeter(const EncodedPacketMeter&) = delete;
    EncodedPacketMeter& operator=(const EncodedPacketMeter&) = delete;

    // Mono MP3 packets.
    bool open(int sampleRate, QString* error);
    // The packets of an opened encoder (mono or stereo).
    bool open(const AVCodecContext* encoder, QString* error);
    // false once a packet could not be decoded or metered; error() says why.
    bool add(const uint8_t* data, int size);
    std::optional<LoudnessReading> reading(QString* error);
    QString error() const;

private:
    struct State;
    std::unique_ptr<State> d;
};

// The gain that brings a file measured at `written` (written with `gain`) to the target, or
// nothing when `gain` is already within 0.1 dB of it.
std::optional<LoudnessGain> loudnessCorrection(const LoudnessReading& written,
                                               const LoudnessGain& gain, double targetLufs,
                                               double truePeakCeilingDbtp);

// Writes a streamed timeline as MP3 at a loudness target. `gain` comes in planned from the
// samples and leaves with what the file itself measures: when the codec moved the level by
// more than 0.1 dB, or the true peak over the ceiling, the file is written once more with the
// gain corrected by what the first file measured. `threads` as for writeStreamedTimelineMp3.
bool writeStreamedTimelineMp3AtLoudness(const TimelinePlan& plan, const QList<qint64>& lengths,
                                        const TimelineClipLoader& load, const QString& path,
                                        double targetLufs, double truePeakCeilingDbtp,
                                        LoudnessGain& gain, QString* error,
                                        const StopCheck& stopped = StopCheck(), int threads = 0);

// The same for a buffer held in memory and already scaled by `gain` (applyLoudnessTarget).
bool encodeMp3AtLoudness(const AudioBuffer& scaled, const QString& path, double targetLufs,
                         double truePeakCeilingDbtp, LoudnessGain& gain, QString* error,
                         int threads = 0);

} // namespace lyrane
