#pragma once

// Layer III frames as ISO/IEC 11172-3 (MPEG-1) and 13818-3 (MPEG-2 and 2.5, "LSF") lay them
// out: a header, an optional CRC, the side information, then main data. A frame's main data may
// begin up to main_data_begin bytes before its own payload, in the payloads of earlier frames
// (the bit reservoir); headers and side information are not counted in that distance.

#include <QtGlobal>

#include <cstdint>
#include <optional>

namespace lyrane {

struct Mp3FrameHeader {
    quint32 bits = 0;  // the header as it stands
    bool mpeg1 = true; // else MPEG-2 or 2.5: one granule a frame, 8-bit main_data_begin
    int sampleRate = 0;
    int bitRate = 0;
    int channels = 1;
    bool padded = false;
    bool crcProtected = false;

    int samplesPerFrame() const { return mpeg1 ? 1152 : 576; }
    int granules() const { return mpeg1 ? 2 : 1; }
    int sideInfoOffset() const { return crcProtected ? 6 : 4; }
    int sideInfoBytes() const;
    // Header, CRC and side information.
    int headBytes() const { return sideInfoOffset() + sideInfoBytes(); }
    int frameBytes() const;
    int payloadBytes() const { return frameBytes() - headBytes(); }
    int maxMainDataBegin() const { return mpeg1 ? 511 : 255; }
};

// Frames of one stream: the same version, rate, bit rate, channels and protection.
bool sameMp3Layout(const Mp3FrameHeader& a, const Mp3FrameHeader& b);

// A Layer III header with a bit rate (free format is not handled); nothing for any other bytes.
std::optional<Mp3FrameHeader> parseMp3FrameHeader(const uint8_t* bytes, qint64 available);

// What the side information says about the frame's main data.
struct Mp3SideInfo {
    int mainDataBegin = 0;
    int mainDataBits = 0; // part2_3_length over every granule and channel
    // The last granule's block type of each channel (2 bits a channel): a frame that follows
    // must continue the window sequence these begin.
    int lastBlockTypes = 0;

    int mainDataBytes() const { return (mainDataBits + 7) / 8; }
};

// `frame` holds at least header.headBytes() bytes.
Mp3SideInfo readMp3SideInfo(const uint8_t* frame, const Mp3FrameHeader& header);
// Rewrites main_data_begin and the padding bit, and the CRC when the frame carries one.
void rewriteMp3FrameHead(uint8_t* frame, const Mp3FrameHeader& header, bool padded,
                         int mainDataBegin);

// Frame sizes by position in a constant-bit-rate stream, counted from the first audio frame:
// padded frames spread evenly, the first unpadded, as LAME pads them. The pattern repeats
// every period() frames, so an encoder started at a multiple of it pads as the whole file does.
class Mp3FramePattern {
public:
    Mp3FramePattern() = default;
    explicit Mp3FramePattern(const Mp3FrameHeader& anyFrame);

    const Mp3FrameHeader& header() const { return m_header; }
    bool padded(qint64 index) const { return paddedBefore(index + 1) > paddedBefore(index); }
    int unpaddedFrameBytes() const { return m_unpaddedBytes; }
    int frameBytes(qint64 index) const { return m_unpaddedBytes + (padded(index) ? 1 : 0); }
    // Bytes of the frames before `index`.
    qint64 frameOffset(qint64 index) const;
    // Payload bytes (main data and stuffing) of the frames before `index`.
    qint64 payloadOffset(qint64 index) const;
    qint64 period() const { return m_period; }

private:
    qint64 paddedBefore(qint64 index) const;

    Mp3FrameHeader m_header;
    int m_unpaddedBytes = 0;
    qint64 m_remainder = 0; // of the slots a frame holds, in 1/sampleRate
    qint64 m_period = 1;
};

} // namespace lyrane
