#pragma once

#include "audio/ffmpeg_handles.h"
#include "audio/narration_stream.h"

#include <QString>
#include <QtGlobal>

#include <vector>

namespace lyrane {

// What the programme's files have in common, for its reader, the output and the probe.
ffmpeg::InputFile openProgrammeFile(const QString& path, QString* error);
bool isAttachedPicture(const AVStream* stream);
bool isVideoStream(const AVStream* stream); // moving pictures, not a cover picture
std::vector<int> audioStreamIndices(const AVFormatContext* file);
qint64 fileDurationMs(const AVFormatContext* file);
QString codecName(const AVCodecParameters* parameters);
QString streamKind(const AVStream* stream);
// A new stream of `output` for `in`'s packets as they are (codec, times, flags, tags); its
// index, or an FFmpeg error code.
int addCopiedStream(AVFormatContext* output, const AVStream* in);

// The programme as the mix reads it: its packets in file order, and its audio stream decoded
// and converted to the mix's rate and channels into one queue per channel, each frame where
// its time says. Every frame is converted from its own rate, layout and sample format, so a
// programme whose sound changes shape midway (stereo to mono, a new rate) is followed.
class ProgrammeInput {
public:
    ProgrammeInput() = default;
    ~ProgrammeInput();
    ProgrammeInput(const ProgrammeInput&) = delete;
    ProgrammeInput& operator=(const ProgrammeInput&) = delete;

    // Opens the file and the decoder of its `audioStream`-th audio stream. The mix runs at
    // that stream's rate, mono or stereo after it; without programme audio at `narrationRate`,
    // mono.
    bool open(const QString& path, int audioStream, int narrationRate, QString* error);
    void close(); // the demuxer's index grows with the file: dropped between passes

    AVFormatContext* file() const { return input.get(); }
    int audioIndex() const { return audio; } // -1: the programme has no audio
    int mixRate() const { return rate; }
    int mixChannels() const { return channels; }
    // The rate the output's encoder takes, when it does not take the programme's own; set
    // before the first packet is decoded.
    void setMixRate(int mixRate) { rate = mixRate; }

    // A stream's time counted from the file's start, in stream units and in mix samples.
    qint64 fromFileStart(const AVStream* stream, qint64 time) const;
    qint64 toMixSamples(const AVStream* stream, qint64 time) const;

    // The next packet of the file (AVERROR_EOF at its end), counted for its stream.
    int read(AVPacket* packet);
    qint64 packetsRead(int stream) const { return packetCounts[size_t(stream)]; }

    // Decodes one packet of the programme's audio (null: the decoder's end) into the queues,
    // where the mix has already taken `mixed` samples of the timeline.
    bool decode(const AVPacket* packet, qint64 mixed, QString* error);
    // Passes on what the conversion still holds, once the decoder is done.
    bool flushConversion(qint64 mixed, QString* error);

    std::vector<SampleQueue>& queues() { return channelQueues; }
    qint64 queued() const { return channelQueues.front().size(); }
    qint64 soundEnd() const { return programmeEnd; } // where its sound ends on the timeline

private:
    bool queue(const AVFrame* frame, qint64 mixed, QString* error);
    bool rebuildConversion(const AVFrame* frame, qint64 mixed, QString* error);
    bool convert(const AVFrame* frame, qint64 mixed, QString* error);
    QString convertFailure(int code) const;

    QString path;
    ffmpeg::InputFile input;
    int audio = -1;
    int rate = 0;
    int channels = 1;
    ffmpeg::Codec decoder;
    ffmpeg::Resampler resampler;
    // The shape of the frames the resampler was built for.
    int fromRate = 0;
    int fromFormat = -1;
    AVChannelLayout fromLayout{};
    bool started = false;
    qint64 skip = 0; // decoded samples already passed on the timeline, still to drop
    qint64 programmeEnd = 0;
    std::vector<SampleQueue> channelQueues;
    std::vector<qint64> packetCounts; // per stream of the file
};

} // namespace lyrane
